// SPDX-License-Identifier: GPL-3.0-or-later
// velta-game: a sample game client. A moving scene at 60 frames a second,
// and over it the chat panel and the plot of what each library call cost.
#include "game_app.hpp"
#include "scripted_tour.hpp"

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

const char* const usage = R"(usage: velta-game --server ADDR --user NAME --password PASS [options]

A window with a moving scene and the chat panel: the conversation, an input
line with the addressee, the five service requests and their replies, the
connection state and the events, and the cost of every library call plotted
over the last 10 seconds (the longest one named).

  --peer NAME      the addressee the input line starts with (default bob)
  --no-start       do not log in at launch (the panel's Log in button does)
  --headless       draw with SDL's offscreen driver and software renderer:
                   no display needed
  --shots DIR      play the scripted conversation with the peer (who must
                   echo), write DIR/01-login.png, 02-chat.png and
                   03-reconnect.png, print the measurements and leave
  --seconds N      leave after N seconds
  --help           this text

Exit status: 0; 1 when the window or the scripted conversation failed; 2 for
a wrong argument.
)";

void print_measurements(velta_game::Game_App& app) {
    const velta_game::Call_Log& log = app.host().model().calls;
    std::printf("velta-game: drawn with SDL's %s renderer\n", app.renderer_name().c_str());
    for (int i = 0; i < velta_game::call_kinds; ++i) {
        const auto call = static_cast<velta_game::Call>(i);
        const velta_game::Call_Totals& totals = log.totals(call);
        if (totals.count == 0) continue;
        std::printf("velta-game: %-22s %6llu calls, longest %.3f ms cpu, %.3f ms wall\n",
                    velta_game::call_name(call), static_cast<unsigned long long>(totals.count), totals.max_cpu_ms,
                    totals.max_wall_ms);
    }
    if (const auto& longest = log.longest_overall())
        std::printf("velta-game: longest call: %s %.3f ms cpu, %.3f ms wall; longest wall %.3f ms\n",
                    velta_game::call_name(longest->call), longest->cpu_ms, longest->wall_ms,
                    log.longest_wall_overall_ms());
    std::printf("velta-game: %llu frames, longest interval %.1f ms\n",
                static_cast<unsigned long long>(log.frame_count()), log.longest_frame_ms());
}

}  // namespace

int main(int argc, char** argv) {
    velta_game::App_Options options;
    std::string shots;
    double seconds = 0;
    bool start = true;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--help" || argument == "-h") {
            std::fputs(usage, stdout);
            return 0;
        }
        if (argument == "--headless") {
            options.headless = true;
            continue;
        }
        if (argument == "--no-start") {
            start = false;
            continue;
        }
        std::string* into = argument == "--server"     ? &options.server
                             : argument == "--user"     ? &options.user
                             : argument == "--password" ? &options.password
                             : argument == "--peer"     ? &options.peer
                             : argument == "--shots"    ? &shots
                                                        : nullptr;
        std::string seconds_text;
        if (argument == "--seconds") into = &seconds_text;
        if (!into) {
            std::fprintf(stderr, "velta-game: unknown argument '%s' (velta-game --help)\n", argv[i]);
            return 2;
        }
        if (i + 1 >= argc || argv[i + 1][0] == '\0') {
            std::fprintf(stderr, "velta-game: %s needs a value\n", argv[i]);
            return 2;
        }
        *into = argv[++i];
        if (into == &seconds_text) {
            char* end = nullptr;
            seconds = std::strtod(seconds_text.c_str(), &end);
            if (*end != '\0' || !(seconds > 0)) {
                std::fprintf(stderr, "velta-game: --seconds needs a positive number\n");
                return 2;
            }
        }
    }
    for (const auto& [value, name] : {std::pair{&options.server, "--server"}, std::pair{&options.user, "--user"},
                                      std::pair{&options.password, "--password"}}) {
        if (value->empty()) {
            std::fprintf(stderr, "velta-game: missing %s ADDR (velta-game --help)\n", name);
            return 2;
        }
    }

    velta_game::Game_App app(options);
    if (!app.open()) {
        std::fprintf(stderr, "velta-game: %s\n", app.error().c_str());
        return 1;
    }
    if (!shots.empty()) {
        const velta_game::Tour_Result result = velta_game::run_tour(app, options.peer, shots);
        print_measurements(app);
        if (!result.passed) {
            std::fprintf(stderr, "velta-game: the scripted conversation failed: %s\n", result.failure.c_str());
            return 1;
        }
        for (const std::string& name : result.names) std::printf("velta-game: wrote %s/%s.png\n", shots.c_str(), name.c_str());
        return 0;
    }
    if (start) app.host().start();
    const double end = seconds > 0 ? app.host().seconds() + seconds : 0;
    while (app.frame())
        if (end > 0 && app.host().seconds() >= end) break;
    print_measurements(app);
    return 0;
}

// SPDX-License-Identifier: GPL-3.0-or-later
#include "scripted_tour.hpp"

#include <velta_client/velta_client.hpp>

#include <algorithm>

namespace velta_game {

namespace {

class Tour {
public:
    Tour(Game_App& app, std::string peer, std::string shots)
        : app_(app), peer_(std::move(peer)), shots_(std::move(shots)) {}

    // Runs frames until done() holds; false (and the failure noted) when the
    // window closed or `seconds` passed first.
    template <class Done>
    bool until(const std::string& what, Done done, double seconds = 20) {
        if (!result.failure.empty()) return false;
        const double deadline = app_.host().seconds() + seconds;
        while (!done()) {
            if (!app_.frame()) return fail(what + ": the window was closed");
            if (app_.host().seconds() > deadline) return fail(what + ": not within " + std::to_string(seconds) + " s");
        }
        return true;
    }

    void frames_for(double seconds) {
        const double end = app_.host().seconds() + seconds;
        until("running", [&] { return app_.host().seconds() >= end; }, seconds + 5);
    }

    bool connected() { return until("log in", [&] { return app_.host().state() == Velta_Client::STATE_CONNECTED; }); }

    // Sends a line and waits for the peer's echo of it.
    void chat(const std::string& text) {
        if (!result.failure.empty()) return;
        result.sent.push_back(text);
        app_.host().send_message(peer_, text);
        const std::string echo = "echo: " + text;
        until("the echo of '" + text + "'", [&] {
            const auto& received = app_.host().model().received();
            return std::find(received.begin(), received.end(), echo) != received.end();
        });
    }

    void picture(const std::string& name) {
        if (!result.failure.empty()) return;
        app_.keep_next_picture();
        if (!app_.frame()) {
            fail(name + ": the window was closed");
            return;
        }
        result.names.push_back(name);
        result.pictures.push_back(app_.last_picture());
    }

    // After the run: encoding a picture takes longer than a frame, and the
    // plot would show it.
    void write_pictures() {
        if (shots_.empty()) return;
        for (std::size_t i = 0; i < result.names.size(); ++i) {
            const std::string path = shots_ + "/" + result.names[i] + ".png";
            if (!Game_App::write_png(result.pictures[i], path)) fail("could not write " + path);
        }
    }

    bool fail(const std::string& what) {
        if (result.failure.empty()) result.failure = what;
        return false;
    }

    Tour_Result result;

private:
    Game_App& app_;
    std::string peer_, shots_;
};

}  // namespace

Tour_Result run_tour(Game_App& app, const std::string& peer, const std::string& shots) {
    Tour tour(app, peer, shots);
    Chat_Host& host = app.host();
    Panel_Model& model = host.model();

    tour.frames_for(0.3);
    host.start();
    tour.connected();
    tour.frames_for(1.5);
    app.view().set_input(peer, "");
    tour.picture("01-login");

    tour.chat("Hello " + peer + "! Are you at the plaza?");
    tour.chat("Привет! Καλημέρα! Ça va? 12:00 at the fountain");
    const auto answered = [&](Request request) { return model.reply(request).answered > 0; };
    host.request(Request::admin_text, "where is the plaza?", peer);
    host.request(Request::admin_values, "inventory", peer);
    host.request(Request::admin_identifier, "badge", peer);
    host.request(Request::command_message, "teleport to the plaza", peer);
    host.request(Request::command_values, "positions", peer);
    tour.until("the five service replies", [&] {
        for (int i = 0; i < request_kinds; ++i)
            if (!answered(static_cast<Request>(i))) return false;
        return true;
    });
    tour.chat("See you there.");
    app.view().set_input(peer, "typing the next line...");
    tour.frames_for(0.5);
    tour.picture("02-chat");

    // A reconnect: the plot then holds a whole login, its SCRAM slices too.
    host.logout();
    tour.until("log out", [&] { return host.state() == Velta_Client::STATE_IDLE; });
    tour.frames_for(0.5);
    host.start();
    tour.connected();
    tour.chat("Back again after a reconnect.");
    tour.frames_for(2.0);
    app.view().set_input(peer, "");
    tour.picture("03-reconnect");

    tour.write_pictures();
    tour.result.passed = tour.result.failure.empty();
    return tour.result;
}

}  // namespace velta_game

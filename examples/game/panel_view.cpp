// SPDX-License-Identifier: GPL-3.0-or-later
#include "panel_view.hpp"

#include <imgui.h>

#include <velta_client/velta_client.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace velta_game {

namespace {

const ImU32 colour_poll = IM_COL32(120, 170, 255, 255);
const ImU32 colour_send = IM_COL32(110, 230, 140, 255);
const ImU32 colour_session = IM_COL32(255, 170, 80, 255);
const ImU32 colour_limit = IM_COL32(255, 90, 90, 200);
const ImU32 colour_grid = IM_COL32(255, 255, 255, 40);
const ImU32 colour_label = IM_COL32(220, 220, 230, 255);

ImU32 call_colour(Call call) {
    switch (call) {
        case Call::poll: return colour_poll;
        case Call::start:
        case Call::logout: return colour_session;
        default: return colour_send;
    }
}

ImVec4 state_colour(int state) {
    switch (state) {
        case Velta_Client::STATE_CONNECTED: return ImVec4(0.45f, 0.95f, 0.5f, 1);
        case Velta_Client::STATE_IDLE: return ImVec4(0.7f, 0.7f, 0.75f, 1);
        default: return ImVec4(1, 0.8f, 0.3f, 1);
    }
}

void copy_into(char* buffer, std::size_t size, const std::string& text) {
    std::snprintf(buffer, size, "%s", text.c_str());
}

std::string describe(const Call_Record& record, double now) {
    char text[160];
    std::snprintf(text, sizeof text, "%s %.3f ms cpu, %.3f ms wall, %.1f s ago", call_name(record.call),
                  record.cpu_ms, record.wall_ms, now - record.at);
    return text;
}

}  // namespace

Panel_View::Panel_View(std::string peer) { copy_into(to_, sizeof to_, peer); }

void Panel_View::set_input(const std::string& to, const std::string& text) {
    copy_into(to_, sizeof to_, to);
    copy_into(text_, sizeof text_, text);
}

void Panel_View::draw(Chat_Host& host, int width, int height) {
    const float panel_width = 440;
    ImGui::SetNextWindowPos(ImVec2(static_cast<float>(width) - panel_width - 8, 8));
    ImGui::SetNextWindowSize(ImVec2(panel_width, static_cast<float>(height) - 16));
    ImGui::SetNextWindowBgAlpha(0.9f);
    ImGui::Begin("Chat", nullptr, ImGuiWindowFlags_NoMove | ImGuiWindowFlags_NoResize | ImGuiWindowFlags_NoCollapse);
    draw_chat(host);
    draw_requests(host);
    draw_events(host.model());
    ImGui::End();

    const float cost_height = 280;
    ImGui::SetNextWindowPos(ImVec2(8, static_cast<float>(height) - cost_height - 8));
    ImGui::SetNextWindowSize(ImVec2(static_cast<float>(width) - panel_width - 24, cost_height));
    ImGui::SetNextWindowBgAlpha(0.85f);
    ImGui::Begin("Library cost per call", nullptr,
                 ImGuiWindowFlags_NoMove | ImGuiWindowFlags_NoResize | ImGuiWindowFlags_NoCollapse);
    const ImVec2 room = ImGui::GetContentRegionAvail();
    draw_costs(host, room.x, room.y);
    ImGui::End();
}

void Panel_View::draw_chat(Chat_Host& host) {
    const Panel_Model& model = host.model();
    ImGui::Text("%s", host.user().c_str());
    ImGui::SameLine();
    ImGui::TextColored(state_colour(model.state), "%s", state_text(model.state));
    ImGui::SameLine();
    ImGui::TextDisabled("logins %d", model.logins);
    ImGui::SameLine(ImGui::GetWindowContentRegionMax().x - 118);
    if (model.state == Velta_Client::STATE_IDLE) {
        if (ImGui::Button("Log in", ImVec2(118, 0))) host.start();
    } else if (ImGui::Button("Log out", ImVec2(118, 0))) {
        host.logout();
    }

    ImGui::BeginChild("conversation", ImVec2(0, 190), true);
    for (const Chat_Line& line : model.conversation()) {
        ImGui::TextDisabled("%s", clock_text(line.time).c_str());
        ImGui::SameLine();
        if (line.own) {
            ImGui::TextColored(ImVec4(0.6f, 0.8f, 1, 1), "me > %s%s", line.to.c_str(), line.echoed ? "" : " ...");
        } else {
            ImGui::TextColored(ImVec4(1, 0.85f, 0.5f, 1), "%s", line.from.c_str());
        }
        ImGui::SameLine();
        ImGui::TextWrapped("%s", line.text.c_str());
    }
    if (model.conversation().size() != lines_seen_) {
        lines_seen_ = model.conversation().size();
        scroll_to_end_ = true;
    }
    if (scroll_to_end_) {
        ImGui::SetScrollHereY(1.0f);
        scroll_to_end_ = false;
    }
    ImGui::EndChild();

    ImGui::SetNextItemWidth(80);
    ImGui::InputText("##to", to_, sizeof to_);
    ImGui::SameLine();
    ImGui::SetNextItemWidth(ImGui::GetContentRegionAvail().x - 56);
    const bool entered = ImGui::InputTextWithHint("##text", "message (Enter sends)", text_, sizeof text_,
                                                  ImGuiInputTextFlags_EnterReturnsTrue);
    ImGui::SameLine();
    if ((ImGui::Button("Send", ImVec2(-1, 0)) || entered) && text_[0] != '\0') {
        host.send_message(to_, text_);
        text_[0] = '\0';
        ImGui::SetKeyboardFocusHere(-1);
    }
}

void Panel_View::draw_requests(Chat_Host& host) {
    ImGui::Spacing();
    ImGui::TextDisabled("Service requests (the input line is the request's text)");
    if (!ImGui::BeginTable("requests", 2, ImGuiTableFlags_BordersInnerH | ImGuiTableFlags_SizingStretchProp))
        return;
    ImGui::TableSetupColumn("button", ImGuiTableColumnFlags_WidthFixed, 132);
    ImGui::TableSetupColumn("reply", ImGuiTableColumnFlags_WidthStretch);
    for (int i = 0; i < request_kinds; ++i) {
        const Request request = static_cast<Request>(i);
        const Reply_Slot& slot = host.model().reply(request);
        ImGui::TableNextRow();
        ImGui::TableNextColumn();
        if (ImGui::Button(request_name(request), ImVec2(-1, 0)))
            host.request(request, text_[0] ? text_ : request_name(request), to_);
        ImGui::TableNextColumn();
        if (slot.answered) {
            ImGui::TextDisabled("%s", clock_text(slot.time).c_str());
            ImGui::SameLine();
            ImGui::TextWrapped("%s", slot.text.c_str());
        } else if (slot.sent) {
            ImGui::TextDisabled("waiting for the reply");
        } else {
            ImGui::TextDisabled("-");
        }
    }
    ImGui::EndTable();
}

void Panel_View::draw_events(const Panel_Model& model) {
    ImGui::Spacing();
    ImGui::TextDisabled("Events");
    ImGui::BeginChild("events", ImVec2(0, 0), true);
    for (const Event_Line& event : model.events()) {
        ImGui::TextDisabled("%s", clock_text(event.time).c_str());
        ImGui::SameLine();
        if (event.repeats > 1)
            ImGui::TextWrapped("%s (x%d)", event.text.c_str(), event.repeats);
        else
            ImGui::TextWrapped("%s", event.text.c_str());
    }
    ImGui::SetScrollHereY(1.0f);
    ImGui::EndChild();
}

void Panel_View::draw_costs(const Chat_Host& host, float width, float height) {
    const Call_Log& log = host.model().calls;
    const double now = host.seconds();
    const double window = log.window();
    ImDrawList* draw = ImGui::GetWindowDrawList();

    // Text first: what the eye looks for.
    const std::optional<Call_Record> recent = log.longest_recent();
    ImGui::TextColored(ImVec4(0.55f, 1, 0.6f, 1), "longest call, last %.0f s: %s", window,
                       recent ? describe(*recent, now).c_str() : "none");
    double longest_interval = 0, longest_work = 0;
    for (const Frame_Record& frame : log.frames()) {
        longest_interval = std::max(longest_interval, frame.interval_ms);
        longest_work = std::max(longest_work, frame.work_ms);
    }
    ImGui::Text("frames, longest: %.1f ms apart,", longest_interval);
    ImGui::SameLine();
    ImGui::TextColored(ImVec4(0.8f, 0.55f, 1, 1), "%.1f ms of work", longest_work);

    const float left = 58, gap = 8;
    const ImVec2 origin = ImGui::GetCursorScreenPos();
    const float plot_width = width - left;
    const float rest = height - (ImGui::GetCursorPosY() - ImGui::GetCursorStartPos().y) - 4;
    const float legend = 34;  // the time axis, then the legend
    const float frame_height = rest * 0.30f, call_height = rest - frame_height - gap - legend;
    const auto x_of = [&](double at) {
        return origin.x + left + static_cast<float>((at - (now - window)) / window) * plot_width;
    };

    // A label at the left of a pane, right-aligned against it, centred on y.
    const auto axis_label = [&](float y, ImU32 colour, const char* text) {
        draw->AddText(ImVec2(origin.x + left - 4 - ImGui::CalcTextSize(text).x, y - 7), colour, text);
    };

    // Frame time, linear: 0 to 33 ms, the 16.7 ms budget marked. Longer
    // frames (start-up) stay on the top edge.
    {
        const ImVec2 a(origin.x + left, origin.y), b(origin.x + left + plot_width, origin.y + frame_height);
        draw->AddRectFilled(a, b, IM_COL32(0, 0, 0, 110));
        const auto y_of = [&](double ms) {
            return b.y - static_cast<float>(std::clamp(ms, 0.0, 33.3) / 33.3) * frame_height;
        };
        draw->AddLine(ImVec2(a.x, y_of(16.7)), ImVec2(b.x, y_of(16.7)), colour_grid);
        axis_label(y_of(33.3) + 6, colour_label, "33 ms");
        axis_label(y_of(16.7), colour_label, "16.7 ms");
        axis_label(y_of(0) - 6, colour_label, "0 ms");
        draw->PushClipRect(a, b, true);
        float picture_label_end = a.x - 1000;
        for (double at : log.pictures()) {
            draw->AddLine(ImVec2(x_of(at), a.y), ImVec2(x_of(at), b.y), IM_COL32(255, 255, 255, 90));
            // Pictures close together share one label.
            if (x_of(at) + 3 < picture_label_end + 6) continue;
            draw->AddText(ImVec2(x_of(at) + 3, a.y + 1), IM_COL32(255, 255, 255, 150), "picture");
            picture_label_end = x_of(at) + 3 + ImGui::CalcTextSize("picture").x;
        }
        ImVec2 previous_interval, previous_work;
        bool first = true;
        double previous_at = 0;
        for (const Frame_Record& frame : log.frames()) {
            const ImVec2 interval(x_of(frame.at), y_of(frame.interval_ms)), work(x_of(frame.at), y_of(frame.work_ms));
            // A frame left out (a picture taken) leaves a gap.
            if (!first && frame.at - previous_at < 0.1 + frame.interval_ms / 1e3) {
                draw->AddLine(previous_interval, interval, IM_COL32(255, 255, 255, 200));
                draw->AddLine(previous_work, work, IM_COL32(200, 140, 255, 220));
            }
            previous_interval = interval;
            previous_work = work;
            previous_at = frame.at;
            first = false;
        }
        draw->PopClipRect();
    }

    // Each library call, its processor time on a log scale: 1 us to 30 ms.
    {
        const float top = origin.y + frame_height + gap;
        const ImVec2 a(origin.x + left, top), b(origin.x + left + plot_width, top + call_height);
        draw->AddRectFilled(a, b, IM_COL32(0, 0, 0, 110));
        const double lo = std::log10(0.001), hi = std::log10(30.0);
        const auto y_of = [&](double ms) {
            const double v = std::log10(std::max(ms, 0.001));
            return b.y - static_cast<float>((std::min(v, hi) - lo) / (hi - lo)) * call_height;
        };
        const std::pair<double, const char*> marks[] = {{0.001, "1 us"}, {0.01, "10 us"}, {0.1, "0.1 ms"},
                                                        {1, "1 ms"},     {16.7, "16.7 ms"}};
        for (const auto& [ms, label] : marks) {
            draw->AddLine(ImVec2(a.x, y_of(ms)), ImVec2(b.x, y_of(ms)), colour_grid);
            axis_label(y_of(ms), colour_label, label);
        }
        // The 2 ms limit is named inside the pane, at its right end: on the
        // axis it would sit on "1 ms".
        draw->AddLine(ImVec2(a.x, y_of(2)), ImVec2(b.x, y_of(2)), colour_limit, 1.5f);
        draw->AddText(ImVec2(b.x - 4 - ImGui::CalcTextSize("2 ms").x, y_of(2) - 15), colour_limit, "2 ms");
        // Every mark inside the pane: calls past 30 ms sit on its top edge.
        draw->PushClipRect(a, b, true);
        for (const Call_Record& record : log.calls()) {
            const float x = x_of(record.at);
            draw->AddCircleFilled(ImVec2(x, y_of(record.cpu_ms)), record.call == Call::poll ? 1.6f : 3.2f,
                                  call_colour(record.call), 8);
        }
        if (recent) {
            const ImVec2 p(x_of(recent->at), y_of(recent->cpu_ms));
            draw->AddCircle(p, 7, IM_COL32(255, 255, 255, 230), 16, 1.5f);
        }
        draw->PopClipRect();
        // The time axis, shared by both panes.
        for (const double ago : {window, window / 2, 0.0}) {
            char label[16] = "now";
            if (ago > 0) std::snprintf(label, sizeof label, "-%.0f s", ago);
            const float x = x_of(now - ago), w = ImGui::CalcTextSize(label).x;
            draw->AddLine(ImVec2(x, b.y), ImVec2(x, b.y + 3), colour_label);
            draw->AddText(ImVec2(std::clamp(x - w / 2, a.x, b.x - w), b.y + 3), colour_label, label);
        }
        // Legend, under the time axis.
        float x = a.x;
        const float legend_y = b.y + 18;
        const std::pair<ImU32, const char*> legend[] = {
            {colour_poll, "poll"}, {colour_send, "sends"}, {colour_session, "start/logout"}};
        for (const auto& [c, label] : legend) {
            draw->AddCircleFilled(ImVec2(x + 4, legend_y + 8), 4, c, 8);
            draw->AddText(ImVec2(x + 11, legend_y), colour_label, label);
            x += 11 + ImGui::CalcTextSize(label).x + 16;  // a clear gap between names
        }
        const char* const title = "processor time of each call";
        draw->AddText(ImVec2(b.x - ImGui::CalcTextSize(title).x, legend_y), colour_label, title);
    }
    ImGui::Dummy(ImVec2(width, rest));
}

}  // namespace velta_game

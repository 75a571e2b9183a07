// SPDX-License-Identifier: GPL-3.0-or-later
// The chat panel and the cost plot, drawn with Dear ImGui from the model;
// what the user types and clicks goes to the Chat_Host.
#pragma once

#include "chat_host.hpp"

#include <string>

namespace velta_game {

class Panel_View {
public:
    explicit Panel_View(std::string peer);

    // Inside an ImGui frame: the panel at the right, the plot at the bottom left.
    void draw(Chat_Host& host, int width, int height);

    // The input line as the user would have typed it.
    void set_input(const std::string& to, const std::string& text);

private:
    void draw_chat(Chat_Host& host);
    void draw_requests(Chat_Host& host);
    void draw_events(const Panel_Model& model);
    void draw_costs(const Chat_Host& host, float width, float height);

    char to_[64] = {};
    char text_[512] = {};
    bool scroll_to_end_ = true;
    std::size_t lines_seen_ = 0;
};

}  // namespace velta_game

// SPDX-License-Identifier: GPL-3.0-or-later
// A scripted conversation for the headless pictures and their test: log in,
// chat with the peer (who echoes), the five service requests, log out, log
// in again. A picture is kept at three moments and written as PNG when a
// folder is given.
#pragma once

#include "game_app.hpp"

#include <string>
#include <vector>

namespace velta_game {

struct Tour_Result {
    bool passed = false;
    std::string failure;              // the step that did not complete
    std::vector<std::string> names;   // "01-login", "02-chat", "03-reconnect"
    std::vector<Picture> pictures;
    std::vector<std::string> sent;    // our chat texts, in order
};

// shots: the folder for the PNG files, or "" to keep the pictures only.
Tour_Result run_tour(Game_App& app, const std::string& peer, const std::string& shots);

}  // namespace velta_game

// SPDX-License-Identifier: GPL-3.0-or-later
// The window: SDL2 and its SDL_Renderer, Dear ImGui over it, the scene
// below, one frame every 1/60 s. Headless, it draws through SDL's offscreen
// video driver: no display needed.
#pragma once

#include "chat_host.hpp"
#include "panel_view.hpp"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

struct SDL_Window;
struct SDL_Renderer;

namespace velta_game {

struct App_Options {
    std::string server, user, password;
    std::string peer = "bob";
    bool headless = false;
    int width = 1100;
    int height = 660;
};

struct Picture {
    int width = 0, height = 0;
    std::vector<std::uint8_t> rgba;
};

class Game_App {
public:
    explicit Game_App(const App_Options& options);
    ~Game_App();
    Game_App(const Game_App&) = delete;
    Game_App& operator=(const Game_App&) = delete;

    // Opens the window and the library's manager; false, with error(), when
    // either cannot be had.
    bool open();
    const std::string& error() const { return error_; }

    // One frame: input, the library's poll, the scene, the panel, then the
    // wait for the next 1/60 s. False once the window was closed.
    bool frame();

    // What the last frame drew (read back before it was shown).
    const Picture& last_picture() const { return picture_; }
    // Asks the next frame to keep its picture.
    void keep_next_picture() { keep_picture_ = true; }
    // Writes a kept picture as PNG; false when it could not.
    static bool write_png(const Picture& picture, const std::string& path);

    // The SDL_Renderer in use: "opengl", "software", ...
    std::string renderer_name() const;

    Chat_Host& host() { return *host_; }
    Panel_View& view() { return view_; }
    // Run at every frame, outside the timed library calls (the tests drive
    // their peers from here).
    std::function<void()> each_frame;

private:
    void draw_frame();

    App_Options options_;
    std::unique_ptr<Chat_Host> host_;
    Panel_View view_;
    SDL_Window* window_ = nullptr;
    SDL_Renderer* renderer_ = nullptr;
    bool imgui_ = false;
    bool sdl_ = false;
    bool quit_ = false;
    std::string error_;
    double next_frame_ = 0;
    double last_frame_start_ = -1;
    bool keep_picture_ = false;
    Picture picture_;
};

}  // namespace velta_game

// SPDX-License-Identifier: GPL-3.0-or-later
#include "game_app.hpp"

#include "scene.hpp"

#include <SDL.h>
#include <imgui.h>
#include <imgui_impl_sdl.h>
#include <imgui_impl_sdlrenderer.h>
#include <stb_image_write.h>

#include <sys/stat.h>

#include <chrono>
#include <thread>

namespace velta_game {

namespace {

constexpr double frame_seconds = 1.0 / 60;

// DejaVu Sans (Debian's fonts-dejavu-core) draws Latin, Greek and Cyrillic
// chat; without it ImGui's own font shows ASCII.
const char* const font_path = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";

void load_font() {
    ImGuiIO& io = ImGui::GetIO();
    struct stat info {};
    if (::stat(font_path, &info) != 0) return;
    static const ImWchar ranges[] = {0x0020, 0x024F, 0x0370, 0x03FF, 0x0400, 0x052F, 0x2010, 0x205E,
                                     0x2190, 0x21FF, 0x2500, 0x25FF, 0x2700, 0x27BF, 0};
    io.Fonts->AddFontFromFileTTF(font_path, 15.0f, nullptr, ranges);
}

}  // namespace

Game_App::Game_App(const App_Options& options) : options_(options), view_(options.peer) {}

Game_App::~Game_App() {
    if (host_ && host_->state() == Velta_Client::STATE_CONNECTED) {
        // Say goodbye so that the server sees us leave, as a game would on quit.
        host_->logout();
        for (int i = 0; i < 30 && host_->state() != Velta_Client::STATE_IDLE; ++i) {
            host_->poll();
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    host_.reset();
    if (imgui_) {
        ImGui_ImplSDLRenderer_Shutdown();
        ImGui_ImplSDL2_Shutdown();
        ImGui::DestroyContext();
    }
    if (renderer_) SDL_DestroyRenderer(renderer_);
    if (window_) SDL_DestroyWindow(window_);
    if (sdl_) SDL_Quit();
}

bool Game_App::open() {
    // Headless: SDL's offscreen video driver. Its renderer is the first that
    // works there: OpenGL through Mesa's software rasterizer (EGL, no
    // display), else SDL's own software renderer.
    if (options_.headless) SDL_SetHint(SDL_HINT_VIDEODRIVER, "offscreen");
    if (SDL_Init(SDL_INIT_VIDEO | SDL_INIT_TIMER) != 0) {
        error_ = std::string("SDL could not start its video: ") + SDL_GetError();
        return false;
    }
    sdl_ = true;
    const std::string title = "velta-client sample game: " + options_.user;
    window_ = SDL_CreateWindow(title.c_str(), SDL_WINDOWPOS_CENTERED, SDL_WINDOWPOS_CENTERED, options_.width,
                               options_.height, SDL_WINDOW_ALLOW_HIGHDPI);
    if (!window_) {
        error_ = std::string("SDL could not open the window: ") + SDL_GetError();
        return false;
    }
    renderer_ = SDL_CreateRenderer(window_, -1, 0);
    if (!renderer_) renderer_ = SDL_CreateRenderer(window_, -1, SDL_RENDERER_SOFTWARE);
    if (!renderer_) {
        error_ = std::string("SDL could not make a renderer: ") + SDL_GetError();
        return false;
    }

    IMGUI_CHECKVERSION();
    ImGui::CreateContext();
    ImGui::GetIO().IniFilename = nullptr;  // the layout is fixed: nothing to remember
    ImGui::StyleColorsDark();
    ImGui::GetStyle().WindowRounding = 6;
    load_font();
    ImGui_ImplSDL2_InitForSDLRenderer(window_);
    ImGui_ImplSDLRenderer_Init(renderer_);
    imgui_ = true;

    host_ = std::make_unique<Chat_Host>(options_.server, options_.user, options_.password);
    if (!host_->ready()) {
        error_ = "the library could not make a manager";
        return false;
    }
    next_frame_ = host_->seconds();
    return true;
}

bool Game_App::frame() {
    const double start = host_->seconds();
    SDL_Event event;
    while (SDL_PollEvent(&event)) {
        ImGui_ImplSDL2_ProcessEvent(&event);
        if (event.type == SDL_QUIT) quit_ = true;
        if (event.type == SDL_WINDOWEVENT && event.window.event == SDL_WINDOWEVENT_CLOSE) quit_ = true;
    }

    host_->poll();
    if (each_frame) each_frame();
    const bool picture_taken = keep_picture_;
    draw_frame();

    const double end = host_->seconds();
    const double library_ms = host_->take_library_ms();
    if (picture_taken) {
        // Reading the picture back (up to a second with Mesa's software
        // OpenGL) is the picture taker's cost, not the game's: that frame
        // is left out of the plot, and the next is timed afresh.
        last_frame_start_ = -1;
        host_->model().calls.add_picture(start);
    } else {
        Frame_Record record;
        record.at = start;
        record.interval_ms = last_frame_start_ < 0 ? frame_seconds * 1e3 : (start - last_frame_start_) * 1e3;
        record.work_ms = (end - start) * 1e3;
        record.library_ms = library_ms;
        last_frame_start_ = start;
        host_->model().calls.add_frame(record);
    }
    host_->model().calls.trim(end);

    // The next frame at the next 1/60 s; a late frame starts the count afresh.
    next_frame_ += frame_seconds;
    if (next_frame_ < end) next_frame_ = end + (picture_taken ? frame_seconds : 0);
    std::this_thread::sleep_for(std::chrono::duration<double>(next_frame_ - end));
    return !quit_;
}

void Game_App::draw_frame() {
    int width = 0, height = 0;
    SDL_GetRendererOutputSize(renderer_, &width, &height);

    ImGui_ImplSDLRenderer_NewFrame();
    ImGui_ImplSDL2_NewFrame();
    ImGui::NewFrame();
    view_.draw(*host_, width, height);
    ImGui::Render();

    draw_scene(renderer_, host_->seconds(), width, height);
    ImGui_ImplSDLRenderer_RenderDrawData(ImGui::GetDrawData());

    if (keep_picture_) {
        keep_picture_ = false;
        picture_.width = width;
        picture_.height = height;
        picture_.rgba.assign(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 4, 0);
        if (SDL_RenderReadPixels(renderer_, nullptr, SDL_PIXELFORMAT_RGBA32, picture_.rgba.data(), width * 4) != 0)
            picture_ = Picture{};
    }
    SDL_RenderPresent(renderer_);
}

std::string Game_App::renderer_name() const {
    SDL_RendererInfo info{};
    if (!renderer_ || SDL_GetRendererInfo(renderer_, &info) != 0 || !info.name) return "none";
    return info.name;
}

bool Game_App::write_png(const Picture& picture, const std::string& path) {
    if (picture.rgba.empty()) return false;
    // The window is opaque: RGB, at the strongest compression, keeps the files small.
    std::vector<std::uint8_t> rgb;
    rgb.reserve(picture.rgba.size() / 4 * 3);
    for (std::size_t i = 0; i < picture.rgba.size(); i += 4) rgb.insert(rgb.end(), &picture.rgba[i], &picture.rgba[i + 3]);
    stbi_write_png_compression_level = 9;
    return stbi_write_png(path.c_str(), picture.width, picture.height, 3, rgb.data(), picture.width * 3) != 0;
}

}  // namespace velta_game

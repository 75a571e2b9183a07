// SPDX-License-Identifier: GPL-3.0-or-later
// The stand-in for a game: a few shapes moving at frame rate, drawn with
// SDL_Renderer under the chat panel.
#pragma once

struct SDL_Renderer;

namespace velta_game {

// t: seconds since the start; width, height: the output in pixels.
void draw_scene(SDL_Renderer* renderer, double t, int width, int height);

}  // namespace velta_game

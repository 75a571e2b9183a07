// SPDX-License-Identifier: GPL-3.0-or-later
#include "scene.hpp"

#include <SDL.h>

#include <cmath>
#include <vector>

namespace velta_game {

namespace {

constexpr double pi = 3.14159265358979323846;

SDL_Color colour(int r, int g, int b, int a = 255) {
    return SDL_Color{static_cast<Uint8>(r), static_cast<Uint8>(g), static_cast<Uint8>(b), static_cast<Uint8>(a)};
}

SDL_Vertex vertex(double x, double y, SDL_Color c) {
    return SDL_Vertex{SDL_FPoint{static_cast<float>(x), static_cast<float>(y)}, c, SDL_FPoint{0, 0}};
}

// A regular polygon (a disc with many sides), turned by `angle`.
void polygon(SDL_Renderer* renderer, double x, double y, double radius, int sides, double angle, SDL_Color centre,
             SDL_Color rim) {
    std::vector<SDL_Vertex> vertices;
    vertices.reserve(static_cast<std::size_t>(sides) * 3);
    for (int i = 0; i < sides; ++i) {
        const double a0 = angle + 2 * pi * i / sides, a1 = angle + 2 * pi * (i + 1) / sides;
        vertices.push_back(vertex(x, y, centre));
        vertices.push_back(vertex(x + radius * std::cos(a0), y + radius * std::sin(a0), rim));
        vertices.push_back(vertex(x + radius * std::cos(a1), y + radius * std::sin(a1), rim));
    }
    SDL_RenderGeometry(renderer, nullptr, vertices.data(), static_cast<int>(vertices.size()), nullptr, 0);
}

}  // namespace

void draw_scene(SDL_Renderer* renderer, double t, int width, int height) {
    // Sky to ground, in bands (filled rectangles are what every renderer,
    // the software one included, draws fastest).
    constexpr int bands = 24;
    for (int i = 0; i < bands; ++i) {
        const int r = 22 + (58 - 22) * i / (bands - 1), g = 30 + (40 - 30) * i / (bands - 1),
                  b = 58 + (70 - 58) * i / (bands - 1);
        SDL_SetRenderDrawColor(renderer, static_cast<Uint8>(r), static_cast<Uint8>(g), static_cast<Uint8>(b), 255);
        const SDL_Rect band{0, height * i / bands, width, height * (i + 1) / bands - height * i / bands};
        SDL_RenderFillRect(renderer, &band);
    }

    // A floor grid scrolling towards the viewer.
    SDL_SetRenderDrawBlendMode(renderer, SDL_BLENDMODE_BLEND);
    SDL_SetRenderDrawColor(renderer, 120, 110, 200, 90);
    const double horizon = height * 0.55;
    for (int i = 0; i < 12; ++i) {
        const double depth = std::fmod(i + t * 0.8, 12.0) / 12.0;
        const double y = horizon + (height - horizon) * depth * depth;
        SDL_RenderDrawLineF(renderer, 0, static_cast<float>(y), static_cast<float>(width), static_cast<float>(y));
    }
    for (int i = -8; i <= 8; ++i) {
        const double x = width / 2.0 + i * width / 16.0;
        SDL_RenderDrawLineF(renderer, static_cast<float>(width / 2.0 + i * 12.0), static_cast<float>(horizon),
                            static_cast<float>(x * 2 - width / 2.0), static_cast<float>(height));
    }

    // A sun, three orbiting moons, a spinning square and two bouncing triangles.
    const double cx = width * 0.30, cy = height * 0.25;
    polygon(renderer, cx, cy, 46, 40, 0, colour(255, 214, 120), colour(240, 140, 60));
    for (int i = 0; i < 3; ++i) {
        const double a = t * (0.9 + 0.35 * i) + i * 2.1;
        const double r = 85 + 38 * i;
        polygon(renderer, cx + r * std::cos(a), cy + 0.45 * r * std::sin(a), 13 - 2 * i, 24, 0,
                colour(150 + 40 * i, 220, 255), colour(60, 120 + 30 * i, 220));
    }
    polygon(renderer, width * 0.08, height * 0.42 + 18 * std::sin(t * 2.0), 30, 4, t * 1.3,
            colour(120, 255, 170), colour(30, 150, 110));
    for (int i = 0; i < 2; ++i) {
        const double x = width * (0.40 + 0.12 * i) + 50 * std::sin(t * (1.1 + i));
        const double y = height * 0.52 - std::fabs(std::sin(t * (2.6 + 0.7 * i))) * 70;
        polygon(renderer, x, y, 26, 3, -pi / 2 + t * (i ? -0.8 : 0.8), colour(255, 130, 160), colour(200, 50, 100));
    }
}

}  // namespace velta_game

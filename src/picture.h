// The picture: fades in and slides into place, circles, and is cut away from
// the bottom.
#pragma once

#include <SDL.h>
#include <cstdint>

constexpr int imtop = 20;             // row of the picture's top edge at rest
constexpr double imradius = 1.5;      // pixels: radius of the picture's circle
constexpr double imturn = 1172;       // ms per half turn of the circle
constexpr int32_t imfadein = 10000;   // ms: the fade-in starts
constexpr double imfadelen = 16000;   // ms the fade-in and slide take
constexpr double imfadepow = 1.5;     // alpha grows with this power of the fade
constexpr double imslide = 8;         // pixels the picture slides down while fading in
constexpr int32_t imcut = 34000;      // ms: the cut-away from the bottom starts
constexpr double imcutlen = 30000;    // ms the cut-away takes
constexpr int imopaque = 255;         // alpha of the fully faded-in picture

extern SDL_Surface *ims[1];           // the pictures, in the screen's format, black transparent

// fills imsrc (the part shown) and imdst (where, w = h = 0) for a show time
void imgeom(int32_t elapsed, int picw, int pich, int screenw, SDL_Rect &imsrc, SDL_Rect &imdst);
// the alpha to draw with at a show time, moving imdst up by the slide still
// to go; -1 before the fade-in, when nothing is drawn
int imfade(int32_t elapsed, SDL_Rect &imdst);
// draws picture 0 into the screen; leaves in imdst the rectangle drawn
void imdraw(int32_t elapsed, SDL_Rect &imsrc, SDL_Rect &imdst);

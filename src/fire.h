// The fire: a field of heat that rises and cools one step per 40 ms, painted
// over the screen as flame and smoke, and fed by two sources under the picture.
#pragma once

#include <SDL.h>
#include <cstdint>

constexpr int firebelow = 6;          // rows of the field below the screen
constexpr int firemask = 0x1ffff;     // seeded heat: 17 random bits ...
constexpr int firebias = 0xe000;      // ... shifted down by this
constexpr int32_t fireflame = 600;    // above: flame
constexpr int32_t firefringe = 500;   // above, up to fireflame: the flame's fringe
constexpr int32_t firesmoke = -6;     // below: smoke
constexpr int fireflamered = 240;     // red of a flame
constexpr int fireflamegreen = 100;   // green of a flame, added to heat / 32
constexpr int firesmokeb = 60;        // smoke pulls blue halfway to this ...
constexpr int firesmokeg = 90;        // ... green halfway from blue to this ...
constexpr int firesmoker = 60;        // ... and red halfway from blue to this
constexpr int32_t fireswing = 28000;  // ms: the swinging source starts
constexpr uint32_t fireswinglen = 3199; // ms after fireswing it still burns
constexpr double fireswingamp = 50;   // cells either side of the centre
constexpr double fireswingper = 1000; // ms per swing from one side to the other
constexpr int fireswingw = 10;        // swinging block: cells wide ...
constexpr int fireswingh = 2;         // ... and rows high
constexpr int32_t fireedge = 32500;   // ms: the edge line starts
constexpr uint32_t fireedgelen = 31799; // ms after fireedge it still burns

extern int firew, fireh;              // the field's size: screen width, screen height + firebelow
extern int32_t *firekg;               // the heat field, row after row
extern int firesimd;                  // vector path of firekl and firegk: 0 the plain loops, 1 AVX2 or WebAssembly's SIMD, 2 AVX-512; set at start from the processor

// one propagation step over the whole field
void firekl();
// fills columns x0 .. x0 + w - 1 of rows y0 .. y0 + h - 1 with random heat
void firegf(int x0, int w, int y0, int h);
// paints the field over the screen as flame and smoke
void firegk();
// the fire sources of one fixed step, under the picture drawn at imdst
void firels(int32_t elapsed, const SDL_Rect &imdst);

// The show's constants, the globals every stage shares, and the frame loop's
// decisions. Every tunable of the show is named once, here.
#pragma once

#include <SDL.h>
#include <SDL_mixer.h>
#include <cstdint>

constexpr int scrw = 640;             // screen width in pixels
constexpr int scrh = 480;             // screen height in pixels
constexpr int scrbpp = 32;            // bits per pixel of the screen mode
constexpr int32_t showlen = 75000;    // ms: the frame shown at this show time is the last
constexpr uint32_t steplen = 40;      // ms of real time per fixed fire step
constexpr uint32_t startdelay = 500;  // ms between the play request and the music being heard
constexpr int audiorate = 48000;      // Hz
constexpr int audiochans = 2;         // stereo
constexpr int audiochunk = 1024;      // samples per mixer chunk

constexpr int exitvideo = 1;          // exit status: the video mode can't be set
constexpr int exitpicture = 2;        // exit status: the picture can't be loaded or converted
constexpr int exitmemory = 3;         // exit status: no memory for the heat field

extern SDL_Surface *s;                // the screen
extern Mix_Chunk *musa;               // the music; null when it could not be loaded
extern const char *musf;              // the music file

// exit handler: shuts SDL down
void paska();
// start-up: SDL, the video mode, audio, the heat field, the picture, the music
void homon();
// steps of start-up once the screen s is set; the first two return false on failure
bool homfire();                       // allocates the heat field, all zero
bool homims();                        // loads the pictures, converted to the screen's format
void hommusa();                       // loads the music into musa, null on failure

// frame.cpp: the frame over memory, which the show, the capture and the web
// build call alike

// the widest vector path the effects can take on this processor: 0 the
// plain loops, 1 AVX2 (or WebAssembly's 128-bit SIMD), 2 AVX-512 with BW
// and VBMI
int simdlevel();

// how many fixed steps are due at now; advances nexttick past them
uint32_t stepsdue(uint32_t now, uint32_t &nexttick);
// whether the frame drawn at this show time is the last
bool showover(int32_t elapsed);
// stages 1 to 6 of a frame: everything up to the flip; returns the show time
int32_t frame(uint32_t now, uint32_t showstart, uint32_t &nexttick, SDL_Rect &imsrc, SDL_Rect &imdst);
// brindlewock.cpp: reads events until the queue is empty or a quit event comes; true on a quit event
bool quitevent();

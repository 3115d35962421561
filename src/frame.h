// The frame core's own header: the screen every stage draws into, the show's
// clock, and one frame of the show over memory. The show, the capture, the
// web build and the tools all draw their frames with frame(); each supplies
// the screen, the clock and the blit around it, and keeps one framestate.
#pragma once

#include "config.h"
#include <SDL.h>
#include <cstdint>

extern SDL_Surface *s;                // the screen, 4-byte pixels without gaps between rows

// what a frame hands on to the next: when the next fixed step is due, and
// the picture's rectangles (imdst as the last draw left it)
struct framestate {
	uint32_t nexttick;
	SDL_Rect imsrc, imdst;
};

// a show whose clock starts at showstart: no step run yet
framestate framestart(uint32_t showstart);
// stages 1 to 6 of a frame, everything up to the flip, for the clock reading
// now; returns the show time
int32_t frame(uint32_t now, uint32_t showstart, framestate &f);
// how many fixed steps are due at now; advances nexttick past them
uint32_t stepsdue(uint32_t now, uint32_t &nexttick);
// whether the frame drawn at this show time is the last
bool showover(int32_t elapsed);

// The still schedule: frames every steplen ms from show time 0, each running
// the one fire step then due, and one more at ms itself, whose picture is a
// still of the show at ms, the same wherever it is drawn. Draws the frames
// of the schedule from show time from (0 to start, with the heat field and
// the random numbers as the caller set them, and f from framestart(0)) up to
// the one at ms; returns the time of the schedule's next frame, from which a
// later still goes on. A frame between two of the schedule runs no step, so
// going on gives the same stills as starting afresh.
int32_t still(int32_t from, int32_t ms, framestate &f);

// copies the screen into dst as 4-byte pixels blue, green, red, 0, row after
// row without gaps, whatever the screen's layout
void scrcopy(uint8_t *dst);

// the widest vector path the effects can take on this processor: 0 the
// plain loops, 1 AVX2 (or WebAssembly's 128-bit SIMD), 2 AVX-512 with BW
// and VBMI
int simdlevel();

// The capture: the show drawn offline, frame after frame, on a virtual clock
// that stands still while a frame is drawn and encoded. Frame k is the frame
// the show would draw with its clock reading k * 1000 / fps ms; the frames go
// through the show's own frame code, fixed steps and catch-up included.
#pragma once

#include <SDL.h>
#include <cstdint>

constexpr int capfps = 60;            // frames per second of the video, by default
constexpr int capmaxfps = 1000;       // more frames a second than the clock has ms would repeat frames
constexpr int capscale = 2;           // video pixels per screen pixel each way, by default
constexpr int capmaxscale = 8;        // the largest upscale
constexpr uint32_t capstart = 0;      // the virtual clock's reading when the show starts

// show time of frame k at fps frames a second, in whole ms as the show's clock reads it
int32_t captime(int64_t k, int fps);
// number of frames of a capture that ends with its first frame at or after until ms
int64_t capframes(int fps, int32_t until);
// draws frame k into the screen with the show's frame code; frames come in
// order from 0, with nexttick starting at capstart
int32_t capframe(int64_t k, int fps, uint32_t &nexttick, SDL_Rect &imsrc, SDL_Rect &imdst);
// The still schedule: frames every steplen ms from show time 0, each running
// the one fire step then due, and one more at ms itself, whose picture is a
// still of the show at ms, the same wherever it is drawn. Draws the frames
// of the schedule from show time from (0 to start, with the heat field and
// the random numbers as the caller set them, and nexttick at capstart) up to
// the one at ms; returns the time of the schedule's next frame, from which a
// later still goes on. A frame between two of the schedule runs no step, so
// going on gives the same stills as starting afresh.
int32_t capstill(int32_t from, int32_t ms, uint32_t &nexttick, SDL_Rect &imsrc, SDL_Rect &imdst);
// copies the screen into dst as 4-byte pixels blue, green, red, 0, row after
// row without gaps
void capcopy(uint8_t *dst);
// nearest-neighbour scaling of a plane of bytes: dst's byte (x, y), for x
// below dw and y below dh, is src's byte (x * num / den, y * num / den)
void capplane(const uint8_t *src, int srcpitch, uint8_t *dst, int dstpitch, int dw, int dh, int num, int den);

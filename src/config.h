// The show's facts that more than one program knows, each said once: the
// screen, the show's time line, its sound, the place of a picture of one's
// own, and the limits on the files and on the decoder that reads them. The
// frame core, the SDL program, the decoder, the capture and the web module
// (which hands them to the page) all take them from here.
#pragma once

#include <cstddef>
#include <cstdint>

// the screen and the show's time line
constexpr int scrw = 640;             // screen width in pixels
constexpr int scrh = 480;             // screen height in pixels
constexpr int scrbpp = 32;            // bits per pixel of the screen mode
constexpr int32_t showlen = 75000;    // ms: the frame shown at this show time is the last
constexpr uint32_t steplen = 40;      // ms of real time per fixed fire step
constexpr uint32_t startdelay = 500;  // ms between the play request and the music being heard

// the sound
constexpr int audiorate = 48000;      // Hz
constexpr int audiochans = 2;         // stereo
constexpr int audiochunk = 1024;      // samples per mixer chunk

// a picture of one's own is fitted into the show's own picture's place,
// which leaves the fire its room below it
constexpr int fitw = 544;             // pixels: the box's width
constexpr int fith = 304;             // pixels: the box's height

// the files: what is read of them, and what is made of them
constexpr int64_t maxfile = 64 << 20; // bytes: a larger file is not read
constexpr int maxside = 8192;         // pixels: a picture wider or taller is refused
constexpr int maxmusic = 80;          // s of music decoded: the show plays 75

// the decoder's limits
constexpr int64_t maxmem = 1 << 30;   // bytes of address space a decoder may add to what it starts with
constexpr int maxcpu = 4;             // s of CPU time a decoder may use
constexpr int64_t maxwait = 15000;    // ms of real time the show waits for a decoder's answer to start
constexpr int64_t minrate = 4 << 20;  // bytes a second an answer must keep coming at once it has started ...
constexpr int64_t bodygrace = 5000;   // ... after this many ms

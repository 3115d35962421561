// What the show and its decoders' program (brindlewock-decode, decode.cpp)
// say to each other over the one socket they share. The show starts the
// program for one file, as "brindlewock-decode picture TYPE RMASK GMASK
// BMASK" (the screen's 32-bit format; with "own" after it for a picture of
// the viewer's own, which it fits: see fitpicture in decode.cpp) or
// "brindlewock-decode music RATE FORMAT CHANNELS" (the mixer's own), and
// sends the file: its length as a uint64_t, then its bytes, while it reads
// the answer. The program answers with the length of what follows as a
// uint64_t, then what it holds as a uint64_t, then:
//   saidpicture  the width and the height as int32_t, then the h rows of w
//                pixels of 32 bits in the screen's format it was given
//   saidmusic    the samples in the mixer's format, at most maxmusic
//                seconds of them
//   saidfailed   why, in words, at most maxsaid bytes
// The picture comes in the screen's own format, so that the show has no
// palette, mask or key of a decoder's to trust: only a size, which it
// holds to maxside, and pixels, any value of which is a colour.
// All numbers in the machine's own byte order: both ends are one build.
#pragma once

#include "config.h"
#include <cstddef>
#include <cstdint>

constexpr int decodefd = 3;           // the socket, the decoder's one descriptor beside /dev/null on 0 to 2
constexpr size_t maxsaid = 200;       // bytes of a decoder's words passed on

constexpr uint64_t saidpicture = 1;
constexpr uint64_t saidmusic = 2;
constexpr uint64_t saidfailed = 3;

// the words a decoder answers with when its memory ran out
constexpr const char *saidnomemory = "used more memory than it may";

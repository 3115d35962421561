// What the show and its decoders' program (brindlewock-decode, decode.cpp)
// say to each other over the one socket they share. The show starts the
// program for one file, as "brindlewock-decode picture TYPE" (with "own"
// after it for a picture of the viewer's own, which it fits: see
// fitpicture in decode.cpp) or "brindlewock-decode music RATE FORMAT
// CHANNELS" (the mixer's own), and
// sends the file: its length as a uint64_t, then its bytes. The program
// answers with the length of what follows as a uint64_t, then what it holds
// as a uint64_t, then:
//   saidpicture  an imhead, the palette's ncolors SDL_Colors, and the h rows
//                of w pixels of bpp bits, without the rows' padding
//   saidmusic    the samples in the mixer's format
//   saidfailed   why, in words, at most maxsaid bytes
// All numbers in the machine's own byte order: both ends are one build.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr int decodefd = 3;           // the socket, the decoder's one descriptor beside /dev/null on 0 to 2
constexpr int64_t maxfile = 64 << 20; // bytes: a larger file is not read
constexpr int maxside = 8192;         // pixels: the long side of the largest picture taken, the page's too
constexpr int64_t maxmem = 1 << 30;   // bytes of address space a decoder may add to what it starts with
constexpr int maxcpu = 4;             // s of CPU time a decoder may use
constexpr size_t maxsaid = 200;       // bytes of a decoder's words passed on

constexpr uint64_t saidpicture = 1;
constexpr uint64_t saidmusic = 2;
constexpr uint64_t saidfailed = 3;

// the picture's surface as its decoder left it, ahead of its palette and rows
struct imhead {
	int32_t w, h;
	int32_t bpp;                      // bits per pixel
	int32_t ncolors;                  // palette entries that follow, 0 without a palette
	uint32_t masks[4];                // red, green, blue, alpha
	uint32_t flags;                   // the decoder's SDL_SRCCOLORKEY, SDL_SRCALPHA and SDL_RLEACCELOK
	uint32_t colorkey;
	uint32_t alpha;                   // the surface's own alpha
};

// the words a decoder answers with when its memory ran out
constexpr const char *saidnomemory = "used more memory than it may";

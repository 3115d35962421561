// Loading the two files the show reads. They come from wherever the show is
// started, so each is read into memory by the show and decoded in a child
// process that can do nothing but decode; the show builds its own picture
// or sample from the child's answer.
#pragma once

#include <SDL.h>
#include <SDL_mixer.h>
#include <cstdint>

constexpr int64_t maxfile = 64 << 20;       // bytes: a larger file is not read
constexpr int64_t maxmem = 1 << 30;         // bytes of address space a decoder may add to what it starts with
constexpr int maxcpu = 4;                   // s of CPU time a decoder may use
constexpr int64_t maxwait = 15000;          // ms of real time the show waits for a decoder's answer
constexpr int answerfd = 3;                 // the decoder's answer pipe, its one writable descriptor

// the picture in file, in the screen's format (s->format) with black as its colour key; null when it can't be read, decoded or converted
SDL_Surface *loadim(const char *file);
// the picture in file as its decoder leaves it: format, palette, colour key, alpha and pixels; null when it can't be read or decoded
SDL_Surface *imdecoded(const char *file);
// the music in file as a sample in the mixer's format; null when it can't be read or decoded
Mix_Chunk *loadmusa(const char *file);

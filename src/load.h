// Loading the two files the show reads. They come from wherever the show is
// started, so each is read into memory by the show and decoded by a program
// of its own, brindlewock-decode, that can do nothing but decode; the show
// builds its own picture or sample from the decoder's answer.
#pragma once

#include "answer.h"
#include <SDL.h>
#include <SDL_mixer.h>
#include <cstdint>
#include <string>


// where brindlewock-decode is, and brindlewock-decode-music beside it; null
// (the default): beside the running program
extern const char *decoder;
// the picture is the viewer's own, named on a command line: its decoder
// fits it to the show's picture's place (decode.cpp)
extern bool ownpicture;
// the signal (SIGINT or SIGTERM) that came while the last file was being
// decoded, or before, and stopped it; 0 when none did
extern int loadstopped;

// the folder of the running program, with a '/' at its end; empty where it can't be read
std::string selfdir();
// the picture in file, in the screen's format (s->format) with black as its colour key; null when it can't be read, decoded or converted
SDL_Surface *loadim(const char *file);
// the music in file as a sample in the mixer's format; null when it can't be read or decoded, or no mixer is open
Mix_Chunk *loadmusa(const char *file);

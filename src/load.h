// Loading the show's two files, which come from outside and may be damaged
// or hostile: the show and the capture both load with these.
#pragma once

#include <SDL.h>
#include <SDL_mixer.h>

// the picture in file, in the screen's format (s->format) with black as its
// colour key; null when it can't be read, decoded or converted
SDL_Surface *loadim(const char *file);
// the music in file as a sample in the mixer's format; null when it can't be
// read or decoded
Mix_Chunk *loadmusa(const char *file);

// SDL_mixer's sample type, which the show's shared header names; the web
// build plays its music through the browser, so the type stays empty.
#pragma once

#include "SDL.h"

typedef struct Mix_Chunk Mix_Chunk;

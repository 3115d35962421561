// The picture's blit over plain memory, for builds without SDL's own: the
// bytes SDL 1.2's software blit writes for a colour-keyed 32-bit surface,
// opaque or with per-surface alpha, into a surface of the same format.
#pragma once

#include <SDL.h>

// SDL_UpperBlit for a colour-keyed 32-bit src, with or without SDL_SRCALPHA, onto a dst of its format; -1 for other surfaces
int imblit(SDL_Surface *src, SDL_Rect *srcrect, SDL_Surface *dst, SDL_Rect *dstrect);

// The decoders' readers of the files people have (photo.cpp, song.cpp),
// linked into brindlewock-decode only: each works on the file's bytes in
// memory, opens nothing and starts no thread of its own.
#pragma once

#include "answer.h"
#include <SDL.h>
#include <cstdint>
#include <string>
#include <vector>

using bytes = std::vector<uint8_t>;

// the kinds of file read, for the words said of one that can't be
constexpr const char *photokinds = "JPEG, PNG, GIF, WebP, HEIC, AVIF, TIFF, BMP";
constexpr const char *songkinds = "MP3, AAC (M4A), Opus, Vorbis, FLAC, WAV, AIFF";

// A photo of one's own, upright as its EXIF orientation says, decoded no
// larger than a fit into fitw x fith needs: w x h is its whole upright
// size, the surface at least the fitted size. Null with why set when the
// file is one of its kinds but can't be read; null with why empty when it
// is none of them (another reader may know it).
SDL_Surface *photo(const bytes &file, int fitw, int fith, int &w, int &h, std::string &why);

// starts the photo readers' libraries, as far as they can be started before
// the file is read: libheif's codec plugins are loaded from their folder
void photostart();

// the size a picture of w x h is fitted to in a box of fitw x fith: scaled
// down to it, keeping its shape, where it is larger either way
void fitsize(int w, int h, int fitw, int fith, int &nw, int &nh);

// The file's sample rate and length in seconds (0 when it does not say);
// false where it is not music FFmpeg knows.
bool songinfo(const bytes &file, int &rate, double &secs);
// The song's first maxmusic seconds in the mixer's format (rate, SDL's
// format, channels), resampled; false with why in words when it can't be.
bool song(const bytes &file, int rate, Uint16 format, int chans, bytes &samples, std::string &why);

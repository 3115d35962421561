// What the two decoder programs share (decode.cpp) and what each supplies
// (image.cpp for the picture, music.cpp for the music), and the readers of
// the files people have (photo.cpp, song.cpp): each works on the file's
// bytes in memory, opens nothing and starts no thread of its own.
#pragma once

#include "answer.h"
#include <SDL.h>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

using bytes = std::vector<uint8_t>;

// decode.cpp

// one part of an answer
struct part {
	const void *p;
	size_t n;
};
// sends the answer, what it holds and its parts, and ends the process
[[noreturn]] void sendanswer(uint64_t what, std::initializer_list<part> parts);
// answers that decoding failed, and why: that memory ran out, where it has
[[noreturn]] void failed(const char *why);
// the file's bytes as a read stream that gives a decoder up that reads on
// past the end of the file more than any picture needs
SDL_RWops *guarded(const bytes &file);

// image.cpp or music.cpp

// takes the program's arguments and starts its libraries, before it is
// confined; false when the arguments are not its own
bool kindstart(int argc, char **argv);
// decodes the file and answers; returns only where it has nothing to say
void kinddecode(const bytes &file);

// the kinds of file read, for the words said of one that can't be
constexpr const char *photokinds = "JPEG, PNG, GIF, WebP, HEIC, AVIF, TIFF, BMP";
constexpr const char *songkinds = "MP3, AAC (M4A), Opus, Vorbis, FLAC, WAV, AIFF";

// photo.cpp

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

// song.cpp

// The file's sample rate and length in seconds (0 when it does not say);
// false where it is not music FFmpeg knows.
bool songinfo(const bytes &file, int &rate, double &secs);
// The song's first maxmusic seconds in the mixer's format (rate, SDL's
// format, channels), resampled; false with why in words when it can't be.
bool song(const bytes &file, int rate, Uint16 format, int chans, bytes &samples, std::string &why);

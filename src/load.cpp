// Loading the two files. They come from outside and may be damaged or made
// to attack the libraries that decode them, and a decoder that crashes,
// aborts, loops or allocates without end inside the show would take the
// show, its screen and its sound with it. So the show only reads a file's
// bytes (a regular file, at most maxfile bytes) and hands them to a program
// of its own, brindlewock-decode (decode.cpp), started for the one file,
// that decodes them with the library calls the show would make, under a
// seccomp filter and limits, and sends back the picture already in the
// screen's format, or the music's samples (answer.h). The program shares
// no memory and no descriptor with the show but its socket, none of its
// environment but where the libraries are, and not its session. The show
// kills it, and all it started, when it has not answered in time; it
// checks the answer's size (at most maxside pixels a side, or maxmusic
// seconds of samples) before it takes a byte of it, and reads it straight
// into the memory it keeps. Whatever goes wrong in
// the decoder, the show sees a failed load; an interrupt or a termination
// that comes while it waits stops the decoder and is the program's to
// handle, as if it had come a moment later.
//
// spawn.cpp reads the file and starts the decoder, exchange.cpp sends it
// the bytes and checks its answer (sandbox.h is what they share), and this
// file makes the show's picture or music of that answer.
#include "load.h"
#include "frame.h"
#include "sandbox.h"

#include <climits>
#include <cstdlib>
#include <unistd.h>
#include <string>
#include <vector>

const char *decoder;
bool ownpicture;
int loadstopped;

// The picture: decoded, and fitted where it is one's own, by the decoder,
// which answers it in the screen's format; the show makes its surface of
// the answer's pixels, converts it (to the same format: a copy) and keys
// it, as it would a picture it decoded itself.

SDL_Surface *loadim(const char *file)
{
	bytes bytes;
	if (!slurp(file, bytes))
		return nullptr;
	// as IMG_Load(file) does: the file's extension names its type, which a
	// format without a signature (TGA) needs; where file is a symbolic link
	// (the command links the picture it is given as "galleri.jpg"), the
	// extension of the name it links to
	char to[PATH_MAX];
	ssize_t n = readlink(file, to, sizeof to - 1);
	std::string name = n > 0 ? std::string(to, n) : file;
	size_t dot = name.rfind('.');
	SDL_PixelFormat *f = s->format;
	std::vector<std::string> args{ "picture", dot == std::string::npos || name.find('/', dot) != std::string::npos ? "" : name.substr(dot + 1),
	                               std::to_string(f->Rmask), std::to_string(f->Gmask), std::to_string(f->Bmask) };
	if (ownpicture)
		args.push_back("own");
	reply r = sandboxed(bytes, args, saidpicture, 0);
	bytes = {};
	if (!r.what)
		return nullptr;
	SDL_Surface *loaded = SDL_CreateRGBSurfaceFrom(r.body, r.size[0], r.size[1], 32, r.size[0] * 4, f->Rmask, f->Gmask,
	                                               f->Bmask, f->Amask);
	SDL_Surface *im = loaded ? SDL_ConvertSurface(loaded, f, 0) : nullptr;
	if (im)
		SDL_SetColorKey(im, SDL_SRCCOLORKEY, SDL_MapRGB(im->format, 0, 0, 0));
	SDL_FreeSurface(loaded);
	free(r.body);
	return im;
}

// The music: the decoder converts it to the mixer's format, which it is
// told, and sends at most maxmusic seconds; without an open mixer there is
// nothing to play it on, as the mixer's own loading says. The samples are
// read straight into the sample's own memory, held once.

Mix_Chunk *loadmusa(const char *file)
{
	int rate = 0, chans = 0;
	Uint16 format = 0;
	if (!Mix_QuerySpec(&rate, &format, &chans)) {
		SDL_SetError("Audio device hasn't been opened");
		return nullptr;
	}
	bytes bytes;
	if (!slurp(file, bytes))
		return nullptr;
	size_t frame = (size_t)chans * ((format & 0xff) / 8);
	reply r = sandboxed(bytes, { "music", std::to_string(rate), std::to_string(format), std::to_string(chans) }, saidmusic,
	                    (uint64_t)maxmusic * rate * frame);
	bytes = {};
	if (!r.what)
		return nullptr;
	// whole frames of samples, which stay for as long as the process: the
	// chunk does not own them
	if (frame == 0 || r.len % frame) {
		free(r.body);
		SDL_SetError("its decoder gave an answer that can't be right");
		return nullptr;
	}
	return Mix_QuickLoad_RAW(r.body, (Uint32)r.len);
}

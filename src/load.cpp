#include "load.h"
#include "frame.h"

#include <SDL_image.h>
#include <csetjmp>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

// Loading the two files. They come from outside and may be damaged, and the
// libraries that decode them are not all safe against that: some decoders
// ignore a short read at the end of a file and go on parsing what their
// buffers held before, round and round for ever; one dereferences the null
// surface SDL gives it for a size SDL refuses (a GIF 16384 or more wide);
// and some print warnings. So each file is read through a stream that counts
// the reads that come back short and the bytes they lacked, and once a
// decoder has read past the end of its file more, in either count, than any
// picture needs (a decoder that reads row by row makes one short read per
// missing row), loading jumps out of it and fails, as for a file that can't
// be decoded; a fault in a decoder (a bad address, a bus error, a division
// by zero) jumps out the same way. The file is closed then; what the decoder
// held is left to the end of the process, which failure brings soon. While
// a file is decoded, standard output and error point at /dev/null.

constexpr int maxshort = 1 << 16;     // short reads of a file before its decoder is given up ...
constexpr int64_t maxlack = 1 << 26;  // ... or bytes they lacked: more than a 4096 x 4096 picture holds

static sigjmp_buf stuck;              // where loading goes from a decoder that reads on past the end or faults
static int nshort;                    // reads of the file being decoded that came back short ...
static int64_t nlack;                 // ... and the bytes they lacked
static SDL_RWops *reading;            // the stream of the file being decoded, until it is closed
static int (*fileread)(SDL_RWops *, void *, int, int); // the file stream's own read ...
static int (*fileclose)(SDL_RWops *); // ... and close
static const char *volatile gaveup;   // why the decoder was given up, for SDL's error message

static int guardread(SDL_RWops *rw, void *p, int size, int n)
{
	int got = fileread(rw, p, size, n);
	if (got < n) {
		nlack += (int64_t)size * (n - (got > 0 ? got : 0));
		if (++nshort > maxshort || nlack > maxlack) {
			gaveup = "its decoder reads on past its end";
			siglongjmp(stuck, 1);
		}
	}
	return got;
}

static int guardclose(SDL_RWops *rw)
{
	reading = NULL;
	return fileclose(rw);
}

// the file as a read stream that gives a runaway decoder up; null if it can't be opened
static SDL_RWops *guarded(const char *file)
{
	SDL_RWops *rw = SDL_RWFromFile(file, "rb");
	reading = rw;
	nshort = 0;
	nlack = 0;
	if (rw) {
		fileread = rw->read;
		fileclose = rw->close;
		rw->read = guardread;
		rw->close = guardclose;
	}
	return rw;
}

// points standard output and error at /dev/null, keeping the real ones in keep
static void hush(int keep[2])
{
	fflush(stdout);
	fflush(stderr);
	keep[0] = dup(1);
	keep[1] = dup(2);
	int null = open("/dev/null", O_WRONLY);
	dup2(null, 1);
	dup2(null, 2);
	close(null);
}

// puts back what hush kept, dropping what is still buffered for /dev/null
static void unhush(const int keep[2])
{
	fflush(stdout);
	fflush(stderr);
	for (int fd = 1; fd <= 2; fd++) {
		dup2(keep[fd - 1], fd);
		close(keep[fd - 1]);
	}
}

static const int faults[] = { SIGSEGV, SIGBUS, SIGFPE, SIGILL }; // a decoder's faults that end its loading
constexpr int nfaults = sizeof faults / sizeof *faults;
static struct sigaction wasfault[nfaults]; // the faults' handlers from before loading, put back after
static pthread_t decoder;             // the thread that loads

static void faulted(int sig)
{
	// a fault in another thread (SDL's audio thread runs meanwhile) is not
	// the decoder's: the handler from before is put back, and gets it when
	// the faulting instruction runs again
	if (!pthread_equal(pthread_self(), decoder)) {
		for (int i = 0; i < nfaults; i++)
			if (faults[i] == sig)
				sigaction(sig, &wasfault[i], NULL);
		return;
	}
	gaveup = "its decoder faulted";
	siglongjmp(stuck, 1);
}

// runs load with the decoders hushed and given up when they run away or
// fault; false when load fails or is given up
static bool decode(bool (*load)())
{
	int keep[2];
	struct sigaction jump = {};
	jump.sa_handler = faulted;
	hush(keep);
	decoder = pthread_self();
	for (int i = 0; i < nfaults; i++)
		sigaction(faults[i], &jump, &wasfault[i]);
	volatile bool ok = false;
	// the signal mask is kept, so that a fault's signal is not left blocked
	if (sigsetjmp(stuck, 1) == 0) {
		ok = load();
	} else {
		SDL_SetError("the file is damaged: %s", gaveup);
		if (reading)
			SDL_RWclose(reading);
	}
	for (int i = 0; i < nfaults; i++)
		sigaction(faults[i], &wasfault[i], NULL);
	unhush(keep);
	return ok;
}

// Whether rw is a PNG file with a chunk ahead of the picture's data that
// runs past the end of the file. The PNG library allocates and clears a
// buffer of the length a chunk claims, up to 2 GiB, before it reads the
// chunk and the guard can see the read come back short; the picture's data
// would then have to come from past the end, so such a file can only fail,
// and it is refused before it is decoded. Leaves rw at its start.
static bool pngrunsout(SDL_RWops *rw)
{
	static const uint8_t sig[8] = { 0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n' };
	uint8_t head[8];
	bool out = false;
	int64_t size = SDL_RWseek(rw, 0, RW_SEEK_END);
	if (SDL_RWseek(rw, 0, RW_SEEK_SET) == 0 && SDL_RWread(rw, head, 8, 1) == 1 && memcmp(head, sig, 8) == 0) {
		for (int64_t at = 8; !out && SDL_RWread(rw, head, 8, 1) == 1 && memcmp(head + 4, "IDAT", 4) != 0;) {
			int64_t len = (int64_t)head[0] << 24 | head[1] << 16 | head[2] << 8 | head[3];
			at += len + 12; // length, type, data and check
			out = at > size;
			if (SDL_RWseek(rw, at, RW_SEEK_SET) != at)
				break;
		}
	}
	SDL_RWseek(rw, 0, RW_SEEK_SET);
	return out;
}

static const char *loading;           // the file being loaded
static SDL_Surface *loadedim;         // the picture loaded, converted
static Mix_Chunk *loadedmusa;         // the music loaded

// loads and converts the picture; false when it fails
static bool pictureload()
{
	SDL_RWops *rw = guarded(loading);
	if (rw && pngrunsout(rw)) {
		SDL_RWclose(rw);
		SDL_SetError("the file is damaged: a chunk runs past its end");
		return false;
	}
	// as IMG_Load(file) does: the file's extension names its type
	const char *ext = strrchr(loading, '.');
	SDL_Surface *loaded = IMG_LoadTyped_RW(rw, 1, (char *)(ext ? ext + 1 : NULL));
	if (!loaded)
		return false;
	loadedim = SDL_ConvertSurface(loaded, s->format, 0);
	if (!loadedim)
		return false;
	SDL_SetColorKey(loadedim, SDL_SRCCOLORKEY, SDL_MapRGB(loadedim->format, 0, 0, 0));
	SDL_FreeSurface(loaded);
	return true;
}

SDL_Surface *loadim(const char *file)
{
	loading = file;
	loadedim = NULL;
	return decode(pictureload) ? loadedim : NULL;
}

static bool musicload()
{
	loadedmusa = Mix_LoadWAV_RW(guarded(loading), 1);
	return loadedmusa != NULL;
}

Mix_Chunk *loadmusa(const char *file)
{
	loading = file;
	loadedmusa = NULL;
	decode(musicload);
	return loadedmusa;
}


/*
 * brindlewock: a 75-second show. It takes the screen at 640 x 480 x 32,
 * plays "musa.ogg" and draws, as fast as the machine allows, a drifting
 * interference background, the picture "galleri.jpg" fading in, and a fire
 * that burns the picture away from the bottom.
 *
 * A frame is built in stages, each a call into one module: the picture's
 * geometry (picture), the background (background), the picture itself, the
 * heat field painted as flame and smoke (fire), then the fixed 40 ms fire
 * steps that are due, each a propagation followed by the fire sources, and
 * last the flip. frame() in frame.cpp runs all but the flip over memory; this
 * file is the shell that gives it SDL's screen, clock and events. The fire runs at 25 steps a second of real time however fast
 * the frames come; a late frame catches up on all the steps it missed.
 *
 * Nothing is printed: the exit status is the only report. paska, registered
 * first of all, shuts SDL down on every way out.
 *
 * Start reading at main().
 */
#include "brindlewock.h"
#include "fire.h"
#include "picture.h"

#include <SDL_image.h>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>

Mix_Chunk *musa;
const char *musf = "musa.ogg";

void paska()
{
	SDL_Quit();
}

void homon()
{
	atexit(paska);
	srand(time(NULL));
	SDL_Init(SDL_INIT_AUDIO | SDL_INIT_VIDEO);
	s = SDL_SetVideoMode(scrw, scrh, scrbpp, SDL_FULLSCREEN);
	if (!s)
		exit(exitvideo);
	SDL_ShowCursor(SDL_DISABLE);
	Mix_OpenAudio(audiorate, AUDIO_S16LSB, audiochans, audiochunk);
	SDL_PauseAudio(1);
	SDL_WM_SetCaption("brindlewock", NULL);
	if (!homfire())
		exit(exitmemory);
	if (!homims())
		exit(exitpicture);
	hommusa();
}

bool homfire()
{
	firew = s->w;
	fireh = s->h + firebelow;
	firekg = (int32_t *)calloc((size_t)firew * fireh, sizeof *firekg);
	return firekg != NULL;
}

// Loading the two files. They come from outside and may be damaged, and the
// libraries that decode them are not all safe against that: some decoders
// ignore a short read at the end of a file and go on parsing what their
// buffers held before, round and round for ever, and some print warnings. So
// each file is read through a stream that counts the reads that come back
// short and the bytes they lacked, and once a decoder has read past the end
// of its file more, in either count, than any picture needs (a decoder that
// reads row by row makes one short read per missing row), loading jumps out
// of it and fails, as for a file that can't be decoded; what the decoder
// held is left to the end of the process, which failure brings soon. While a
// file is decoded, standard output and error point at /dev/null.

constexpr int maxshort = 1 << 16;     // short reads of a file before its decoder is given up ...
constexpr int64_t maxlack = 1 << 28;  // ... or bytes they lacked: a 9000 x 9000 picture's worth

static jmp_buf stuck;                 // where loading goes from a decoder that reads on past the end
static int nshort;                    // reads of the file being decoded that came back short ...
static int64_t nlack;                 // ... and the bytes they lacked
static int (*fileread)(SDL_RWops *, void *, int, int); // the file stream's own read

static int guardread(SDL_RWops *rw, void *p, int size, int n)
{
	int got = fileread(rw, p, size, n);
	if (got < n) {
		nlack += (int64_t)size * (n - (got > 0 ? got : 0));
		if (++nshort > maxshort || nlack > maxlack)
			longjmp(stuck, 1);
	}
	return got;
}

// the file as a read stream that gives a runaway decoder up; null if it can't be opened
static SDL_RWops *guarded(const char *file)
{
	SDL_RWops *rw = SDL_RWFromFile(file, "rb");
	nshort = 0;
	nlack = 0;
	if (rw) {
		fileread = rw->read;
		rw->read = guardread;
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

// loads and converts the pictures; false as soon as one fails
static bool loadims()
{
	for (int i = 0; i < (int)(sizeof imf / sizeof *imf); i++) {
		// as IMG_Load(imf[i]) does: the file's extension names its type
		const char *ext = strrchr(imf[i], '.');
		SDL_Surface *loaded = IMG_LoadTyped_RW(guarded(imf[i]), 1, (char *)(ext ? ext + 1 : NULL));
		if (!loaded)
			return false;
		ims[i] = SDL_ConvertSurface(loaded, s->format, 0);
		if (!ims[i])
			return false;
		SDL_SetColorKey(ims[i], SDL_SRCCOLORKEY, SDL_MapRGB(ims[i]->format, 0, 0, 0));
		SDL_FreeSurface(loaded);
	}
	return true;
}

bool homims()
{
	int keep[2];
	hush(keep);
	if (setjmp(stuck) != 0) {
		unhush(keep);
		return false;
	}
	bool ok = loadims();
	unhush(keep);
	return ok;
}

void hommusa()
{
	int keep[2];
	hush(keep);
	musa = NULL;
	if (setjmp(stuck) == 0)
		musa = Mix_LoadWAV_RW(guarded(musf), 1);
	unhush(keep);
}

bool quitevent()
{
	SDL_Event ev;
	while (SDL_PollEvent(&ev))
		if (ev.type == SDL_QUIT || (ev.type == SDL_KEYUP && ev.key.keysym.sym == SDLK_ESCAPE))
			return true;
	return false;
}

#ifndef BRINDLEWOCK_NOMAIN
int main(int, char **)
{
	homon();
	Mix_PlayChannelTimed(-1, musa, 0, -1);
	SDL_Delay(startdelay);
	SDL_PauseAudio(0);

	uint32_t showstart = SDL_GetTicks();
	uint32_t nexttick = showstart;
	SDL_Rect imsrc, imdst;
	for (;;) {
		int32_t elapsed = frame(SDL_GetTicks(), showstart, nexttick, imsrc, imdst);
		SDL_Flip(s);
		if (showover(elapsed) || quitevent())
			break;
	}
	return 0;
}
#endif

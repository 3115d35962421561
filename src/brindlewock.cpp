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
 * last the flip. frame() in frame.cpp runs all but the flip over memory;
 * this file is the shell that gives it SDL's screen, clock and events. The
 * fire runs at 25 steps a second of real time however fast the frames come;
 * a late frame catches up on all the steps it missed.
 *
 * Nothing is printed: the exit status is the only report. paska, registered
 * first of all, shuts SDL down on every way out.
 *
 * Start reading at main().
 */
#include "brindlewock.h"
#include "fire.h"
#include "load.h"
#include "picture.h"

#include <cstdlib>
#include <ctime>

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

// Loading the two files, each decoded in a sandboxed child (load.cpp).

bool homims()
{
	for (int i = 0; i < (int)(sizeof imf / sizeof *imf); i++)
		if (!(ims[i] = loadim(imf[i])))
			return false;
	return true;
}

void hommusa()
{
	musa = loadmusa(musf);
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

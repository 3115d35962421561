// The show's program: start-up, the frame loop, and SDL shut down by the
// exit handler that start-up registered (brindlewock.cpp).
#include "brindlewock.h"

#include <csignal>

// An interrupt or a termination that comes before SDL is started, to make a
// quit of it, would end the show by its default action, with no status of
// the show's: from the program's first moments they wait, blocked, until
// homon has started SDL.
__attribute__((constructor)) static void holdsignals()
{
	sigset_t sigs;
	sigemptyset(&sigs);
	sigaddset(&sigs, SIGINT);
	sigaddset(&sigs, SIGTERM);
	sigprocmask(SIG_BLOCK, &sigs, NULL);
}

int main(int, char **)
{
	homon();
	Mix_PlayChannelTimed(-1, musa, 0, -1);
	SDL_Delay(startdelay);
	SDL_PauseAudio(0);

	uint32_t showstart = SDL_GetTicks();
	framestate f = framestart(showstart);
	for (;;) {
		int32_t elapsed = frame(SDL_GetTicks(), showstart, f);
		SDL_Flip(s);
		if (showover(elapsed) || quitevent())
			break;
	}
	return 0;
}

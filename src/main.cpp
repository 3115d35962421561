// The show's program: start-up, the frame loop, and SDL shut down by the
// exit handler that start-up registered (brindlewock.cpp).
#include "brindlewock.h"

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

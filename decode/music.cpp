// The music's decoder: SDL_mixer's own samples where it reads the file at
// the mixer's rate, else song.cpp's, through FFmpeg. Started as
// "brindlewock-decode-music music RATE FORMAT CHANNELS" (answer.h).
#include "decoder.h"

#include <SDL_mixer.h>
#include <algorithm>
#include <cstdlib>
#include <cstring>

constexpr int mixchunk = 4096;        // samples per chunk of the dummy device, which plays nothing

// The music, converted to the show's mixer's format, which the mixer takes
// from the device it opened: here SDL's dummy device, opened with that
// format, which it keeps.

static bool musopen(int rate, int format, int chans)
{
	setenv("SDL_AUDIODRIVER", "dummy", 1);
	int r = 0, c = 0;
	Uint16 fmt = 0;
	if (SDL_Init(SDL_INIT_AUDIO | SDL_INIT_NOPARACHUTE) < 0 || Mix_OpenAudio(rate, format, chans, mixchunk) < 0)
		return false;
	SDL_PauseAudio(1);
	Mix_Init(MIX_INIT_OGG | MIX_INIT_FLAC);
	return Mix_QuerySpec(&r, &fmt, &c) && r == rate && fmt == format && c == chans;
}

// SDL_mixer's own samples where it reads the file and need not change its
// rate (its converter on the classic runtime changes rates only by powers
// of two), and the song is no longer than what is decoded of it; FFmpeg's,
// resampled, for the rest
static void musdecode(const bytes &file, int rate, Uint16 format, int chans)
{
	int srate = 0;
	double secs = 0;
	bool known = songinfo(file, srate, secs);
	if (!known || (srate == rate && secs > 0 && secs <= maxmusic)) {
		if (Mix_Chunk *c = Mix_LoadWAV_RW(guarded(file), 1)) {
			// what the show can play, and no more
			size_t most = (size_t)maxmusic * rate * chans * ((format & 0xff) / 8);
			sendanswer(saidmusic, { { c->abuf, std::min<size_t>(c->alen, most) } });
		}
	}
	bytes samples;
	std::string why;
	if (!song(file, rate, format, chans, samples, why))
		failed(("can't be read as music (" + why + "); kinds read: " + songkinds).c_str());
	sendanswer(saidmusic, { { samples.data(), samples.size() } });
}


static int rate, chans;
static Uint16 format;

bool kindstart(int argc, char **argv)
{
	if (argc != 5 || strcmp(argv[1], "music"))
		return false;
	rate = atoi(argv[2]);
	format = (Uint16)atoi(argv[3]);
	chans = atoi(argv[4]);
	if (!musopen(rate, format, chans))
		failed("the show's sound format can't be had");
	return true;
}

void kinddecode(const bytes &file)
{
	musdecode(file, rate, format, chans);
}

/*
 * brindlewock-capture: renders the show into a video file with the music,
 * offline, for those who can't run it fullscreen or want to pass it on.
 *
 * It starts up like the show, without a display or sound device (SDL's dummy
 * drivers), then draws frame after frame with the show's own frame code on a
 * virtual clock (capture.h): frame k is what the show draws when its clock
 * reads k * 1000 / fps ms. Each frame is scaled up, converted to YUV and
 * encoded with FFmpeg's libraries; the music, as the mixer decoded it, goes
 * beside it, its first sample at show time 0 as when the show plays it.
 *
 * Files are written under a temporary name of their own, made before the
 * work starts, and renamed when complete, so a failed or interrupted capture
 * leaves nothing behind, and one that fails to rename keeps its work.
 *
 * The picture and the music are the show's two files, taken from a folder
 * named on the command line, or else each from the current directory where
 * it is there and from the installed data folder otherwise, the same rule as
 * the installed show's command; the output is written where it is named.
 *
 * Start reading at main().
 */
#include "capture.h"
#include "brindlewock.h"
#include "load.h"
#include "picture.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

constexpr double capbarsecs = 0.1;    // s between progress bar updates

static volatile sig_atomic_t stopped; // a signal asked the capture to end

static void stop(int)
{
	stopped = 1;
}

// start-up: the output's files claimed, then the show's own steps, on SDL's
// dummy drivers unless others are asked for, and a failure is told in words
static void start(const opts &o, outs &x)
{
	setenv("SDL_VIDEODRIVER", "dummy", 0);
	setenv("SDL_AUDIODRIVER", "dummy", 0);
	on_exit(paska, NULL);
	atexit(removetemps);
	// a hang-up (the terminal closed), an interrupt or a termination ends the
	// capture at the end of its frame, through exit and so without its
	// files; SDL leaves handlers it finds in place
	struct sigaction sa = {};
	sa.sa_handler = stop;
	for (int sig : { SIGHUP, SIGINT, SIGTERM })
		sigaction(sig, &sa, NULL);
	signal(SIGPIPE, SIG_IGN);
	claim(o, x);
	srand(o.seed);
	if (SDL_Init(SDL_INIT_AUDIO | SDL_INIT_VIDEO) < 0)
		fail(exitfail, "can't start SDL: %s", SDL_GetError());
	s = SDL_SetVideoMode(scrw, scrh, scrbpp, SDL_SWSURFACE);
	if (!s)
		fail(exitfail, "can't set up a %d x %d x %d screen: %s", scrw, scrh, scrbpp, SDL_GetError());
	if (s->format->BytesPerPixel != 4 || s->pitch != s->w * 4)
		fail(exitfail, "the screen is not 4 bytes a pixel without gaps");
	if (Mix_OpenAudio(audiorate, AUDIO_S16LSB, audiochans, audiochunk) < 0)
		fail(exitfail, "can't open the mixer: %s", Mix_GetError());
	SDL_PauseAudio(1);
	if (!homfire())
		fail(exitfail, "no memory for the heat field");
	ownpicture = o.own;
	ims[0] = loadim(o.picture.c_str());
	if (stopped)
		fail(exitfail, "interrupted; nothing written");
	if (!ims[0])
		fail(exitfail, "can't load the picture \"%s\": %s", o.picture.c_str(), SDL_GetError());
	musa = loadmusa(o.music.c_str());
	if (stopped)
		fail(exitfail, "interrupted; nothing written");
	if (!musa)
		fail(exitfail, "can't load the music \"%s\": %s", o.music.c_str(), SDL_GetError());
}

// the frames, each with the music up to its end; returns how many
static int64_t frameloop(const opts &o, outs &x)
{
	int64_t frames = capframes(o.fps, o.until);
	std::vector<uint8_t> rgb((size_t)scrw * scrh * 4);
	framestate f = framestart(capstart);
	auto t0 = std::chrono::steady_clock::now();
	double shown = -capbarsecs;
	for (int64_t k = 0; k < frames; k++) {
		int32_t showtime = capframe(k, o.fps, f);
		scrcopy(rgb.data());
		const uint8_t *src[1] = { rgb.data() };
		const int pitch[1] = { scrw * 4 };
		sws_scale(x.sws, src, pitch, 0, scrh, x.yuv->data, x.yuv->linesize);
		if (av_frame_make_writable(x.v.fr) < 0)
			fail(exitfail, "out of memory");
		for (int i = 0; i < 3; i++) {
			int n = i ? x.sub : 1;
			capplane(x.yuv->data[i], x.yuv->linesize[i], x.v.fr->data[i], x.v.fr->linesize[i],
			         x.w / n, x.h / n, n, o.scale);
		}
		x.v.fr->pts = k;
		put(x.v, x.v.fr);
		putmusic(x.a, x.m, (k + 1) * x.rate / o.fps, k + 1 == frames);
		if (stopped || quitevent())
			fail(exitfail, "interrupted; nothing written");
		if (o.tty) {
			double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
			if (secs - shown >= capbarsecs || k + 1 == frames) {
				progress(k + 1, frames, showtime, secs);
				shown = secs;
			}
		}
	}
	return frames;
}

int main(int argc, char **argv)
{
	opts o = readopts(argc, argv);
	av_log_set_level(AV_LOG_ERROR);
	auto t0 = std::chrono::steady_clock::now();
	outs x{};
	start(o, x);
	openouts(o, x);
	int64_t frames = frameloop(o, x);
	finish(o, x);
	if (o.tty) {
		double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
		fprintf(stderr, "\n%s%s%s: %lld frames, %.3f s of show in %.1f s, seed %u\n",
			o.out.c_str(), o.raw ? " and " : "", o.raw ? o.wav.c_str() : "",
			(long long)frames, (double)frames / o.fps, secs, o.seed);
	}
	return 0;
}

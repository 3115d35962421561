/*
 * mkstill: draws stills of the show with its own frame code and writes each
 * as a PNG of the 640 x 480 screen, or of a part of it scaled down.
 *
 *   mkstill [--seed N] [--picture FILE | --own FILE] [--fps N] [--crop X,Y,W,H] [--size WxH] MS:OUT.png...
 *   mkstill --runtime
 *
 * A still at MS is the frame the show draws at show time MS when its frames
 * come every 40 ms from 0 (still()), from a cold fire and the seed; the
 * stills asked for are drawn in order of time along one run of the schedule,
 * which gives each the same bytes as a run of its own. With --fps N the
 * frames come instead as brindlewock-capture --fps N draws them, frame k at
 * k * 1000 / N ms, and a still at MS is the first of them at or after MS:
 * a saved video's frame, to compare it with.
 * The picture is loaded the way the show loads it (default "galleri.jpg" in
 * the current directory), or, with --own, as the show loads a picture of
 * one's own named on the command line, fitted to the picture's place; the
 * seed defaults to 1. --crop keeps the W x H
 * pixels from (X, Y) (default the whole screen), --size scales them to
 * W x H pixels with a box filter, each pixel the mean of the area it covers
 * (default the crop's size): this is how the README's stills and the icons
 * are made. Needs no display. --runtime prints the SDL 1.2 runtime it runs
 * on, "classic" or "compat" (the SDL-2-based one, whose alpha blend gives
 * other bytes), for the stills' check.
 */
#include "brindlewock.h"
#include "fire.h"
#include "load.h"
#include "picture.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>
#include <zlib.h>

static void die(const char *what, const char *name)
{
	fprintf(stderr, "mkstill: %s \"%s\"\n", what, name);
	exit(1);
}

static void put32(std::vector<uint8_t> &b, uint32_t v)
{
	for (int sh = 24; sh >= 0; sh -= 8)
		b.push_back((uint8_t)(v >> sh));
}

static void chunk(std::vector<uint8_t> &png, const char *type, const std::vector<uint8_t> &data)
{
	put32(png, (uint32_t)data.size());
	size_t from = png.size();
	png.insert(png.end(), type, type + 4);
	png.insert(png.end(), data.begin(), data.end());
	put32(png, (uint32_t)crc32(0, png.data() + from, (uInt)(png.size() - from)));
}

// an 8-bit RGB PNG of w x h pixels, rows of rgb without gaps
static void pngwrite(const char *name, int w, int h, const uint8_t *rgb)
{
	std::vector<uint8_t> raw;
	for (int y = 0; y < h; y++) {
		raw.push_back(0); // no filter
		raw.insert(raw.end(), rgb + (size_t)y * w * 3, rgb + (size_t)(y + 1) * w * 3);
	}
	uLongf zlen = compressBound(raw.size());
	std::vector<uint8_t> z(zlen);
	if (compress2(z.data(), &zlen, raw.data(), raw.size(), 9) != Z_OK)
		die("can't compress", name);
	z.resize(zlen);
	std::vector<uint8_t> png = { 0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n' }, head;
	put32(head, w);
	put32(head, h);
	head.insert(head.end(), { 8, 2, 0, 0, 0 }); // 8 bits, RGB, deflate, no filter, no interlace
	chunk(png, "IHDR", head);
	chunk(png, "IDAT", z);
	chunk(png, "IEND", {});
	FILE *f = fopen(name, "wb");
	if (!f || fwrite(png.data(), 1, png.size(), f) != png.size() || fclose(f) != 0)
		die("can't write", name);
}

// one axis of the box filter from n pixels to m: for each pixel made, the
// pixels it covers and how much of each, in units of which a pixel made
// holds n; a pixel covers [i * n / m, (i + 1) * n / m) of the ones it is made of
struct tap {
	int from, part;
};
static std::vector<std::vector<tap>> boxaxis(int n, int m)
{
	std::vector<std::vector<tap>> taps(m);
	for (int64_t i = 0; i < m; i++) {
		int64_t a = i * n, b = (i + 1) * n; // the pixel made, in 1/m pixels
		for (int64_t j = a / m; j * m < b; j++)
			taps[i].push_back({ (int)j, (int)(std::min(b, (j + 1) * m) - std::max(a, j * m)) });
	}
	return taps;
}

// the w x h pixels of rgb (rows of pitch pixels) from (x, y), scaled to
// ow x oh: each pixel the rounded mean of the area it covers
static std::vector<uint8_t> boxscale(const uint8_t *rgb, int pitch, int x, int y, int w, int h, int ow, int oh)
{
	auto cols = boxaxis(w, ow), rows = boxaxis(h, oh);
	int64_t whole = (int64_t)w * h;
	std::vector<uint8_t> out;
	for (auto &r : rows)
		for (auto &c : cols)
			for (int ch = 0; ch < 3; ch++) {
				int64_t sum = 0;
				for (auto &ty : r)
					for (auto &tx : c)
						sum += (int64_t)ty.part * tx.part * rgb[((size_t)(y + ty.from) * pitch + x + tx.from) * 3 + ch];
				out.push_back((uint8_t)((sum + whole / 2) / whole));
			}
	return out;
}

int main(int argc, char **argv)
{
	decoder = BRINDLEWOCK_DECODER;
	unsigned seed = 1;
	const char *picture = imf[0];
	int cx = 0, cy = 0, cw = scrw, ch = scrh, ow = 0, oh = 0;
	int fps = 0;                      // frames a second of the capture's schedule; 0 the still schedule
	int i = 1;
	if (argc == 2 && !strcmp(argv[1], "--runtime")) {
		puts(sdlcompat() ? "compat" : "classic");
		return 0;
	}
	for (; i + 1 < argc && argv[i][0] == '-'; i += 2) {
		if (!strcmp(argv[i], "--seed"))
			seed = (unsigned)strtoul(argv[i + 1], NULL, 10);
		else if (!strcmp(argv[i], "--picture") || !strcmp(argv[i], "--own")) {
			picture = argv[i + 1];
			ownpicture = !strcmp(argv[i], "--own");
		}
		else if (!strcmp(argv[i], "--fps")) {
			fps = atoi(argv[i + 1]);
			if (fps < 1 || fps > 1000)
				die("not 1 to 1000 frames a second:", argv[i + 1]);
		} else if (!strcmp(argv[i], "--crop")) {
			if (sscanf(argv[i + 1], "%d,%d,%d,%d", &cx, &cy, &cw, &ch) != 4 || cx < 0 || cy < 0 ||
			    cw < 1 || ch < 1 || cx + cw > scrw || cy + ch > scrh)
				die("not X,Y,W,H within the screen:", argv[i + 1]);
		} else if (!strcmp(argv[i], "--size")) {
			if (sscanf(argv[i + 1], "%dx%d", &ow, &oh) != 2 || ow < 1 || oh < 1 || ow > scrw || oh > scrh)
				die("not WxH within the screen's size:", argv[i + 1]);
		} else
			die("unknown option", argv[i]);
	}
	if (i == argc) {
		fprintf(stderr, "usage: mkstill [--seed N] [--picture FILE | --own FILE] [--fps N] [--crop X,Y,W,H] [--size WxH] MS:OUT.png...\n");
		return 2;
	}
	if (!ow) {
		ow = cw;
		oh = ch;
	}
	s = SDL_CreateRGBSurface(SDL_SWSURFACE, scrw, scrh, scrbpp, 0xff0000, 0xff00, 0xff, 0);
	if (!s || !homfire())
		die("no memory for", "the screen");
	if (!(ims[0] = loadim(picture)))
		die("can't load the picture", picture);
	std::vector<std::pair<int32_t, const char *>> stills;
	for (; i < argc; i++) {
		const char *colon = strchr(argv[i], ':');
		if (!colon)
			die("not MS:OUT.png:", argv[i]);
		stills.push_back({ (int32_t)strtol(argv[i], NULL, 10), colon + 1 });
	}
	std::stable_sort(stills.begin(), stills.end(), [](auto &a, auto &b) { return a.first < b.first; });
	std::vector<uint8_t> bgr0((size_t)scrw * scrh * 4), rgb((size_t)scrw * scrh * 3);
	srand(seed);
	int32_t next = 0;
	int64_t k = 0;                    // the capture's schedule: the next frame
	framestate f = framestart(0);
	for (auto &[ms, out] : stills) {
		if (fps) {
			// frame k at k * 1000 / fps ms, as the capture's clock reads (its
			// start is 0): up to the first at or after ms
			int64_t last = std::max<int64_t>(k, ((int64_t)ms * fps + 999) / 1000);
			for (; k <= last; k++)
				frame((uint32_t)(k * 1000 / fps), 0, f);
		} else
			next = still(next, ms, f);
		scrcopy(bgr0.data());
		for (size_t p = 0; p < (size_t)scrw * scrh; p++)
			for (int c = 0; c < 3; c++)
				rgb[p * 3 + c] = bgr0[p * 4 + 2 - c];
		pngwrite(out, ow, oh, boxscale(rgb.data(), scrw, cx, cy, cw, ch, ow, oh).data());
	}
	return 0;
}

#include "capture.h"
#include "picture.h"
#include "plain.h"
#include <algorithm>
#include <cstdlib>
#include <gtest/gtest.h>
#include <random>

TEST(Capture, LastFrameIsTheFirstAtOrAfterTheEnd)
{
	for (int fps : { 1, 7, 24, 25, 30, 60, 144, 999, 1000 }) {
		for (int32_t until : { 0, 1, 16, 17, 40, 999, 1000, 3000, 74999, 75000 }) {
			int64_t k = 0;
			while (captime(k, fps) < until) {
				ASSERT_LE(captime(k, fps), captime(k + 1, fps));
				k++;
			}
			EXPECT_EQ(capframes(fps, until), k + 1) << fps << " fps until " << until;
		}
	}
	EXPECT_EQ(capframes(60, showlen), 4501);
	EXPECT_EQ(captime(4500, 60), showlen);
	EXPECT_EQ(captime(4499, 60), 74983);
	EXPECT_EQ(captime(1, 60), 16);       // the clock reads whole ms
	EXPECT_EQ(captime(2, 60), 33);
	// the capture of the whole show ends on the frame the show ends on
	for (int fps : { 1, 7, 60, 1000 }) {
		int64_t last = capframes(fps, showlen) - 1;
		EXPECT_FALSE(showover(captime(last - 1, fps))) << fps;
		EXPECT_TRUE(showover(captime(last, fps))) << fps;
	}
}

TEST(Capture, CopyReadsColoursWhereTheFormatPutsThem)
{
	std::mt19937 r(11);
	// the usual layout, and red in byte 0
	for (uint32_t rmask : { 0xff0000u, 0xffu }) {
		std::vector<uint32_t> px((size_t)scrw * scrh);
		s = SDL_CreateRGBSurfaceFrom(px.data(), scrw, scrh, 32, scrw * 4, rmask, 0xff00,
		                             rmask == 0xffu ? 0xff0000 : 0xff, 0);
		for (auto &p : px)
			p = r();
		std::vector<uint8_t> out(px.size() * 4, 0xaa);
		scrcopy(out.data());
		for (size_t i = 0; i < px.size(); i++) {
			Uint8 cr, cg, cb;
			SDL_GetRGB(px[i], s->format, &cr, &cg, &cb);
			const uint8_t *d = &out[i * 4]; // blue, green, red, then 0
			ASSERT_EQ(std::vector<uint8_t>(d, d + 4), (std::vector<uint8_t>{ cb, cg, cr, 0 })) << i;
		}
		SDL_FreeSurface(s);
		s = nullptr;
	}
}

TEST(Capture, PlanesScaleByNearestNeighbour)
{
	std::mt19937 r(12);
	const int sw = 37, sh = 23, spitch = 40;
	std::vector<uint8_t> src(spitch * sh);
	for (auto &b : src)
		b = r();
	// a plane scaled up k times, and a half-size plane (chroma of 4:2:0) taking
	// every 2/k-th pixel
	for (int k : { 1, 2, 3 })
		for (int num : { 1, 2 }) {
			int dw = sw * k / num, dh = sh * k / num, dpitch = dw + 5;
			std::vector<uint8_t> dst(dpitch * dh, 0xaa);
			capplane(src.data(), spitch, dst.data(), dpitch, dw, dh, num, k);
			for (int y = 0; y < dh; y++)
				for (int x = 0; x < dpitch; x++) {
					int want = x < dw ? src[(y * num / k) * spitch + x * num / k] : 0xaa;
					ASSERT_EQ(dst[y * dpitch + x], want) << k << " " << num << " " << x << "," << y;
				}
		}
}

// Frames from..to-1 of a video at fps as the capture copies them, their show
// times, and the heat field after the last: made by the capture, or by the
// show's frame loop reading its clock, started at an arbitrary reading, at the
// moments the video shows them.
struct run {
	std::vector<std::vector<uint8_t>> frames;
	std::vector<int32_t> field;
	std::vector<int32_t> times;
};

static run record(bool capture, int fps, int64_t from, int64_t to, unsigned seed)
{
	plainscreen sc;
	plainfield pf;
	plainpicture pic(300, 200, 0);
	std::mt19937 r(5);
	for (int y = 0; y < 200; y++)
		for (int x = 0; x < 300; x++)
			pic.set(x, y, (x / 8 + y / 8) % 3 ? r() & 0xffffff : 0);
	srand(seed);
	run v;
	uint32_t showstart = 987654321;
	framestate f = framestart(capture ? capstart : showstart);
	std::vector<uint8_t> out((size_t)scrw * scrh * 4);
	for (int64_t k = from; k < to; k++) {
		v.times.push_back(capture ? capframe(k, fps, f) : frame(showstart + (uint32_t)(k * 1000 / fps), showstart, f));
		scrcopy(out.data());
		v.frames.push_back(out);
	}
	v.field = pf.cells;
	return v;
}

TEST(Capture, FramesAreTheShowsOwnByteForByte)
{
	bool san = getenv("BRINDLEWOCK_SANITIZE") && *getenv("BRINDLEWOCK_SANITIZE") == '1';
	struct {
		int fps;
		int32_t from, to;               // show time in ms
	} cases[] = {
		{ 60, 0, 500 },                 // from the start: one step every two or three frames
		{ 7, 27500, 30000 },            // the swinging source, frames late enough for catch-up
		{ 60, 32300, san ? 32800 : 33500 }, // the edge line starts under the picture
	};
	for (auto &c : cases) {
		// the first frames at or after from and to; never one before the
		// first, even where capframes is wrong: its clock would read weeks on
		// and the frame run weeks of steps
		int64_t from = std::max<int64_t>(capframes(c.fps, c.from) - 1, 0), to = capframes(c.fps, c.to);
		run want = record(false, c.fps, from, to, 77), got = record(true, c.fps, from, to, 77);
		ASSERT_EQ(got.times, want.times) << c.fps;
		for (size_t i = 0; i < want.frames.size(); i++)
			ASSERT_TRUE(got.frames[i] == want.frames[i]) << c.fps << " fps, frame at " << want.times[i];
		EXPECT_TRUE(got.field == want.field) << c.fps;
		// the fire has started, so the seed has shown in the pictures
		bool hot = std::any_of(want.field.begin(), want.field.end(), [](int32_t v) { return v != 0; });
		EXPECT_TRUE(hot || c.from == 0) << c.fps;
	}
	// another seed burns differently
	run a = record(true, 7, 200, 205, 77), b = record(true, 7, 200, 205, 78);
	EXPECT_FALSE(a.frames.back() == b.frames.back());
}

#include "capture.h"
#include "load.h"
#include "picture.h"
#include "plain.h"
#include <cstdlib>
#include <gtest/gtest.h>
#include <random>
#include <unistd.h>

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
			const uint8_t *d = &out[i * 4];
			ASSERT_EQ(d[0], cb) << i;
			ASSERT_EQ(d[1], cg) << i;
			ASSERT_EQ(d[2], cr) << i;
			ASSERT_EQ(d[3], 0) << i;
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

// Start-up's own picture loading, from a file written for the test.
struct filepicture {
	filepicture(int w, int h)
	{
		char dir[] = "/tmp/capturetestXXXXXX";
		EXPECT_TRUE(mkdtemp(dir));
		std::vector<uint32_t> px;
		SDL_Surface *p = plainsurface(px, w, h);
		std::mt19937 r(5);
		for (int y = 0; y < h; y++)
			for (int x = 0; x < w; x++)
				px[(size_t)y * w + x] = (x / 8 + y / 8) % 3 ? r() & 0xffffff : 0;
		std::string file = std::string(dir) + "/galleri.bmp";
		EXPECT_EQ(SDL_SaveBMP(p, file.c_str()), 0);
		SDL_FreeSurface(p);
		EXPECT_TRUE(ims[0] = loadim(file.c_str()));
		unlink(file.c_str());
		rmdir(dir);
	}
	~filepicture() { SDL_FreeSurface(ims[0]); ims[0] = nullptr; }
};

// The screen's bytes 0 to 2 of every frame (the usual layout: blue, green,
// red), and the heat field after the last.
struct run {
	std::vector<std::vector<uint8_t>> frames;
	std::vector<int32_t> field;
	std::vector<int32_t> times;
};

static std::vector<uint8_t> bytes012(const uint8_t *p)
{
	std::vector<uint8_t> v((size_t)scrw * scrh * 3);
	for (size_t i = 0; i < (size_t)scrw * scrh; i++)
		for (int b = 0; b < 3; b++)
			v[i * 3 + b] = p[i * 4 + b];
	return v;
}

// the capture's frames from..to-1 at fps, seeded
static run capturerun(int fps, int64_t from, int64_t to, unsigned seed)
{
	plainscreen sc;
	plainfield pf;
	filepicture pic(300, 200);
	srand(seed);
	run r;
	framestate f = framestart(capstart);
	std::vector<uint8_t> out((size_t)scrw * scrh * 4);
	for (int64_t k = from; k < to; k++) {
		r.times.push_back(capframe(k, fps, f));
		scrcopy(out.data());
		r.frames.push_back(bytes012(out.data()));
	}
	r.field = pf.cells;
	return r;
}

// the show's frame loop, its clock read at the moments a video of fps frames
// a second shows frames from..to-1, started at an arbitrary clock reading
static run showrun(int fps, int64_t from, int64_t to, unsigned seed)
{
	plainscreen sc;
	plainfield pf;
	filepicture pic(300, 200);
	srand(seed);
	run r;
	uint32_t showstart = 987654321;
	framestate f = framestart(showstart);
	for (int64_t k = from; k < to; k++) {
		uint32_t now = showstart + (uint32_t)(k * 1000 / fps);
		r.times.push_back(frame(now, showstart, f));
		r.frames.push_back(bytes012((const uint8_t *)s->pixels));
	}
	r.field = pf.cells;
	return r;
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
		int64_t from = capframes(c.fps, c.from) - 1, to = capframes(c.fps, c.to);
		run want = showrun(c.fps, from, to, 77);
		run got = capturerun(c.fps, from, to, 77);
		ASSERT_EQ(got.times, want.times) << c.fps;
		for (size_t i = 0; i < want.frames.size(); i++)
			ASSERT_TRUE(got.frames[i] == want.frames[i]) << c.fps << " fps, frame at " << want.times[i];
		EXPECT_TRUE(got.field == want.field) << c.fps;
		// the fire has started, so the seed has shown in the pictures
		if (c.from > 0) {
			bool hot = false;
			for (int32_t v : want.field)
				hot |= v != 0;
			EXPECT_TRUE(hot) << c.fps;
		}
	}
	// another seed burns differently
	run a = capturerun(7, 200, 205, 77), b = capturerun(7, 200, 205, 78);
	EXPECT_FALSE(a.frames.back() == b.frames.back());
}

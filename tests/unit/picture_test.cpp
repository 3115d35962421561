#include "picture.h"
#include "plain.h"
#include <gtest/gtest.h>
#include <algorithm>
#include <array>
#include <set>

// geometry of a w x h picture on the screen at a show time, with the fade applied
struct placed {
	SDL_Rect src, dst;
	int alpha;
};

static placed place(int32_t elapsed, int w, int h)
{
	placed p;
	imgeom(elapsed, w, h, scrw, p.src, p.dst);
	p.alpha = imfade(elapsed, p.dst);
	return p;
}

static std::array<int, 4> rect(const SDL_Rect &r)
{
	return { r.x, r.y, r.w, r.h };
}

TEST(PictureGeometry, FadesInSlidesDownThenIsCutAwayFromTheBottom)
{
	struct {
		int32_t t;
		int h, alpha, above, shown;  // picture height; alpha, rows above the resting place, rows shown
	} cases[] = {
		{ 0, 301, -1, 0, 301 },      // nothing drawn before the fade, the position left as computed
		{ 9999, 301, -1, 0, 301 },
		{ 10000, 301, 0, 8, 301 },   // invisible, the whole slide to go
		{ 18000, 301, 90, 4, 301 },  // 255 * 0.5^1.5 = 90.16
		{ 25999, 301, 254, 1, 301 }, // a sliver of slide left truncates a whole row
		{ 26000, 301, 255, 0, 301 },
		{ 34000, 301, 255, 0, 301 }, // the cut-away starts
		{ 49000, 301, 255, 0, 150 }, // half of it, truncated
		{ 49000, 100, 255, 0, 50 },
		{ 63000, 301, 255, 0, 10 },
		{ 63999, 301, 255, 0, 0 },
		{ 64000, 301, 255, 0, 0 },
		{ 75000, 301, 255, 0, 0 },
	};
	for (auto &c : cases) {
		SDL_Rect src, rest;
		imgeom(c.t, 200, c.h, scrw, src, rest);
		placed p = place(c.t, 200, c.h);
		EXPECT_EQ(p.alpha, c.alpha) << c.t;
		EXPECT_EQ(rect(p.dst), (std::array<int, 4>{ rest.x, rest.y - c.above, 0, 0 })) << c.t;
		EXPECT_EQ(rect(p.src), (std::array<int, 4>{ 0, 0, 200, c.shown })) << c.t << " " << c.h;
	}
	// alpha only grows and stays a byte through the fade; the shown height
	// only shrinks
	int alpha = 0, shown = 400;
	for (int32_t t = 10000; t < 65000; t += 7) {
		placed p = place(t, 200, 400);
		EXPECT_GE(p.alpha, alpha) << t;
		EXPECT_LE(p.alpha, t < 26000 ? 254 : 255) << t;
		EXPECT_LE(p.src.h, shown) << t;
		alpha = p.alpha;
		shown = p.src.h;
	}
}

TEST(PictureGeometry, CirclesAmongFourValuesPerAxis)
{
	// centred by integer division first, then the circle is added and truncated
	struct {
		int w;
		std::set<int> xs;
	} cases[] = {
		{ 200, { 218, 219, 220, 221 } },
		{ 201, { 217, 218, 219, 220 } },          // (640 - 201) / 2 = 219
		{ 1000, { -181, -180, -179, -178 } },     // truncation toward zero
	};
	for (auto &c : cases) {
		std::set<int> xs, ys;
		for (int32_t t = 30000; t < 30000 + 2344; t++) {
			placed p = place(t, c.w, 100);
			xs.insert(p.dst.x);
			ys.insert(p.dst.y);
		}
		EXPECT_EQ(xs, c.xs) << c.w;
		EXPECT_EQ(ys, (std::set<int>{ 18, 19, 20, 21 })) << c.w;
	}
}

static SDL_Rect draw(int32_t t)
{
	SDL_Rect src, dst;
	imgeom(t, ims[0]->w, ims[0]->h, s->w, src, dst);
	imdraw(t, src, dst);
	return dst;
}

TEST(PictureDraw, NothingDrawnBeforeTheFadeAndAfterTheCut)
{
	plainscreen sc;
	plainpicture pic(200, 100, 0xc82a0a);
	for (int32_t t : { 0, 9999, 64000, 70000, 30000 }) {
		std::fill(sc.px.begin(), sc.px.end(), 0x123456);
		SDL_Rect d = draw(t);
		int drawn = t == 30000 ? 200 * 100 : 0; // all of it, on the screen, in between
		EXPECT_EQ(d.w * d.h, drawn) << t;
		EXPECT_EQ(std::count(sc.px.begin(), sc.px.end(), 0x123456u), (int)sc.px.size() - drawn) << t;
	}
}

TEST(PictureDraw, BlackIsTransparentNearBlackIsNotAndTheFadeBlends)
{
	plainscreen sc;
	plainpicture pic(200, 100, 0xc82a0a);
	pic.set(50, 50, 0x000000);
	pic.set(51, 50, 0x010000);
	pic.set(52, 50, 0x000001);
	std::fill(sc.px.begin(), sc.px.end(), 0xab123456);
	SDL_Rect d = draw(27000);
	auto at = [&](int x, int y) { return sc.px[(size_t)(d.y + y) * scrw + d.x + x]; };
	EXPECT_EQ(at(50, 50), 0xab123456u);
	EXPECT_EQ(at(51, 50) & 0xffffff, 0x010000u);
	EXPECT_EQ(at(52, 50) & 0xffffff, 0x000001u);
	// fully opaque: every other drawn pixel is the picture's
	for (int y = 0; y < 100; y++)
		for (int x = 0; x < 200; x++)
			if (y != 50 || x < 50 || x > 52) {
				ASSERT_EQ(at(x, y) & 0xffffff, 0xc82a0au) << x << "," << y;
			}
	// fading in: at alpha 0 the background shows through; at 90 of 255 the two blend
	std::fill(sc.px.begin(), sc.px.end(), 0x000040);
	d = draw(10000);
	EXPECT_EQ(at(10, 10) & 0xffffff, 0x000040u);
	std::fill(sc.px.begin(), sc.px.end(), 0x000040);
	d = draw(18000);
	EXPECT_NEAR((int)(at(10, 10) >> 16 & 0xff), 200 * 90 / 255, 2);
	EXPECT_NEAR((int)(at(10, 10) & 0xff), 0x40 + (10 - 0x40) * 90 / 255, 2);
}

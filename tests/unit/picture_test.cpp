#include "picture.h"
#include "plain.h"
#include <gtest/gtest.h>
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

TEST(PictureGeometry, FadeInAndSlide)
{
	// before the fade nothing is drawn and the position is left as computed
	for (int32_t t : { 0, 5000, 9999 }) {
		SDL_Rect src, dst;
		imgeom(t, 200, 100, scrw, src, dst);
		SDL_Rect before = dst;
		EXPECT_EQ(imfade(t, dst), -1) << t;
		EXPECT_EQ(dst.x, before.x);
		EXPECT_EQ(dst.y, before.y);
		EXPECT_EQ(dst.w, 0);
		EXPECT_EQ(dst.h, 0);
	}
	struct {
		int32_t t;
		int alpha, above;       // alpha, and rows above the resting place
	} cases[] = {
		{ 10000, 0, 8 },        // invisible, the whole slide to go
		{ 18000, 90, 4 },       // 255 * 0.5^1.5 = 90.16
		{ 25999, 254, 1 },      // a sliver of slide left truncates a whole row
		{ 26000, 255, 0 },
		{ 40000, 255, 0 },
	};
	for (auto &c : cases) {
		SDL_Rect src, rest;
		imgeom(c.t, 200, 100, scrw, src, rest);
		placed p = place(c.t, 200, 100);
		EXPECT_EQ(p.alpha, c.alpha) << c.t;
		EXPECT_EQ(p.dst.y, rest.y - c.above) << c.t;
		EXPECT_EQ(p.dst.x, rest.x) << c.t;
	}
	// alpha never decreases and stays a byte through the fade
	int last = 0;
	for (int32_t t = 10000; t < 26000; t += 7) {
		int a = place(t, 200, 100).alpha;
		EXPECT_GE(a, last) << t;
		EXPECT_LE(a, 254) << t;
		last = a;
	}
}

TEST(PictureGeometry, CutAwayFromTheBottom)
{
	struct {
		int32_t t;
		int h, shown;
	} cases[] = {
		{ 0, 301, 301 }, { 34000, 301, 301 }, { 49000, 301, 150 }, { 49000, 100, 50 },
		{ 63999, 301, 0 }, { 64000, 301, 0 }, { 75000, 301, 0 }, { 63000, 301, 10 },
	};
	for (auto &c : cases) {
		placed p = place(c.t, 200, c.h);
		EXPECT_EQ(p.src.h, c.shown) << c.t << " " << c.h;
		EXPECT_EQ(p.src.x, 0);
		EXPECT_EQ(p.src.y, 0);
		EXPECT_EQ(p.src.w, 200);
	}
	// the shown height only ever shrinks
	int last = 400;
	for (int32_t t = 33000; t < 65000; t += 13) {
		int h = place(t, 200, 400).src.h;
		EXPECT_LE(h, last) << t;
		last = h;
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
	for (int32_t t : { 0, 9999, 64000, 70000 }) {
		std::fill(sc.px.begin(), sc.px.end(), 0x123456);
		SDL_Rect d = draw(t);
		EXPECT_EQ(d.w, 0) << t;
		EXPECT_EQ(d.h, 0) << t;
		for (uint32_t p : sc.px)
			ASSERT_EQ(p, 0x123456u) << t;
	}
	SDL_Rect d = draw(30000);
	EXPECT_EQ(d.w, 200);
	EXPECT_EQ(d.h, 100);
}

TEST(PictureDraw, ClippedToTheScreen)
{
	plainscreen sc;
	{
		plainpicture tall(200, 470, 0xc82a0a);
		for (int32_t t : { 26000, 26500, 27000, 28000 }) {
			SDL_Rect d = draw(t);
			EXPECT_EQ(d.y + d.h, scrh) << t;
			EXPECT_EQ(d.w, 200);
		}
	}
	{
		plainpicture wide(700, 50, 0xc82a0a);
		SDL_Rect src, dst;
		imgeom(30000, 700, 50, scrw, src, dst);
		EXPECT_LT(dst.x, 0);
		SDL_Rect d = draw(30000);
		EXPECT_EQ(d.x, 0);
		EXPECT_EQ(d.w, scrw);
		EXPECT_EQ(d.h, 50);
		EXPECT_EQ(sc.px[(size_t)(d.y + 10) * scrw + 639] & 0xffffff, 0xc82a0au);
	}
}

TEST(PictureDraw, BlackIsTransparentNearBlackIsNot)
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
	// fully opaque: every drawn pixel is the picture's
	for (int y = 0; y < 100; y++)
		for (int x = 0; x < 200; x++)
			if (y != 50 || x < 50 || x > 52) {
				ASSERT_EQ(at(x, y) & 0xffffff, 0xc82a0au) << x << "," << y;
			}
}

TEST(PictureDraw, FadingPictureBlendsWithTheBackground)
{
	plainscreen sc;
	plainpicture pic(200, 100, 0xc82a0a);
	std::fill(sc.px.begin(), sc.px.end(), 0x000040);
	SDL_Rect d = draw(10000);        // alpha 0: the background shows through
	EXPECT_EQ(sc.px[(size_t)(d.y + 10) * scrw + d.x + 10] & 0xffffff, 0x000040u);
	std::fill(sc.px.begin(), sc.px.end(), 0x000040);
	d = draw(18000);                 // alpha 90 of 255
	uint32_t p = sc.px[(size_t)(d.y + 10) * scrw + d.x + 10];
	EXPECT_NEAR((int)(p >> 16 & 0xff), 200 * 90 / 255, 2);
	EXPECT_NEAR((int)(p & 0xff), 0x40 + (10 - 0x40) * 90 / 255, 2);
}

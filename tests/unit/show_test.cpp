// The frame as the show runs it: the stages in order, the fixed steps with
// their catch-up, and the fire sources under the picture.
#include "background.h"
#include "fire.h"
#include "plain.h"
#include <gtest/gtest.h>
#include <algorithm>
#include <cstdlib>

// at the show's start one step is due; 17 ms later none, 400 ms after that ten
TEST(Frame, OverlayShowsThePreviousStepsThenTheDueStepsRun)
{
	plainscreen sc;
	plainfield f;
	plainpicture pic(200, 100, 0xc82a0a);
	for (int x = 100; x < 500; x++)
		f.at(x, 300) = 90000;
	uint32_t showstart = 5000;
	framestate st{ showstart, {}, {} };
	for (auto [t, steps] : std::vector<std::pair<int32_t, int>>{ { 0, 1 }, { 17, 0 }, { 417, 10 } }) {
		std::vector<int32_t> before = f.cells;
		EXPECT_EQ(frame(showstart + t, showstart, st), t);
		std::vector<uint32_t> screen = sc.px;
		std::vector<int32_t> field = f.cells;
		// the stages by hand, from the field the frame began with
		std::copy(before.begin(), before.end(), f.cells.begin());
		bkge(bkphase(t));
		firegk();
		for (int i = 0; i < steps; i++)
			firekl();
		EXPECT_EQ(sc.px, screen) << t;
		EXPECT_EQ(f.cells, field) << t;
	}
}

static const SDL_Rect under = { 220, 20, 200, 100 };   // a drawn picture; its bottom row is 119

// the cells that firels seeds at a show time, and whether it drew random numbers
static std::vector<int> seeded(int32_t t, SDL_Rect d = under)
{
	plainfield f;
	std::fill(f.cells.begin(), f.cells.end(), 0x7fffffff);
	srand(11);
	firels(t, d);
	std::vector<int> v;
	for (size_t i = 0; i < f.cells.size(); i++)
		if (f.cells[i] != 0x7fffffff)
			v.push_back(i);
	int next = rand();
	srand(11);
	for (size_t i = 0; i < v.size(); i++)
		rand();
	EXPECT_EQ(next, rand()) << "one random number per seeded cell at " << t;
	return v;
}

static std::vector<int> block(int x0, int w, int y0, int h)
{
	std::vector<int> v;
	for (int y = y0; y < y0 + h; y++)
		for (int x = x0; x < x0 + w; x++)
			v.push_back(y * scrw + x);
	return v;
}

TEST(Sources, SwingingBlockThenEdgeLineUnderThePicture)
{
	struct {
		int32_t t;
		std::vector<int> cells;
		SDL_Rect at = under;
	} cases[] = {
		{ 27999, {} },
		{ 28500, block(370, 10, 120, 2) },      // the swing's two ends
		{ 29500, block(270, 10, 120, 2) },
		{ 31200, {} },
		{ 32499, {} },
		{ 32500, block(220, 200, 120, 1) },     // the line as wide as the picture
		{ 64299, block(220, 200, 120, 1) },
		{ 64300, {} },
		{ 64000, {}, SDL_Rect{ 220, 20, 0, 0 } }, // nothing drawn: the line has no width
		// a rectangle that a runtime left unclipped: only the cells of the
		// field's own rows and columns, never the ends of the rows beside
		{ 40000, block(0, 25, 20, 1), SDL_Rect{ -5, 20, 30, 0 } },
		{ 40000, block(630, 10, 20, 1), SDL_Rect{ 630, 20, 20, 0 } },
		{ 40000, block(0, scrw, 0, 1), SDL_Rect{ -700, -3, 2000, 3 } },
		{ 40000, {}, SDL_Rect{ 100, scrh + firebelow, 50, 0 } },
		{ 28500, block(370, 10, scrh + firebelow - 1, 1), SDL_Rect{ 0, scrh, 0, firebelow - 1 } },
	};
	for (auto &c : cases)
		EXPECT_EQ(seeded(c.t, c.at), c.cells) << c.t;
	// in between, the block swings between its two ends
	for (int32_t t : { 28000, 28001, 30000, 31199 }) {
		std::vector<int> v = seeded(t);
		ASSERT_EQ(v.size(), 20u) << t;
		EXPECT_EQ(v, block(v[0] % scrw, 10, 120, 2)) << t;
		EXPECT_GE(v[0] % scrw, 270);
		EXPECT_LE(v[0] % scrw, 370);
	}
}

TEST(Sources, EveryStepOfALateFrameSeedsAfresh)
{
	plainscreen sc;
	plainfield f;
	plainpicture pic(200, 100, 0xc82a0a);
	uint32_t showstart = 1000;
	framestate st{ showstart + 28420, {}, {} };   // steps up to 28380 ran
	srand(7);
	frame(showstart + 28500, showstart, st);    // three steps due
	EXPECT_EQ(st.imdst.w, 200);
	int b = st.imdst.y + st.imdst.h;
	std::vector<int32_t> got = f.cells;
	std::fill(f.cells.begin(), f.cells.end(), 0);
	srand(7);
	for (int i = 0; i < 3; i++) {
		firekl();
		firegf(370, 10, b, 2);
	}
	EXPECT_EQ(f.cells, got);
}

TEST(Sources, NeverOutsideTheFieldWhateverThePicture)
{
	const int sizes[][2] = { { 1, 1 }, { 640, 480 }, { 640, 470 }, { 200, 460 }, { 2000, 2000 },
				 { 1, 3000 }, { 3000, 1 }, { 700, 50 } };
	for (auto &sz : sizes) {
		plainscreen sc;
		plainpicture pic(sz[0], sz[1], 0x808080);
		plainfield f(scrw, scrh, 8 * scrw); // with a guard band after it, which must stay untouched
		std::vector<int32_t> &cells = f.cells;
		uint32_t showstart = 0;
		framestate st{ 27000, {}, {} };
		int lowest = 0;
		for (uint32_t now = 27000; now < 66000; now += 97) {
			frame(now, showstart, st);
			// the picture clipped to the screen's sides and no further (one as
			// wide as the screen crosses either side as it circles); where
			// nothing was drawn, SDL 1.2 leaves x at 0 and the SDL-2-based
			// runtime from 1.2.68 on leaves it where it was asked for
			if (st.imdst.w && st.imdst.h) {
				EXPECT_GE(st.imdst.x, 0);
			}
			EXPECT_LE(st.imdst.x + st.imdst.w, scrw);
			if (st.imdst.h && sz[0] != scrw) {
				EXPECT_EQ(st.imdst.w, std::min(sz[0], scrw)) << sz[0] << "x" << sz[1] << " at " << now;
			}
			lowest = std::max(lowest, st.imdst.y + st.imdst.h);
		}
		EXPECT_LE(lowest, scrh) << sz[0] << "x" << sz[1];
		for (size_t i = (size_t)scrw * (scrh + firebelow); i < cells.size(); i++)
			ASSERT_EQ(cells[i], 0) << sz[0] << "x" << sz[1];
		if (sz[1] >= 460 && sz[0] <= 640) {
			// reaching the bottom, the sources seed the rows below the screen
			EXPECT_EQ(lowest, scrh) << sz[0] << "x" << sz[1];
			for (int y : { scrh, scrh + 1 }) {
				auto row = cells.begin() + scrw * y;
				EXPECT_TRUE(std::any_of(row, row + scrw, [](int32_t c) { return c != 0; })) << sz[0] << "x" << sz[1] << " row " << y;
			}
		}
	}
}

// a whole show up to a show time, the frames at uneven times
static std::vector<uint32_t> showto(int32_t end, unsigned seed, uint32_t showstart)
{
	plainscreen sc;
	plainfield f;
	plainpicture pic(300, 200, 0xc82a0a);
	srand(seed);
	uint32_t gap = 1;
	framestate st = framestart(showstart);
	for (uint32_t now = showstart; (int32_t)(now - showstart) < end; now += gap) {
		frame(now, showstart, st);
		gap = 15 + (gap * 7919 + 13) % 90;
	}
	frame(showstart + end, showstart, st);
	return sc.px;
}

TEST(WholeShow, SameSeedAndClockSameScreen)
{
	std::vector<uint32_t> a = showto(45000, 42, 1000);
	EXPECT_EQ(a, showto(45000, 42, 1000));
	EXPECT_EQ(a, showto(45000, 42, 77777));
	EXPECT_NE(a, showto(45000, 43, 1000));
	// flames in the rows under the shrinking picture
	int flames = 0;
	for (int y = 100; y < 160; y++)
		for (int x = 170; x < 470; x++)
			flames += (a[y * scrw + x] >> 16 & 0xff) == 240;
	EXPECT_GT(flames, 500);
}

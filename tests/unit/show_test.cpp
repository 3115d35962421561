// The frame as the show runs it: the stages in order, the fixed steps with
// their catch-up, and the fire sources under the picture.
#include "background.h"
#include "fire.h"
#include "plain.h"
#include <gtest/gtest.h>
#include <cstdlib>
#include <functional>

// runs fn on a copy of the field and returns the copy
static std::vector<int32_t> oncopy(const std::vector<int32_t> &cells, const std::function<void()> &fn)
{
	std::vector<int32_t> c = cells;
	int32_t *keep = firekg;
	firekg = c.data();
	fn();
	firekg = keep;
	return c;
}

// the screen the overlay makes of a field over the frame's background
static std::vector<uint32_t> painted(std::vector<uint32_t> screen, std::vector<int32_t> cells)
{
	SDL_Surface *keeps = s;
	int32_t *keepf = firekg;
	s = plainsurface(screen, scrw, scrh);
	firekg = cells.data();
	firegk();
	SDL_FreeSurface(s);
	s = keeps;
	firekg = keepf;
	return screen;
}

TEST(Frame, OverlayShowsThePreviousStepsThenTheDueStepsRun)
{
	plainscreen sc;
	plainfield f;
	plainpicture pic(200, 100, 0xc82a0a);
	for (int x = 100; x < 500; x++)
		f.at(x, 300) = 90000;
	uint32_t showstart = 5000;
	framestate st{ showstart, {}, {} };

	std::vector<int32_t> f0 = f.cells;
	EXPECT_EQ(frame(showstart, showstart, st), 0);
	std::vector<uint32_t> bk = sc.px;
	bkge(0);
	EXPECT_EQ(painted(sc.px, f0), bk);
	EXPECT_EQ(f.cells, oncopy(f0, [] { firekl(); }));

	// 17 ms later no step is due; 400 ms after that, ten are
	std::vector<int32_t> f1 = f.cells;
	frame(showstart + 17, showstart, st);
	EXPECT_EQ(f.cells, f1);
	EXPECT_EQ(frame(showstart + 417, showstart, st), 417);
	bk = sc.px;
	bkge(bkphase(417));
	EXPECT_EQ(painted(sc.px, f1), bk);
	EXPECT_EQ(f.cells, oncopy(f1, [] { for (int i = 0; i < 10; i++) firekl(); }));
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

TEST(Sources, SwingingBlockUnderThePicture)
{
	EXPECT_TRUE(seeded(27999).empty());
	EXPECT_TRUE(seeded(31200).empty());
	for (int32_t t : { 28000, 28001, 30000, 31199 }) {
		std::vector<int> v = seeded(t);
		ASSERT_EQ(v.size(), 20u) << t;
		EXPECT_EQ(v, block(v[0] % scrw, 10, 120, 2)) << t;
		EXPECT_GE(v[0] % scrw, 270);
		EXPECT_LE(v[0] % scrw, 370);
	}
	EXPECT_EQ(seeded(28500), block(370, 10, 120, 2));
	EXPECT_EQ(seeded(29500), block(270, 10, 120, 2));
}

TEST(Sources, EdgeLineAlongThePicturesBottom)
{
	EXPECT_TRUE(seeded(32499).empty());
	EXPECT_TRUE(seeded(64300).empty());
	EXPECT_EQ(seeded(32500), block(220, 200, 120, 1));
	EXPECT_EQ(seeded(64299), block(220, 200, 120, 1));
	// once nothing is drawn the line has no width
	EXPECT_TRUE(seeded(64000, SDL_Rect{ 220, 20, 0, 0 }).empty());
}

TEST(Sources, EveryStepOfALateFrameSeedsAfresh)
{
	plainscreen sc;
	plainfield f;
	plainpicture pic(200, 100, 0xc82a0a);
	uint32_t showstart = 1000;
	framestate st{ showstart + 28420, {}, {} };   // steps up to 28380 ran
	std::vector<int32_t> f0 = f.cells;
	srand(7);
	frame(showstart + 28500, showstart, st);    // three steps due
	EXPECT_EQ(st.imdst.w, 200);
	int b = st.imdst.y + st.imdst.h;
	srand(7);
	std::vector<int32_t> want = oncopy(f0, [&] {
		for (int i = 0; i < 3; i++) {
			firekl();
			firegf(370, 10, b, 2);
		}
	});
	EXPECT_EQ(f.cells, want);
	// the block holds the third step's numbers, not the first's
	srand(7);
	int32_t first = (rand() & 0x1ffff) - 0xe000;
	EXPECT_NE(f.at(370, b), first);
}

TEST(Sources, NeverOutsideTheFieldWhateverThePicture)
{
	const int sizes[][2] = { { 1, 1 }, { 640, 480 }, { 640, 470 }, { 200, 460 }, { 2000, 2000 },
				 { 1, 3000 }, { 3000, 1 }, { 700, 50 } };
	for (auto &sz : sizes) {
		plainscreen sc;
		plainpicture pic(sz[0], sz[1], 0x808080);
		// a field with a guard band after it, which must stay untouched
		std::vector<int32_t> cells((size_t)scrw * (scrh + firebelow + 8), 0);
		firew = scrw;
		fireh = scrh + firebelow;
		firekg = cells.data();
		uint32_t showstart = 0;
		framestate st{ 27000, {}, {} };
		int lowest = 0;
		for (uint32_t now = 27000; now < 66000; now += 97) {
			frame(now, showstart, st);
			EXPECT_GE(st.imdst.x, 0);
			EXPECT_LE(st.imdst.x + st.imdst.w, scrw);
			lowest = std::max(lowest, st.imdst.y + st.imdst.h);
		}
		EXPECT_LE(lowest, scrh) << sz[0] << "x" << sz[1];
		for (size_t i = (size_t)scrw * (scrh + firebelow); i < cells.size(); i++)
			ASSERT_EQ(cells[i], 0) << sz[0] << "x" << sz[1];
		if (sz[1] >= 460 && sz[0] <= 640) {
			EXPECT_EQ(lowest, scrh) << "reaches the bottom: rows 480 and 481 are seeded";
		}
		firekg = nullptr;
	}
}

TEST(Sources, PictureReachingTheBottomSeedsBelowTheScreen)
{
	plainscreen sc;
	plainfield f;
	plainpicture pic(640, 470, 0x808080);
	uint32_t showstart = 0;
	framestate st{ 28500, {}, {} };
	frame(28500, showstart, st);
	EXPECT_EQ(st.imdst.y + st.imdst.h, 480);
	for (size_t i = 0; i < f.cells.size(); i++)
		if (f.cells[i]) {
			ASSERT_GE(i / scrw, 480u);
			ASSERT_LE(i / scrw, 481u);
		}
	EXPECT_NE(f.at(375, 480), 0);
	EXPECT_NE(f.at(375, 481), 0);
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

#include "fire.h"
#include "plain.h"
#include <gtest/gtest.h>
#include <cstdlib>

// the cells that differ from zero, as (index, value)
static std::vector<std::pair<int, int32_t>> hot(const plainfield &f)
{
	std::vector<std::pair<int, int32_t>> v;
	for (size_t i = 0; i < f.cells.size(); i++)
		if (f.cells[i])
			v.push_back({ (int)i, f.cells[i] });
	return v;
}

static int cell(int x, int y) { return y * scrw + x; }

TEST(Propagation, ColdFieldStaysCold)
{
	plainfield f;
	for (int i = 0; i < 50; i++)
		firekl();
	EXPECT_TRUE(hot(f).empty());
}

TEST(Propagation, OneHotCellRisesAndSpreads)
{
	plainfield f;
	f.at(100, 300) = 3200;
	firekl();
	std::vector<std::pair<int, int32_t>> want = {
		{ cell(100, 297), 300 }, { cell(101, 298), 1000 },
		{ cell(100, 299), 800 }, { cell(99, 300), 1000 },
	};
	EXPECT_EQ(hot(f), want);
}

TEST(Propagation, NegativeHeatFloors)
{
	{
		plainfield f;
		f.at(100, 300) = -1;
		firekl();
		std::vector<std::pair<int, int32_t>> want = {
			{ cell(100, 297), -1 }, { cell(101, 298), -1 },
			{ cell(100, 299), -1 }, { cell(99, 300), -1 },
		};
		EXPECT_EQ(hot(f), want);
	}
	{
		plainfield f;
		f.at(100, 300) = 1;
		firekl();
		EXPECT_TRUE(hot(f).empty());
	}
	{
		plainfield f;
		std::fill(f.cells.begin(), f.cells.end(), -1);
		for (int i = 0; i < 5; i++)
			firekl();
		for (int32_t c : f.cells)
			ASSERT_EQ(c, -1);
	}
}

TEST(Propagation, EdgesOfTheSweep)
{
	plainfield f;
	// heat all around cell 0, which is never written
	for (int i = 1; i < 4 * scrw; i++)
		f.cells[i] = 5000;
	// the rows below the sweep keep what was put there
	for (int y = 481; y < fireh; y++)
		for (int x = 0; x < firew; x++)
			f.at(x, y) = 1000 + x + y;
	firekl();
	firekl();
	EXPECT_EQ(f.cells[0], 0);
	EXPECT_NE(f.at(0, 481), 1000 + 481);     // the last cell written
	for (int y = 481; y < fireh; y++)
		for (int x = y == 481 ? 1 : 0; x < firew; x++)
			ASSERT_EQ(f.at(x, y), 1000 + x + y) << x << "," << y;
	// and the heat rising from them reaches the screen
	EXPECT_GT(f.at(320, 479), 600);
}

TEST(Seeding, EmptyRectanglesDrawNothing)
{
	plainfield f;
	for (auto [w, h] : { std::pair{ 0, 5 }, { 5, 0 }, { -3, 5 }, { 5, -1 }, { 0, 0 } }) {
		srand(99);
		firegf(10, w, 10, h);
		int next = rand();
		srand(99);
		EXPECT_EQ(next, rand()) << w << "x" << h;
		EXPECT_TRUE(hot(f).empty());
	}
}

TEST(Seeding, OneRandomNumberPerCellRowByRow)
{
	plainfield f;
	srand(1234);
	firegf(37, 13, 200, 4);
	srand(1234);
	int32_t lo = 0, hi = 0;
	for (int y = 200; y < 204; y++)
		for (int x = 37; x < 50; x++) {
			int32_t want = (rand() & 0x1ffff) - 0xe000;
			ASSERT_EQ(f.at(x, y), want) << x << "," << y;
		}
	for (size_t i = 0; i < f.cells.size(); i++) {
		int x = i % scrw, y = i / scrw;
		if (x < 37 || x >= 50 || y < 200 || y >= 204) {
			ASSERT_EQ(f.cells[i], 0) << x << "," << y;
		}
	}
	// the range over many cells: both ends reached, never passed
	firegf(0, scrw, 0, 400);
	lo = hi = f.cells[0];
	for (int i = 0; i < scrw * 400; i++) {
		lo = std::min(lo, f.cells[i]);
		hi = std::max(hi, f.cells[i]);
	}
	EXPECT_EQ(lo, -57344);
	EXPECT_EQ(hi, 73727);
}

TEST(Overlay, HeatToColour)
{
	plainscreen sc;
	plainfield f;
	struct {
		int32_t heat;
		uint8_t b0;
		uint8_t b[3];
	} cases[] = {
		{ 601, 0, { 0, 118, 240 } },   { 601, 127, { 127, 118, 240 } },
		{ 8793, 0, { 0, 118, 240 } },  { 4991, 0, { 0, 255, 240 } },
		{ 4992, 0, { 0, 0, 240 } },    { 73727, 127, { 127, 99, 240 } },
		{ 600, 0, { 0, 88, 112 } },    { 600, 127, { 127, 88, 112 } },
		{ 501, 0, { 0, 245, 146 } },   { 500, 0, { 0, 0x34, 0x56 } },
		{ 0, 127, { 127, 0x34, 0x56 } }, { -6, 0, { 0, 0x34, 0x56 } },
		{ -7, 0, { 30, 60, 45 } },     { -7, 127, { 93, 91, 76 } },
		{ -57344, 255, { 157, 123, 108 } },
	};
	int n = sizeof cases / sizeof *cases;
	for (int i = 0; i < n; i++) {
		f.cells[i * 3 + 1] = cases[i].heat;
		// byte 0 sits in the low byte of the little-endian word
		sc.px[i * 3 + 1] = 0xa5000000 | 0x56 << 16 | 0x34 << 8 | cases[i].b0;
	}
	std::vector<uint32_t> before = sc.px;
	firegk();
	for (int i = 0; i < n; i++) {
		uint8_t *p = (uint8_t *)&sc.px[i * 3 + 1];
		EXPECT_EQ(p[0], cases[i].b[0]) << cases[i].heat << " over " << (int)cases[i].b0;
		EXPECT_EQ(p[1], cases[i].b[1]) << cases[i].heat << " over " << (int)cases[i].b0;
		EXPECT_EQ(p[2], cases[i].b[2]) << cases[i].heat << " over " << (int)cases[i].b0;
		EXPECT_EQ(p[3], 0xa5);
	}
	for (size_t i = 0; i < before.size(); i++)
		if (i % 3 != 1 || (int)i > 3 * n) {
			ASSERT_EQ(sc.px[i], before[i]) << i;
		}
}

TEST(Overlay, ColdFieldLeavesTheScreenAlone)
{
	plainscreen sc;
	plainfield f;
	for (size_t i = 0; i < sc.px.size(); i++)
		sc.px[i] = (uint32_t)(i * 2654435761u);
	// the rows below the screen are not shown
	for (int y = scrh; y < fireh; y++)
		for (int x = 0; x < scrw; x++)
			f.at(x, y) = 5000;
	std::vector<uint32_t> before = sc.px;
	firegk();
	EXPECT_EQ(sc.px, before);
}

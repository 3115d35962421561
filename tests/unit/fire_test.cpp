// The fire's worked examples. Propagation and the overlay are proved against
// the plain versions of reference.h, on every path and size, in fast_test.cpp.
#include "fire.h"
#include "plain.h"
#include <gtest/gtest.h>
#include <array>
#include <cstdlib>

// the cells that differ from zero, as (x, y, value)
static std::vector<std::array<int32_t, 3>> hot(const plainfield &f)
{
	std::vector<std::array<int32_t, 3>> v;
	for (size_t i = 0; i < f.cells.size(); i++)
		if (f.cells[i])
			v.push_back({ (int32_t)(i % firew), (int32_t)(i / firew), f.cells[i] });
	return v;
}

TEST(Propagation, LoneCellRisesSpreadsAndNegativeHeatFloors)
{
	struct {
		int32_t heat;
		std::vector<std::array<int32_t, 3>> after; // in field order
	} cases[] = {
		{ 3200, { { 100, 297, 300 }, { 101, 298, 1000 }, { 100, 299, 800 }, { 99, 300, 1000 } } },
		{ -1, { { 100, 297, -1 }, { 101, 298, -1 }, { 100, 299, -1 }, { 99, 300, -1 } } },
		{ 1, {} },
	};
	for (auto &c : cases) {
		plainfield f;
		f.at(100, 300) = c.heat;
		firekl();
		EXPECT_EQ(hot(f), c.after) << c.heat;
	}
}

TEST(Seeding, OneRandomNumberPerCellRowByRowAndNoneForAnEmptyRectangle)
{
	const int rects[][4] = { { 37, 13, 200, 4 }, { 0, scrw, scrh + firebelow - 1, 1 }, { 0, 0, 10, 5 }, { 10, 5, 10, 0 },
				 { 10, -3, 10, 5 }, { 10, 5, 10, -1 } };
	for (auto &q : rects) {
		plainfield f;
		srand(1234);
		firegf(q[0], q[1], q[2], q[3]);
		int next = rand();
		srand(1234);
		for (size_t i = 0; i < f.cells.size(); i++) {
			int x = i % firew, y = i / firew;
			bool in = x >= q[0] && x < q[0] + q[1] && y >= q[2] && y < q[2] + q[3];
			ASSERT_EQ(f.cells[i], in ? (rand() & firemask) - firebias : 0) << x << "," << y;
		}
		EXPECT_EQ(rand(), next) << "one number per cell of " << q[1] << "x" << q[3];
	}
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
		{ 4992, 0, { 0, 0, 240 } },    { 600, 0, { 0, 88, 112 } },
		{ 501, 0, { 0, 245, 146 } },   { 500, 0, { 0, 0x34, 0x56 } },
		{ -6, 0, { 0, 0x34, 0x56 } },  { -7, 0, { 30, 60, 45 } },
		{ -7, 127, { 93, 91, 76 } },
	};
	int n = sizeof cases / sizeof *cases;
	for (int i = 0; i < n; i++) {
		f.cells[i] = cases[i].heat;
		// byte 0 sits in the low byte of the little-endian word
		sc.px[i] = 0xa5000000 | 0x56 << 16 | 0x34 << 8 | cases[i].b0;
	}
	firegk();
	for (int i = 0; i < n; i++) {
		auto &c = cases[i];
		EXPECT_EQ(sc.px[i], 0xa5000000 | c.b[2] << 16 | c.b[1] << 8 | c.b[0]) << c.heat << " over " << (int)c.b0;
	}
}

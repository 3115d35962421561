#include "background.h"
#include "plain.h"
#include <gtest/gtest.h>
#include <random>

// the pattern's value, computed in 64 bits and reduced modulo 2^32
static uint8_t expected(int64_t x, int64_t y, int64_t phase)
{
	int64_t u = x * (phase + 52000 * x) + 25000 * y;
	uint64_t m = (uint64_t)(((u % 4294967296LL) + 4294967296LL) % 4294967296LL);
	return (m >> 17) & 0x7f;
}

TEST(Background, ExactBytesAtPhaseZero)
{
	plainscreen sc;
	bkge(0);
	for (int y : { 0, 1, 6 }) {
		uint8_t want0 = y == 6 ? 1 : 0;
		EXPECT_EQ(sc.byte(0, y)[0], want0) << y;
		EXPECT_EQ(sc.byte(0, y)[1], 0) << y;
		EXPECT_EQ(sc.byte(0, y)[2], 0) << y;
	}
}

TEST(Background, KeepsByteThreeOfEveryPixel)
{
	plainscreen sc;
	std::mt19937 r(7);
	for (auto &p : sc.px)
		p = r();
	std::vector<uint32_t> before = sc.px;
	bkge(123457);
	for (size_t i = 0; i < before.size(); i++)
		ASSERT_EQ(sc.px[i] >> 24, before[i] >> 24) << i;
}

TEST(Background, WrapsModulo32BitsLikeTheFormula)
{
	plainscreen sc;
	const int32_t phases[] = { 0, 59998, 60000, 160000, 3560000, INT32_MAX, INT32_MIN, -1 };
	const int at[][2] = { { 639, 479 }, { 600, 100 }, { 512, 0 }, { 333, 250 }, { 1, 479 }, { 638, 1 } };
	for (int32_t ph : phases) {
		bkge(ph);
		for (auto &xy : at) {
			uint8_t v = expected(xy[0], xy[1], ph);
			uint8_t *b = sc.byte(xy[0], xy[1]);
			EXPECT_EQ(b[0], v) << ph << " " << xy[0] << "," << xy[1];
			EXPECT_EQ(b[1], v >> 1);
			EXPECT_EQ(b[2], v >> 2);
		}
	}
}

TEST(Background, PhaseFromShowTime)
{
	EXPECT_EQ(bkphase(0), 0);
	EXPECT_EQ(bkphase(1), 1);
	EXPECT_EQ(bkphase(39999), 59998);
	EXPECT_EQ(bkphase(40000), 60000);
	EXPECT_EQ(bkphase(41000), 160000);
	EXPECT_EQ(bkphase(75000), 3560000);
	// a frame hours late wraps like the pattern's arithmetic instead of overflowing
	EXPECT_EQ((uint32_t)bkphase(INT32_MAX), 100u * (uint32_t)(INT32_MAX - 40000) + 60000u);
}

// The background's phase over the show. Its pattern is proved against the
// plain version of reference.h, on every vector path, in fast_test.cpp.
#include "background.h"
#include <gtest/gtest.h>

TEST(Background, PhaseMeetsAtFortySecondsAndWrapsWhenHoursLate)
{
	struct {
		int32_t t;
		uint32_t phase;
	} cases[] = {
		{ 0, 0 }, { 1, 1 }, { 39999, 59998 },   // slow: 1.5 a ms, truncated
		{ 40000, 60000 }, { 41000, 160000 },    // where both rules meet, then racing
		{ 75000, 3560000 },
		// a frame hours late wraps like the pattern's arithmetic instead of overflowing
		{ INT32_MAX, 100u * (uint32_t)(INT32_MAX - 40000) + 60000u },
	};
	for (auto &c : cases)
		EXPECT_EQ((uint32_t)bkphase(c.t), c.phase) << c.t;
}

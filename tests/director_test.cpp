#include "brindlewock.h"
#include <gtest/gtest.h>
#include <random>

TEST(Director, StepsRunEqualShowTimeOverStepPlusOne)
{
	std::mt19937 r(3);
	for (uint32_t showstart : { 0u, 123457u, 4000000000u }) {
		uint32_t nexttick = showstart, ran = 0, now = showstart;
		for (int f = 0; f < 3000; f++) {
			ran += stepsdue(now, nexttick);
			ASSERT_EQ(ran, (now - showstart) / steplen + 1) << showstart << " " << now;
			now += r() % 97;
		}
	}
}

TEST(Director, LateFrameCatchesUp)
{
	uint32_t nexttick = 1000;
	EXPECT_EQ(stepsdue(1000, nexttick), 1u);
	EXPECT_EQ(stepsdue(1017, nexttick), 0u);
	EXPECT_EQ(stepsdue(1417, nexttick), 10u);
	EXPECT_EQ(stepsdue(1417, nexttick), 0u);
	EXPECT_EQ(stepsdue(1417 + 400, nexttick), 10u);
}

TEST(Director, ShowEndsWithTheFrameAt75Seconds)
{
	EXPECT_FALSE(showover(0));
	EXPECT_FALSE(showover(74999));
	EXPECT_TRUE(showover(75000));
	EXPECT_TRUE(showover(75001));
}

#include "rnd.h"
#include <climits>
#include <cstdlib>
#include <gtest/gtest.h>

constexpr int rnddraws = 100000;      // numbers compared per seed

// the first numbers of rnd() after rndseed(seed) are those of the C library's
// rand() after srand(seed)
TEST(Rnd, TheCLibrarysSequenceForEverySeed)
{
	// seed 0 means seed 1; the show seeds with a clock reading in seconds;
	// from 2^31 on the seed is negative as a signed word
	for (unsigned seed : { 0u, 1u, 2u, 7u, 1234567u, 1733731200u, (unsigned)INT_MAX,
			       0x80000000u, 0xdeadbeefu, UINT_MAX - 1, UINT_MAX }) {
		srand(seed);
		rndseed(seed);
		for (int i = 0; i < rnddraws; i++)
			ASSERT_EQ(rnd(), rand()) << "seed " << seed << ", draw " << i;
	}
}

TEST(RndDeathTest, UnseededIsSeedOne)
{
	// in a fresh process, where nothing has drawn yet
	GTEST_FLAG_SET(death_test_style, "threadsafe");
	EXPECT_EXIT(
		{
			srand(1);
			for (int i = 0; i < 1000; i++)
				if (rnd() != rand())
					exit(1);
			exit(0);
		},
		testing::ExitedWithCode(0), "");
}

#include "rnd.h"
#include <climits>
#include <cstdlib>
#include <gtest/gtest.h>
#include <random>

constexpr int rnddraws = 100000;      // numbers compared per seed

// the first n numbers of rnd() after rndseed(seed) are those of the C
// library's rand() after srand(seed)
static void samesequence(unsigned seed, int n)
{
	SCOPED_TRACE(seed);
	srand(seed);
	rndseed(seed);
	for (int i = 0; i < n; i++)
		ASSERT_EQ(rnd(), rand()) << "draw " << i;
}

TEST(Rnd, TheCLibrarysSequenceForEverySeed)
{
	// seed 0 means seed 1; from 2^31 on the seed is negative as a signed word
	for (unsigned seed : { 0u, 1u, 2u, 7u, 1234567u, (unsigned)INT_MAX, 0x80000000u, 0xdeadbeefu, UINT_MAX - 1, UINT_MAX })
		samesequence(seed, rnddraws);
	std::random_device dev;
	for (int i = 0; i < 3; i++)
		samesequence(dev(), rnddraws);
}

TEST(RndDeathTest, UnseededIsSeedOne)
{
	// in a fresh process, where nothing has drawn yet
	GTEST_FLAG_SET(death_test_style, "threadsafe");
	EXPECT_EXIT(
		{
			int first[1000];
			for (int &a : first)
				a = rnd();
			srand(1);
			for (int a : first)
				if (a != rand())
					exit(1);
			exit(0);
		},
		testing::ExitedWithCode(0), "");
}

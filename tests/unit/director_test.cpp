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

// the event drain, on SDL's own EventDrain with the dummy video driver
struct EventDrain : testing::Test {
	void SetUp() override
	{
		setenv("SDL_VIDEODRIVER", "dummy", 1);
		ASSERT_EQ(SDL_Init(SDL_INIT_VIDEO), 0);
	}
	void TearDown() override { SDL_Quit(); }
	static void push(Uint8 type, SDLKey key = SDLK_UNKNOWN)
	{
		SDL_Event ev = {};
		ev.type = type;
		ev.key.keysym.sym = key;
		if (type == SDL_KEYDOWN || type == SDL_KEYUP)
			ev.key.state = type == SDL_KEYDOWN ? SDL_PRESSED : SDL_RELEASED;
		ASSERT_EQ(SDL_PushEvent(&ev), 0);
	}
	static int left()
	{
		SDL_Event evs[16];
		return SDL_PeepEvents(evs, 16, SDL_PEEKEVENT, SDL_ALLEVENTS);
	}
};

TEST_F(EventDrain, OnlyEscapeReleaseAndQuitEndTheShow)
{
	push(SDL_KEYDOWN, SDLK_ESCAPE);
	push(SDL_KEYUP, SDLK_SPACE);
	push(SDL_KEYDOWN, SDLK_q);
	push(SDL_MOUSEBUTTONUP);
	EXPECT_FALSE(quitevent());
	EXPECT_EQ(left(), 0);
	push(SDL_KEYUP, SDLK_ESCAPE);
	EXPECT_TRUE(quitevent());
	push(SDL_QUIT);
	EXPECT_TRUE(quitevent());
}

TEST_F(EventDrain, EventsBehindAQuitStayUnread)
{
	push(SDL_KEYDOWN, SDLK_a);
	push(SDL_QUIT);
	push(SDL_KEYUP, SDLK_ESCAPE);
	push(SDL_KEYDOWN, SDLK_b);
	EXPECT_TRUE(quitevent());
	EXPECT_EQ(left(), 2);
	EXPECT_TRUE(quitevent());     // the Escape release behind it
	EXPECT_EQ(left(), 1);
	EXPECT_FALSE(quitevent());
}

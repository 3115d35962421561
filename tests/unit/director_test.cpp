#include "brindlewock.h"
#include <gtest/gtest.h>
#include <random>

// however the frames fall, late ones included, the steps run by a show time
// are one per step length begun since the show started
TEST(Director, StepsRunEqualShowTimeOverStepPlusOne)
{
	std::mt19937 r(3);
	const uint32_t gaps[] = { 0, 1, 17, 39, 40, 41, 400, 417, 1000 }; // ms between frames, besides random ones
	for (uint32_t showstart : { 0u, 123457u, 4000000000u }) {
		uint32_t nexttick = showstart, ran = 0, now = showstart;
		for (int f = 0; f < 3000; f++) {
			ran += stepsdue(now, nexttick);
			ASSERT_EQ(ran, (now - showstart) / steplen + 1) << showstart << " " << now;
			now += f % 2 ? r() % 97 : gaps[r() % (sizeof gaps / sizeof *gaps)];
		}
	}
}

// the event drain, on SDL's own event queue with the dummy video driver
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

TEST_F(EventDrain, OnlyEscapeReleaseAndQuitEndTheShowAndWhatIsBehindThemStaysUnread)
{
	push(SDL_KEYDOWN, SDLK_ESCAPE);
	push(SDL_KEYUP, SDLK_SPACE);
	push(SDL_KEYDOWN, SDLK_q);
	push(SDL_MOUSEBUTTONUP);
	EXPECT_FALSE(quitevent());
	EXPECT_EQ(left(), 0);
	push(SDL_KEYUP, SDLK_ESCAPE);
	EXPECT_TRUE(quitevent());
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

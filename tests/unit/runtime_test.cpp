// The SDL 1.2 runtime this process calls: a run that is meant for the
// SDL-2-based one must fail where that one is missing, not pass on the
// classic library instead.
#include "brindlewock.h"
#include <SDL.h>
#include <gtest/gtest.h>
#include <cstdlib>
#include <dlfcn.h>
#include <string>

// BRINDLEWOCK_RUNTIME names the runtime the run is meant for: "compat" (the
// SDL-2-based one, which calls itself 1.2.50 or later) or "classic"
// (1.2.15); unset, either.
TEST(Runtime, IsTheOneTheRunIsMeantFor)
{
	const char *env = getenv("BRINDLEWOCK_RUNTIME");
	std::string want = env ? env : "";
	Dl_info info;
	ASSERT_TRUE(dladdr((void *)&SDL_CreateRGBSurface, &info) && info.dli_fname);
	bool compat = sdlcompat();
	if (want == "compat")
		EXPECT_TRUE(compat) << "SDL 1.2 comes from " << info.dli_fname << ", the classic runtime";
	else if (want == "classic")
		EXPECT_FALSE(compat) << "SDL 1.2 comes from " << info.dli_fname << "; BRINDLEWOCK_RUNTIME=compat for a run on it";
	else
		EXPECT_EQ(want, "") << "BRINDLEWOCK_RUNTIME is compat or classic";
}

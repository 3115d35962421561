// The SDL 1.2 runtime this process calls: a run that is meant for the
// SDL-2-based one must fail where that one is missing, not pass on the
// classic library instead.
#include <SDL.h>
#include <gtest/gtest.h>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <link.h>
#include <string>

namespace {

const std::string compat = "/usr/lib/x86_64-linux-gnu/sdl12-compat"; // the SDL-2-based runtime's folder

bool mapped(const char *name)
{
	return dl_iterate_phdr([](dl_phdr_info *info, size_t, void *name) {
		return info->dlpi_name && strstr(info->dlpi_name, (const char *)name) ? 1 : 0;
	}, (void *)name) != 0;
}

} // namespace

// BRINDLEWOCK_RUNTIME names the runtime the run is meant for: "compat" or,
// by default, "classic"
TEST(Runtime, IsTheOneTheRunIsMeantFor)
{
	const char *env = getenv("BRINDLEWOCK_RUNTIME");
	std::string want = env ? env : "classic";
	Dl_info info;
	ASSERT_TRUE(dladdr((void *)&SDL_CreateRGBSurface, &info) && info.dli_fname);
	std::string sdl = info.dli_fname; // the library's file
	std::string dir = sdl.substr(0, sdl.rfind('/'));
	if (want == "compat") {
		EXPECT_EQ(dir, compat) << "SDL 1.2 comes from " << sdl;
		EXPECT_TRUE(mapped("/libSDL2-2.0.so")) << "the SDL-2-based runtime has not loaded SDL 2";
	} else {
		ASSERT_EQ(want, "classic") << "BRINDLEWOCK_RUNTIME is compat or classic";
		EXPECT_NE(dir, compat) << "SDL 1.2 comes from " << sdl << "; BRINDLEWOCK_RUNTIME=compat for a run on it";
	}
}

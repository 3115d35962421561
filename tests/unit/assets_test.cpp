// The default picture and music in assets/, loaded the way the show loads
// them, and the tools in tools/ that make them.
#include "load.h"
#include "plain.h"
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

constexpr int firerows = 120;   // rows below the resting picture left free for the fire
constexpr int restrow = 21;     // the lowest row the picture's top rests on
constexpr int speck = 12;       // a pixel this dark but not black would show as a speck
constexpr double minlen = 75;   // s the music must last
constexpr double maxbytes = 1.5e6; // the music file's size limit

const std::string assets = SOURCEDIR "/assets/";

// the picture as the show loads it, its pixels (0x00RRGGBB) row by row
struct picture {
	int w = 0, h = 0;
	std::vector<uint32_t> px;
};

picture loadpicture(const std::string &path)
{
	plainscreen sc;
	SDL_Surface *im = loadim(path.c_str());
	if (!im)
		return {};
	picture p{ im->w, im->h, pixels<uint32_t>(im) };
	SDL_FreeSurface(im);
	return p;
}

double seconds(const std::vector<int16_t> &pcm)
{
	return (double)pcm.size() / audiochans / audiorate;
}

// level in dB of full scale over the seconds from t0 to t1
double level(const std::vector<int16_t> &pcm, double t0, double t1)
{
	size_t a = (size_t)(t0 * audiorate) * audiochans, b = std::min(pcm.size(), (size_t)(t1 * audiorate) * audiochans);
	double sum = 0;
	for (size_t i = a; i < b; i++)
		sum += (double)pcm[i] * pcm[i];
	return 10 * std::log10(sum / std::max<size_t>(1, b - a) / (32768.0 * 32768.0) + 1e-12);
}

TEST(Assets, PictureLeavesRoomForTheFireAndIsBlackOnlyWhereTransparent)
{
	picture p = loadpicture(assets + "galleri.jpg");
	ASSERT_GT(p.w, 0) << "assets/galleri.jpg does not load";
	EXPECT_LT(p.w, scrw);
	EXPECT_LE(restrow + p.h + firerows, scrh) << "height " << p.h;
	size_t black = 0, specks = 0;
	for (uint32_t c : p.px) {
		black += c == 0;
		specks += c != 0 && std::max({ c >> 16 & 0xff, c >> 8 & 0xff, c & 0xff }) <= (uint32_t)speck;
	}
	EXPECT_EQ(specks, 0u) << "near-black pixels would be drawn as dark specks";
	// the wall between the frames is transparent: a real share of the
	// picture, on both sides of the centre, in the top and the bottom rows
	EXPECT_GT(black, p.px.size() / 5);
	EXPECT_LT(black, p.px.size() * 4 / 5);
	EXPECT_EQ(p.px[0], 0u);
	EXPECT_EQ(p.px[p.w - 1], 0u);
	EXPECT_EQ(p.px[(size_t)(p.h - 1) * p.w], 0u);
	EXPECT_EQ(p.px[(size_t)p.h * p.w - 1], 0u);
}

TEST(Assets, MusicFillsTheShow)
{
	mixer m;
	ASSERT_TRUE(m.ok) << SDL_GetError();
	std::vector<int16_t> pcm = loadmusic(assets + "musa.ogg");
	ASSERT_FALSE(pcm.empty()) << "assets/musa.ogg does not load";
	EXPECT_GE(seconds(pcm), minlen);
	EXPECT_LT(std::filesystem::file_size(assets + "musa.ogg"), maxbytes);
	int top = 0;
	for (int16_t v : pcm)
		top = std::max(top, std::abs((int)v));
	EXPECT_LT(top, 32767) << "the music reaches full scale";
	EXPECT_GT(top, 16384) << "the music is far too quiet";

	// the time line: heard from the start, calm before the picture comes,
	// loud and steady while the background races, silent once the show ends
	double calm = level(pcm, 0.5, 10), drive = level(pcm, 40, 64);
	EXPECT_GT(calm, -45);
	EXPECT_GT(drive, -22);
	EXPECT_LT(drive, -10);
	EXPECT_GT(drive - calm, 6);
	for (int t = 40; t < 64; t++)
		EXPECT_NEAR(level(pcm, t, t + 1), drive, 3) << "at " << t << " s";
	EXPECT_LT(level(pcm, showlen / 1000.0, seconds(pcm)), -60);
}

TEST(Assets, ToolsRemakeTheCommittedFiles)
{
	namespace fs = std::filesystem;
	fs::path dir = fs::temp_directory_path() / ("brindlewock-assets-" + std::to_string(getpid()));
	fs::create_directories(dir);
	std::string jpg = (dir / "galleri.jpg").string(), ogg = (dir / "musa.ogg").string();
	ASSERT_EQ(std::system((TOOLSDIR "/mkpicture " + jpg).c_str()), 0);
	ASSERT_EQ(std::system((TOOLSDIR "/mksound " + ogg).c_str()), 0);

	// the picture: the same pixels, to within the last bit that a different
	// maths library could round otherwise, and the same transparent areas
	picture made = loadpicture(jpg), kept = loadpicture(assets + "galleri.jpg");
	ASSERT_EQ(made.w, kept.w);
	ASSERT_EQ(made.h, kept.h);
	size_t differ = 0;
	for (size_t i = 0; i < made.px.size(); i++) {
		uint32_t a = made.px[i], b = kept.px[i];
		ASSERT_EQ(a == 0, b == 0) << "transparency differs at " << i % made.w << ", " << i / made.w;
		for (int sh = 0; sh < 24; sh += 8)
			differ += std::abs((int)(a >> sh & 0xff) - (int)(b >> sh & 0xff)) > 2;
	}
	EXPECT_EQ(differ, 0u);

	// the music: Vorbis encoding is floating-point work, so compare the
	// length exactly and the size and the level second by second coarsely
	mixer m;
	ASSERT_TRUE(m.ok);
	std::vector<int16_t> a = loadmusic(ogg), b = loadmusic(assets + "musa.ogg");
	ASSERT_FALSE(a.empty());
	ASSERT_EQ(a.size(), b.size());
	double sa = (double)fs::file_size(ogg), sb = (double)fs::file_size(assets + "musa.ogg");
	EXPECT_NEAR(sa / sb, 1, 0.02);
	for (int t = 0; t + 1 <= (int)seconds(a); t++) {
		double la = level(a, t, t + 1), lb = level(b, t, t + 1);
		if (lb > -70) {
			EXPECT_NEAR(la, lb, 0.2) << "at " << t << " s";
		}
	}
	fs::remove_all(dir);
}

} // namespace

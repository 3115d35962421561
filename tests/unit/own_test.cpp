// The files people have, through the sandboxed loader: every kind of song
// heard for as long and at the pitch it was made, and every kind of photo
// upright and fitted, at the fit's edges too.
#include "load.h"
#include "plain.h"
#include <gtest/gtest.h>
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

std::string tempdir()
{
	char name[] = "/tmp/brindlewock-own-XXXXXX";
	return mkdtemp(name);
}

int run(const std::string &cmd)
{
	return std::system((cmd + " >/dev/null 2>&1").c_str());
}

// how long the left channel of 16-bit stereo samples at the mixer's rate is
// heard, in s, and at what frequency, from its rising zero crossings
void heard(const int16_t *s, size_t frames, double &secs, double &hz)
{
	size_t first = frames, last = 0;
	for (size_t i = 0; i < frames; i++)
		if (std::abs(s[2 * i]) > 1000)
			first = std::min(first, i), last = i;
	secs = first < frames ? (double)(last - first + 1) / audiorate : 0;
	double t0 = -1, t1 = -1;
	int n = 0;
	for (size_t i = first + 1; i <= last && i < frames; i++) {
		int a = s[2 * (i - 1)], b = s[2 * i];
		if (a < 0 && b >= 0) {
			double t = i - 1 + (double)-a / (b - a);
			if (t0 < 0)
				t0 = t;
			t1 = t, n++;
		}
	}
	hz = n > 1 ? (n - 1) * audiorate / (t1 - t0) : 0;
}

} // namespace

TEST(Loading, EverySongIsHeardForAsLongAndAtThePitchItWasMade)
{
	std::string dir = tempdir();
	mixer m;
	ASSERT_TRUE(m.ok) << Mix_GetError();
	struct {
		const char *file, *codec; // made by ffmpeg with this encoder
		int rate, chans;
	} songs[] = {
		{ "u8.wav", "pcm_u8", 44100, 1 },
		{ "s16.wav", "pcm_s16le", 44100, 2 },
		{ "s24.wav", "pcm_s24le -ar 96000", 96000, 2 },
		{ "float.wav", "pcm_f32le", 48000, 2 },
		{ "tone.aiff", "pcm_s16be", 44100, 2 },
		{ "22.ogg", "libvorbis", 22050, 2 },
		{ "44.ogg", "libvorbis", 44100, 2 },
		{ "48.ogg", "libvorbis", 48000, 2 },
		{ "tone.opus", "libopus", 48000, 2 },
		{ "16.flac", "flac -sample_fmt s16", 44100, 2 },
		{ "24.flac", "flac -sample_fmt s32 -bits_per_raw_sample 24", 96000, 2 },
		{ "stereo.mp3", "libmp3lame", 44100, 2 },
		{ "mono.mp3", "libmp3lame", 48000, 1 },
		{ "tone.m4a", "aac", 44100, 2 },
		{ "11.wav", "pcm_s16le", 11025, 1 },
	};
	for (auto &c : songs) {
		SCOPED_TRACE(c.file);
		std::string path = dir + "/" + c.file;
		std::string cmd = "ffmpeg -nostdin -y -f lavfi -i sine=frequency=440:duration=3:sample_rate=" +
		                  std::to_string(c.rate) + " -ac " + std::to_string(c.chans) + " -c:a " + c.codec + " '" + path + "'";
		ASSERT_EQ(run(cmd), 0) << cmd;
		Mix_Chunk *ours = loadmusa(path.c_str());
		ASSERT_NE(ours, nullptr) << SDL_GetError();
		double secs, hz;
		heard((const int16_t *)ours->abuf, ours->alen / 4, secs, hz);
		EXPECT_NEAR(secs, 3.0, 0.03);
		EXPECT_NEAR(hz, 440.0, 2.0);
		// where the mixer reads the file at its own rate, its very samples
		if (!strcmp(c.file, "48.ogg")) {
			std::vector<int16_t> lib = loadmusic(path);
			EXPECT_TRUE(lib == std::vector<int16_t>((int16_t *)ours->abuf, (int16_t *)(ours->abuf + ours->alen)));
		}
		free(ours->abuf);
		Mix_FreeChunk(ours);
	}
	// what can't be read says so, and what can
	std::ofstream(dir + "/noise.mp3") << std::string(5000, 'x');
	EXPECT_EQ(loadmusa((dir + "/noise.mp3").c_str()), nullptr);
	EXPECT_NE(strstr(SDL_GetError(), "kinds read: MP3"), nullptr) << SDL_GetError();
	std::filesystem::remove_all(dir);
}

// A song longer than the show is decoded for what the show plays of it and
// a little more, whatever reads it
TEST(Loading, ALongSongIsDecodedOnlyForWhatIsPlayed)
{
	std::string dir = tempdir();
	mixer m;
	ASSERT_TRUE(m.ok) << Mix_GetError();
	for (const char *file : { "long.ogg", "long.wav", "long.mp3" }) {
		SCOPED_TRACE(file);
		std::string path = dir + "/" + file;
		ASSERT_EQ(run("ffmpeg -nostdin -y -f lavfi -i sine=frequency=440:duration=300:sample_rate=48000 -ac 1 '" + path + "'"), 0);
		Mix_Chunk *ours = loadmusa(path.c_str());
		ASSERT_NE(ours, nullptr) << SDL_GetError();
		EXPECT_EQ(ours->alen, 80u * audiorate * 4);
		free(ours->abuf);
		Mix_FreeChunk(ours);
	}
	std::filesystem::remove_all(dir);
}

// Photos of one's own: a red corner and a green one beside it, stored
// turned as each EXIF orientation says, land top left and top right; the
// other kinds phones and cameras make are read; and the fit's edges.
TEST(Loading, EveryPhotoIsUprightAndFitted)
{
	std::string dir = tempdir();
	plainscreen sc;
	// the upright picture: 600 x 400, red and green blocks in its top corners
	std::string marked = "-size 600x400 xc:'#808080' -fill '#e01010' -draw 'rectangle 0,0 149,99' -fill '#10e010' -draw 'rectangle 450,0 599,99'";
	// an EXIF segment holding orientation o, in either byte order
	auto exif = [](int o, bool le) {
		std::string t = le ? std::string("II*\0\x08\0\0\0\x01\0\x12\x01\x03\0\x01\0\0\0", 18) + (char)o + std::string("\0\0\0\0\0\0\0", 7)
		                   : std::string("MM\0*\0\0\0\x08\0\x01\x01\x12\0\x03\0\0\0\x01\0", 19) + (char)o + std::string("\0\0\0\0\0\0", 6);
		std::string seg = "Exif" + std::string(2, '\0') + t;
		size_t n = seg.size() + 2;
		return std::string("\xff\xe1", 2) + (char)(n >> 8) + (char)(n & 255) + seg;
	};
	const char *turn[] = { "", "", "-flop", "-rotate 180", "-flip", "-transpose", "-rotate -90", "-transverse", "-rotate 90" };
	ownpicture = true;
	for (int o = 1; o <= 8; o++) {
		for (bool le : { true, false }) {
			SCOPED_TRACE("orientation " + std::to_string(o) + (le ? " II" : " MM"));
			std::string path = dir + "/o.jpg";
			ASSERT_EQ(run("convert " + marked + " " + turn[o] + " -quality 95 " + path), 0);
			std::ifstream in(path, std::ios::binary);
			std::string j((std::istreambuf_iterator<char>(in)), {});
			std::ofstream(path, std::ios::binary) << j.substr(0, 2) + exif(o, le) + j.substr(2);
			SDL_Surface *im = loadim(path.c_str());
			ASSERT_NE(im, nullptr) << SDL_GetError();
			EXPECT_EQ(std::make_pair(im->w, im->h), std::make_pair(456, 304));
			Uint8 r, g, b;
			SDL_GetRGB(pixels<uint32_t>(im)[5 * im->w + 5], im->format, &r, &g, &b);
			EXPECT_TRUE(r > 0xc0 && g < 0x40) << (int)r << "," << (int)g;
			SDL_GetRGB(pixels<uint32_t>(im)[6 * im->w - 5], im->format, &r, &g, &b);
			EXPECT_TRUE(g > 0xc0 && r < 0x40) << (int)r << "," << (int)g;
			SDL_FreeSurface(im);
		}
	}
	struct {
		const char *file, *make; // how it is made from the marked picture
		int w, h;                // the size it is shown at; 0: refused
		uint32_t tl;             // its colour top left, within 24 a channel
	} cases[] = {
		{ "photo.heic", "heif-enc -q 90 %s.png -o %s", 456, 304, 0xe01010 },
		{ "photo.avif", "heif-enc -A -q 90 %s.png -o %s", 456, 304, 0xe01010 },
		{ "cmyk.jpg", "convert %s.png -colorspace CMYK -quality 95 %s", 456, 304, 0xe01010 },
		{ "pano.jpg", "convert -size 8000x300 gradient:'#e01010'-'#1010e0' %s", 544, 20, 0xe01010 },
		{ "edge.png", "convert -size 8192x100 xc:'#e01010' %s", 544, 7, 0xe01010 },
		{ "over.png", "convert -size 8193x100 xc:'#e01010' %s", 0, 0, 0 },
		{ "over.jpg", "convert -size 100x8193 xc:'#e01010' %s", 0, 0, 0 },
		{ "rounding.png", "convert -size 1000x600 xc:'#e01010' %s", 507, 304, 0xe01010 },
		{ "wide.png", "convert -size 2000x200 xc:'#e01010' %s", 544, 54, 0xe01010 },
	};
	ASSERT_EQ(run("convert " + marked + " PNG24:" + dir + "/marked.png"), 0);
	for (auto &c : cases) {
		SCOPED_TRACE(c.file);
		std::string path = dir + "/" + c.file;
		char cmd[512];
		if (strstr(c.make, "%s.png"))
			snprintf(cmd, sizeof cmd, c.make, (dir + "/marked").c_str(), path.c_str());
		else
			snprintf(cmd, sizeof cmd, c.make, path.c_str());
		ASSERT_EQ(run(cmd), 0) << cmd;
		SDL_Surface *im = loadim(path.c_str());
		if (!c.w) {
			EXPECT_EQ(im, nullptr);
			EXPECT_NE(strstr(SDL_GetError(), "larger than 8192 on a side"), nullptr) << SDL_GetError();
			continue;
		}
		ASSERT_NE(im, nullptr) << SDL_GetError();
		EXPECT_EQ(std::make_pair(im->w, im->h), std::make_pair(c.w, c.h));
		Uint8 r, g, b;
		SDL_GetRGB(pixels<uint32_t>(im)[0], im->format, &r, &g, &b);
		EXPECT_NEAR(r, c.tl >> 16, 24);
		EXPECT_NEAR(g, c.tl >> 8 & 255, 24);
		EXPECT_NEAR(b, c.tl & 255, 24);
		SDL_FreeSurface(im);
	}
	// transparent where they were, keyed or paletted, and nowhere else
	for (const char *as : { "gif.gif", "png8.png" }) {
		SCOPED_TRACE(as);
		std::string path = dir + "/" + as;
		ASSERT_EQ(run("convert -size 1088x608 xc:'#e01010' -fill black -draw 'rectangle 0,0 543,607' -transparent black " +
		              std::string(strstr(as, "png") ? "PNG8:" : "") + path), 0);
		SDL_Surface *im = loadim(path.c_str());
		ASSERT_NE(im, nullptr) << SDL_GetError();
		ASSERT_EQ(std::make_pair(im->w, im->h), std::make_pair(544, 304));
		std::vector<uint32_t> px = pixels<uint32_t>(im);
		uint32_t key = SDL_MapRGB(im->format, 0, 0, 0);
		EXPECT_EQ(px[10], key);
		EXPECT_NE(px[543], key);
		// the column on the edge is half of each, so not transparent
		EXPECT_EQ(std::count(px.begin(), px.end(), key), 271 * 304);
		EXPECT_EQ(px[270], key);
		SDL_FreeSurface(im);
	}
	ownpicture = false;
	std::filesystem::remove_all(dir);
}

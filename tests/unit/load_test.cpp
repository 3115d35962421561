// The sandboxed loader against the libraries called in-process: for
// pictures of every kind the same decoded surface (format, palette, colour
// key, alpha, pixels) and the same picture in the screen's format, and for
// music the same samples; damaged files refused at once, each for its own
// reason, and a file of exactly the largest size read.
#include "load.h"
#include "plain.h"
#include <SDL_image.h>
#include <gtest/gtest.h>
#include <algorithm>
#include <cstdio>
#include <chrono>
#include <initializer_list>
#include <sys/resource.h>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <sstream>
#include <string>
#include <vector>

// every loading test's decoder: the build's
static const bool decoderset = (decoder = BRINDLEWOCK_DECODER, true);

namespace {

// what conversion and blits read of a surface, bar its pixels; a palette
// as one of upto entries, those past its own black
std::string format(SDL_Surface *p, int upto = 0)
{
	SDL_PixelFormat *f = p->format;
	std::ostringstream d;
	d << p->w << "x" << p->h << " flags " << p->flags << " bpp " << (int)f->BitsPerPixel;
	for (Uint32 v : { f->Rmask, f->Gmask, f->Bmask, f->Amask, f->colorkey, (Uint32)f->alpha })
		d << " " << v;
	for (int i = 0; f->palette && i < std::max(f->palette->ncolors, upto); i++) {
		SDL_Color c = i < f->palette->ncolors ? f->palette->colors[i] : SDL_Color{};
		d << (i ? "," : " palette ") << (c.r << 16 | c.g << 8 | c.b);
	}
	return d.str();
}

// a 1-second WAV of 8-bit mono samples at the mixer's rate, which the mixer
// converts to its format and channels (a change of rate is resampled
// elsewhere: own_test.cpp)
void wav(const std::string &path)
{
	constexpr uint32_t rate = 48000;
	FILE *f = fopen(path.c_str(), "wb");
	uint32_t head[] = { 0x46464952, 36 + rate, 0x45564157, 0x20746d66, 16, 1 | 1 << 16, rate, rate, 1 | 8 << 16,
	                    0x61746164, rate };
	fwrite(head, sizeof head, 1, f);
	for (uint32_t i = 0; i < rate; i++)
		fputc((i * 7 + i / 100) & 255, f);
	fclose(f);
}

// a GIF of 2 x 2 pixels whose comment of 200 bytes ahead of its image is
// cut after 100: its reader asks for the comment's next block for ever
std::string gifcut()
{
	std::string g = std::string("GIF89a\x02\0\x02\0\x80\0\0\0\0\0\xff\xff\xff", 19);
	return g + "\x21\xfe\xc8" + std::string(100, 'c');
}

// a 16 x 16 PNG of one palette entry whose pixels are the indices 0 to 255,
// its data stored without compression
std::string pngoverrun()
{
	auto crc = [](const std::string &s) {
		uint32_t c = 0xffffffff;
		for (unsigned char b : s) {
			c ^= b;
			for (int k = 0; k < 8; k++)
				c = c >> 1 ^ (c & 1 ? 0xedb88320 : 0);
		}
		return ~c;
	};
	auto be = [](uint32_t v) { return std::string{ (char)(v >> 24), (char)(v >> 16), (char)(v >> 8), (char)v }; };
	auto chunk = [&](const std::string &type, const std::string &data) {
		return be(data.size()) + type + data + be(crc(type + data));
	};
	std::string rows, raw;
	for (int i = 0; i < 256; i++)
		rows += std::string(i % 16 ? "" : std::string(1, '\0')) + (char)i;
	uint32_t a = 1, b = 0;
	for (unsigned char c : rows) {
		a = (a + c) % 65521;
		b = (b + a) % 65521;
	}
	uint32_t adler = b << 16 | a;
	raw = std::string("\x78\x01\x01", 3) + (char)(rows.size() & 255) + (char)(rows.size() >> 8) +
	      (char)(~rows.size() & 255) + (char)((~rows.size() >> 8) & 255) + rows + be(adler);
	return std::string("\x89PNG\r\n\x1a\n", 8) + chunk("IHDR", be(16) + be(16) + std::string("\x08\x03\0\0\0", 5)) +
	       chunk("PLTE", "\xc8\x64\x32") + chunk("IDAT", raw) + chunk("IEND", "");
}

// a PNG whose text chunk ahead of its image claims 256 MiB it does not hold
std::string pnglong()
{
	std::string p("\x89PNG\r\n\x1a\n", 8);
	p += std::string("\0\0\0\x0dIHDR\0\0\0\x01\0\0\0\x01\x08\x02\0\0\0\x90\x77\x53\xde", 25);
	return p + std::string("\x10\0\0\0tEXt", 8) + "comment";
}

} // namespace

TEST(Loading, SandboxGivesWhatTheLibrariesGive)
{
	char name[] = "/tmp/brindlewock-load-XXXXXX";
	std::string dir = mkdtemp(name);
	plainscreen sc;
	// every kind of picture the libraries read here, made by convert of a
	// gradient with a black block (transparent where the kind keeps a
	// colour key or alpha), each the same in the screen's format, key and
	// all, as the libraries give it in-process
	const std::string block = "-fill black -draw 'rectangle 4,4 12,12' ";
	struct {
		const char *file, *make, *as;
	} pictures[] = {
		{ "grey1.png", "-colorspace Gray -define png:color-type=0 -define png:bit-depth=1", "PNG:" },
		{ "grey4.png", "-colorspace Gray -define png:color-type=0 -define png:bit-depth=4", "PNG:" },
		{ "grey8.png", "-colorspace Gray -define png:color-type=0 -define png:bit-depth=8", "PNG:" },
		{ "grey16.png", "-colorspace Gray -depth 16 -define png:color-type=0 -define png:bit-depth=16", "PNG:" },
		{ "greyalpha.png", "-colorspace Gray -alpha set -channel A -evaluate multiply 0.5 +channel -define png:color-type=4", "PNG:" },
		{ "paletted.png", "-colors 8", "PNG8:" },
		{ "palettedkey.png", "-colors 8 -transparent black", "PNG8:" },
		{ "rgb.png", "", "PNG24:" },
		{ "alpha.png", "-alpha set -channel A -evaluate multiply 0.5 +channel", "PNG32:" },
		{ "deep.png", "-depth 16", "PNG48:" },
		{ "interlaced.png", "-interlace PNG", "PNG24:" },
		{ "photo.jpg", "-quality 80", "" },
		{ "grey.jpg", "-colorspace Gray", "" },
		{ "progressive.jpg", "-interlace Plane", "" },
		{ "cmyk.jpg", "-colorspace CMYK", "" },
		{ "keyed.gif", "-colors 8 -transparent black", "" },
		{ "bilevel.bmp", "-type bilevel", "BMP3:" },
		{ "sixteen.bmp", "-colors 16", "BMP3:" },
		{ "paletted.bmp", "-type palette", "BMP3:" },
		{ "rgb565.bmp", "-define bmp:subtype=RGB565", "BMP:" },
		{ "rgb.bmp", "", "BMP3:" },
		{ "alpha.bmp", "-alpha set -channel A -evaluate multiply 0.5 +channel", "BMP:" },
		{ "picture.pcx", "-type palette", "" },
		{ "picture.ppm", "-depth 8", "" },
		{ "picture.pgm", "-colorspace Gray -depth 8", "" },
		{ "picture.xpm", "-colors 16", "" },
		{ "picture.tif", "", "" },
		{ "picture.webp", "-quality 90", "" },
		{ "picture.ico", "-colors 64", "" },
	};
	for (auto &pic : pictures) {
		SCOPED_TRACE(pic.file);
		std::string path = dir + "/" + pic.file;
		std::string cmd = "convert -size 40x30 gradient:white-navy " + block + pic.make + " " + pic.as + path;
		ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
		SDL_Surface *lib = IMG_Load(path.c_str()), *im = loadim(path.c_str());
		ASSERT_NE(lib, nullptr) << IMG_GetError();
		ASSERT_NE(im, nullptr) << SDL_GetError();
		SDL_Surface *want = SDL_ConvertSurface(lib, s->format, 0);
		SDL_SetColorKey(want, SDL_SRCCOLORKEY, SDL_MapRGB(want->format, 0, 0, 0));
		// as the picture is drawn, whatever alpha its conversion carried
		for (SDL_Surface *p : { im, want })
			SDL_SetAlpha(p, SDL_SRCALPHA, 128);
		EXPECT_EQ(format(im), format(want));
		EXPECT_TRUE(pixels(im) == pixels(want));
		for (SDL_Surface *p : { lib, want, im })
			SDL_FreeSurface(p);
	}

	// pixels past the palette's one colour: black, so transparent, on every
	// runtime, where the libraries' own conversion differs
	{
		std::string path = dir + "/overrun.png";
		std::ofstream(path, std::ios::binary) << pngoverrun();
		SDL_Surface *im = loadim(path.c_str());
		ASSERT_NE(im, nullptr) << SDL_GetError();
		std::vector<uint32_t> px = pixels<uint32_t>(im);
		ASSERT_EQ(px.size(), 256u);
		EXPECT_EQ(px[0], SDL_MapRGB(im->format, 0xc8, 0x64, 0x32));
		EXPECT_EQ(std::count(px.begin() + 1, px.end(), SDL_MapRGB(im->format, 0, 0, 0)), 255);
		SDL_FreeSurface(im);
	}

	mixer m;
	ASSERT_TRUE(m.ok) << Mix_GetError();
	wav(dir + "/tone.wav");
	for (std::string path : { std::string(SOURCEDIR "/assets/musa.ogg"), dir + "/tone.wav" }) {
		SCOPED_TRACE(path);
		std::vector<int16_t> lib = loadmusic(path);
		Mix_Chunk *ours = loadmusa(path.c_str());
		ASSERT_FALSE(lib.empty()) << Mix_GetError();
		ASSERT_NE(ours, nullptr) << SDL_GetError();
		EXPECT_TRUE(lib == std::vector<int16_t>((int16_t *)ours->abuf, (int16_t *)(ours->abuf + ours->alen)));
		free(ours->abuf); // the show's sample does not own its samples
		Mix_FreeChunk(ours);
	}
	std::filesystem::remove_all(dir);
}

// A picture of one's own: larger than the show's picture's 544 x 304 either
// way, fitted into it whole, keeping its shape; black only where it is
// transparent
TEST(Loading, OwnPictureFitsWholeAndIsTransparentOnlyWhereItSaysSo)
{
	char name[] = "/tmp/brindlewock-load-XXXXXX";
	std::string dir = mkdtemp(name);
	plainscreen sc;
	// blocks a quarter of the photo's size in its top corners, and black
	auto corners = [](int w, int h) {
		auto box = [](int x0, int y0, int x1, int y1) {
			return " 'rectangle " + std::to_string(x0) + "," + std::to_string(y0) + " " + std::to_string(x1) + "," +
			       std::to_string(y1) + "'";
		};
		return "xc:#808080 -fill '#e01010' -draw" + box(0, 0, w / 4 - 1, h / 4 - 1) + " -fill '#10e010' -draw" +
		       box(w - w / 4, 0, w - 1, h / 4 - 1) + " -fill black -draw" + box(w / 3, h / 3, w / 2, h / 2);
	};
	struct {
		const char *file;
		int pw, ph;       // its size
		const char *make; // how convert draws it; empty: corners()
		int w, h;         // the size it is shown at
	} cases[] = {
		{ "wide.jpg", 4032, 3024, "", 405, 304 },
		{ "tall.jpg", 3024, 4032, "", 228, 304 },
		{ "box.png", 544, 304, "", 544, 304 },
		{ "wider.png", 545, 304, "", 544, 303 },
		{ "taller.png", 544, 305, "", 542, 304 },
		{ "small.bmp", 40, 30, "", 40, 30 },
		// transparent on the left, where its colour is red, and black on the right
		{ "alpha.png", 300, 200, "'xc:rgba(255,0,0,0)' -fill black -draw 'rectangle 150,0 299,199' PNG32:", 300, 200 },
	};
	ownpicture = true;
	for (auto &c : cases) {
		SCOPED_TRACE(c.file);
		std::string path = dir + "/" + c.file, make = *c.make ? c.make : corners(c.pw, c.ph);
		std::string cmd = "convert -size " + std::to_string(c.pw) + "x" + std::to_string(c.ph) + " " + make + (make.back() == ':' ? "" : " ") + path;
		ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
		SDL_Surface *im = loadim(path.c_str());
		ASSERT_NE(im, nullptr) << SDL_GetError();
		EXPECT_EQ(std::make_pair(im->w, im->h), std::make_pair(c.w, c.h));
		std::vector<uint32_t> px = pixels<uint32_t>(im);
		auto at = [&](int x, int y) {
			Uint8 r, g, b;
			SDL_GetRGB(px[(size_t)y * im->w + x], im->format, &r, &g, &b);
			return (uint32_t)(r << 16 | g << 8 | b);
		};
		uint32_t key = SDL_MapRGB(im->format, 0, 0, 0);
		if (*c.make) {
			EXPECT_EQ(at(10, 10), 0u) << "transparent where its alpha is 0";
			EXPECT_EQ(at(c.w - 10, 10), 0x010101u) << "black lifted where it is opaque";
			EXPECT_EQ(std::count(px.begin(), px.end(), key), (long)c.w * c.h / 2);
		} else {
			// both top corners on the screen's picture, and no hole
			EXPECT_GT(at(2, 2) >> 16, 0xc0u) << std::hex << at(2, 2);
			EXPECT_GT(at(c.w - 3, 2) >> 8 & 0xff, 0xc0u) << std::hex << at(c.w - 3, 2);
			EXPECT_EQ(at(c.w * 5 / 12, c.h * 5 / 12), 0x010101u);
			EXPECT_EQ(std::count(px.begin(), px.end(), key), 0);
		}
		SDL_FreeSurface(im);
	}
	ownpicture = false;
	std::filesystem::remove_all(dir);
}

// the CPU time, in s, this process and its children that have ended have used
static double cputime()
{
	double t = 0;
	for (int who : { RUSAGE_SELF, RUSAGE_CHILDREN }) {
		rusage u;
		getrusage(who, &u);
		t += u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
	}
	return t;
}

TEST(Loading, DamagedFilesAreRefusedAtOnceForTheirOwnReasonAndTheLargestRead)
{
	char name[] = "/tmp/brindlewock-load-XXXXXX";
	std::string dir = mkdtemp(name);
	plainscreen sc;
	struct {
		const char *what, *said; // the file, and what the loader says of it; null: it loads
		std::string bytes;       // its bytes; empty: made below
	} cases[] = {
		{ "a picture of exactly 64 MiB", nullptr, "" },
		{ "a GIF cut in its comment", "reads on past its end", gifcut() },
		{ "a PNG chunk claiming 256 MiB", "a chunk runs past its end", pnglong() },
		{ "a FIFO", "not a regular file", "" },
		{ "a file over 64 MiB", "larger than 64 MiB", "" },
		{ "no file", "No such file", "" },
	};
	for (auto &c : cases) {
		SCOPED_TRACE(c.what);
		std::string path = dir + "/" + c.what;
		if (!c.bytes.empty())
			std::ofstream(path, std::ios::binary) << c.bytes;
		else if (!strcmp(c.what, "a FIFO"))
			ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
		else if (!strcmp(c.what, "a file over 64 MiB"))
			std::filesystem::resize_file((std::ofstream(path), path), maxfile + 1);
		else if (!strcmp(c.what, "a picture of exactly 64 MiB")) {
			// a BMP says where its pixels are: what follows them is never read
			ASSERT_EQ(std::system(("convert -size 4x3 gradient: BMP3:'" + path + "'").c_str()), 0);
			std::filesystem::resize_file(path, maxfile);
		}
		double t0 = cputime();
		SDL_Surface *im = loadim(path.c_str());
		EXPECT_TRUE(c.said ? !im && strstr(SDL_GetError(), c.said) : im != nullptr) << SDL_GetError();
		SDL_FreeSurface(im);
		// refused for its own reason, not by the decoder's CPU limit: the
		// CPU time of the test and its decoders, which a busy machine does
		// not stretch as it does the clock (bench/ times the read itself)
		EXPECT_LT(cputime() - t0, 2.0);
	}
	std::filesystem::remove_all(dir);
}

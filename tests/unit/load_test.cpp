// The picture loaded as start-up loads it, through the guarded stream: the
// same surface SDL_image gives for every file it reads, and a decoder that
// reads on past the end of its file or faults given up, with the process's
// signal handlers, signal mask and standard streams as they were before.
#include "brindlewock.h"
#include "load.h"
#include "plain.h"
#include <SDL_image.h>
#include <gtest/gtest.h>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// a directory of the test's own as the current directory
struct scratch {
	std::filesystem::path was = std::filesystem::current_path(), dir;
	scratch()
	{
		char name[] = "/tmp/brindlewock-load-XXXXXX";
		dir = mkdtemp(name);
		std::filesystem::current_path(dir);
	}
	~scratch()
	{
		std::filesystem::current_path(was);
		std::filesystem::remove_all(dir);
	}
	void picture(const std::string &bytes) { std::ofstream(imf[0], std::ios::binary) << bytes; }
};

// a GIF of 2 x 2 pixels in black and white whose header claims w x h, with
// a comment of the given length ahead of its image
std::string gif(int w, int h, int comment)
{
	std::string g = "GIF89a";
	auto le = [&g](int v) { g += (char)(v & 255); g += (char)(v >> 8 & 255); };
	le(w);
	le(h);
	g += std::string("\x80\0\0" "\0\0\0" "\xff\xff\xff", 9);
	if (comment)
		g += "\x21\xfe" + std::string(1, (char)comment) + std::string(comment, 'c') + std::string(1, '\0');
	g += ',';
	for (int v : { 0, 0, w, h })
		le(v);
	g += '\0';
	// 3-bit codes, the table cleared every two pixels: clear 1 0 clear 0 1 end
	std::string data;
	unsigned acc = 0;
	int n = 0;
	for (int c : { 4, 1, 0, 4, 0, 1, 5 }) {
		acc |= c << n;
		for (n += 3; n >= 8; n -= 8, acc >>= 8)
			data += (char)(acc & 255);
	}
	if (n)
		data += (char)acc;
	return g + "\x02" + std::string(1, (char)data.size()) + data + std::string(1, '\0') + ";";
}

std::string slurp(const std::string &path)
{
	std::ifstream f(path, std::ios::binary);
	return std::string(std::istreambuf_iterator<char>(f), {});
}

// the pixels of a surface, row after row
std::vector<uint8_t> pixels(SDL_Surface *p)
{
	std::vector<uint8_t> v;
	for (int y = 0; y < p->h; y++) {
		const uint8_t *row = (const uint8_t *)p->pixels + y * p->pitch;
		v.insert(v.end(), row, row + p->w * p->format->BytesPerPixel);
	}
	return v;
}

constexpr int nfaults = 4;
const int faults[nfaults] = { SIGSEGV, SIGBUS, SIGFPE, SIGILL };
const int flags = SA_SIGINFO | SA_ONSTACK | SA_RESTART | SA_NODEFER | SA_RESETHAND; // what a handler is told
volatile sig_atomic_t segvs;              // SIGSEGVs the test's own handler has had

void counted(int) { segvs = segvs + 1; }

ino_t inode(int fd)
{
	struct stat st;
	return fstat(fd, &st) == 0 ? st.st_ino : 0;
}

} // namespace

TEST(Loading, SamePictureAsTheLibraryGives)
{
	plainscreen sc;
	std::string jpeg = slurp(SOURCEDIR "/assets/galleri.jpg");
	ASSERT_GT(jpeg.size(), 1000u);
	// the last file's decoder reads past its end, as far as a truncated
	// picture needs and no further
	for (const std::string &bytes : { gif(2, 2, 0), jpeg, jpeg.substr(0, jpeg.size() * 6 / 10) }) {
		scratch d;
		d.picture(bytes);
		SDL_Surface *lib = IMG_Load(imf[0]);
		ASSERT_NE(lib, nullptr) << IMG_GetError();
		SDL_Surface *want = SDL_ConvertSurface(lib, s->format, 0);
		ASSERT_TRUE((ims[0] = loadim(imf[0]))) << SDL_GetError();
		EXPECT_EQ(ims[0]->w, want->w);
		EXPECT_EQ(ims[0]->h, want->h);
		EXPECT_TRUE(pixels(ims[0]) == pixels(want)) << bytes.size() << " bytes";
		EXPECT_TRUE(ims[0]->flags & SDL_SRCCOLORKEY);
		EXPECT_EQ(ims[0]->format->colorkey, SDL_MapRGB(ims[0]->format, 0, 0, 0));
		for (SDL_Surface *p : { lib, want, ims[0] })
			SDL_FreeSurface(p);
		ims[0] = nullptr;
	}
}

TEST(Loading, DecoderThatReadsOnPastTheEndIsGivenUp)
{
	// cut inside its comment, the GIF reader asks for the comment's next
	// block for ever
	scratch d;
	d.picture(gif(2, 2, 200).substr(0, 19 + 3 + 100));
	EXPECT_FALSE((ims[0] = loadim(imf[0])));
	EXPECT_NE(strstr(SDL_GetError(), "reads on past its end"), nullptr) << SDL_GetError();
}

TEST(Loading, FaultingDecoderIsGivenUpAndEverythingComesBack)
{
	// SDL refuses a surface 16384 wide, and the GIF reader writes through
	// the null it gets
	scratch d;
	d.picture(gif(16384, 2, 0));
	auto faulting = [] {
		EXPECT_FALSE((ims[0] = loadim(imf[0])));
		EXPECT_NE(strstr(SDL_GetError(), "faulted"), nullptr) << SDL_GetError();
	};

	// the handlers from before (the sanitizers' in their build) are back
	struct sigaction before[nfaults], after[nfaults];
	for (int i = 0; i < nfaults; i++)
		sigaction(faults[i], nullptr, &before[i]);
	ino_t out = inode(1), err = inode(2);
	faulting();
	for (int i = 0; i < nfaults; i++) {
		sigaction(faults[i], nullptr, &after[i]);
		EXPECT_EQ((void *)after[i].sa_handler, (void *)before[i].sa_handler) << "signal " << faults[i];
		EXPECT_EQ(after[i].sa_flags & flags, before[i].sa_flags & flags) << "signal " << faults[i];
	}
	sigset_t mask;
	sigprocmask(SIG_BLOCK, nullptr, &mask);
	EXPECT_FALSE(sigismember(&mask, SIGSEGV)) << "the fault's signal is left blocked";
	EXPECT_EQ(inode(1), out);
	EXPECT_EQ(inode(2), err);

	// and a later fault reaches the handler from before
	struct sigaction mine = {}, keep;
	mine.sa_handler = counted;
	ASSERT_EQ(sigaction(SIGSEGV, &mine, &keep), 0);
	faulting();
	segvs = 0;
	raise(SIGSEGV);
	EXPECT_EQ(segvs, 1) << "a later SIGSEGV does not reach the handler from before";
	sigaction(SIGSEGV, &keep, nullptr);
}

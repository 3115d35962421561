// A library preloaded into the show by the tests, and so into its decoders'
// program, which keeps what is preloaded but no other variable: it makes the
// picture's or the music's decoder misbehave as its own file's name says,
// "hostile.picture.abort.so", "hostile.music.spin.so", ... (a link to it
// under that name), or HOSTILE ("picture:abort") where that is set. The
// decoders run only in the decoders' program, so that is where it
// misbehaves:
//   abort      abort()
//   spin       loops for ever without reading
//   lockfault  takes the lock its allocator needs and faults holding it
//   deadlock   takes that lock a second time: it waits for ever, using no CPU
//   hog        allocates memory, 64 MiB at a time, up to 3 GiB, then
//              decodes; fails when it gets no more
//   open       creates "hostile.out" in the current directory, then decodes
//   write      writes to the descriptors 4 to 99 (any that the show might
//              have handed down), then decodes
//   short      answers with fewer bytes than it says, and ends
//   lie        says a terabyte follows, and ends
//   long       says a 2 x 2 picture follows in more bytes than it takes
//   negative   says a picture with -1 palette entries follows, 4 bytes short
// Otherwise it only passes the calls on.
#include "answer.h"
#include <SDL_image.h>
#include <SDL_mixer.h>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <string>
#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

// malloc and free: the next ones in line, behind a lock of their own that
// is taken only once a misbehaviour asks for it. dlsym may allocate while
// they are looked up; that comes from a static pool and is never freed.
static void *(*nextmalloc)(size_t);
static void (*nextfree)(void *);
static pthread_mutex_t heap = PTHREAD_MUTEX_INITIALIZER; // not recursive
static bool locking, resolving;
alignas(16) static char pool[1 << 14];
static size_t pooled;

static bool resolved()
{
	if (!nextmalloc && !resolving) {
		resolving = true;
		nextfree = (void (*)(void *))dlsym(RTLD_NEXT, "free");
		nextmalloc = (void *(*)(size_t))dlsym(RTLD_NEXT, "malloc");
		resolving = false;
	}
	return nextmalloc != nullptr;
}

extern "C" void *malloc(size_t n)
{
	if (!resolved()) {
		n = (n + 15) & ~(size_t)15;
		return pooled + n > sizeof pool ? nullptr : (pooled += n, pool + pooled - n);
	}
	if (locking)
		pthread_mutex_lock(&heap);
	void *p = nextmalloc(n);
	if (locking)
		pthread_mutex_unlock(&heap);
	return p;
}

extern "C" void free(void *p)
{
	if (!p || ((char *)p >= pool && (char *)p < pool + sizeof pool) || !resolved())
		return;
	if (locking)
		pthread_mutex_lock(&heap);
	nextfree(p);
	if (locking)
		pthread_mutex_unlock(&heap);
}

static int *volatile wild = (int *)64; // an address nothing is mapped at
static void *hoard;                   // what hog allocated, each block pointing to the one before

// misbehaves as HOSTILE asks for decoder ("picture" or "music"); false
// when the decoder is to fail, true when it is then to decode as usual
static bool misbehave(const char *decoder)
{
	std::string mode;
	if (const char *env = getenv("HOSTILE")) {
		mode = env;
	} else {
		// hostile.DECODER.HOW.so
		Dl_info self;
		std::string name = dladdr((void *)&misbehave, &self) && self.dli_fname ? self.dli_fname : "";
		name = name.substr(name.rfind('/') + 1);
		size_t dot = name.find('.'), last = name.rfind('.');
		if (name.rfind("hostile.", 0) == 0 && last > dot)
			mode = name.substr(dot + 1, last - dot - 1);
		std::replace(mode.begin(), mode.end(), '.', ':');
	}
	size_t n = strlen(decoder);
	if (mode.compare(0, n, decoder) != 0 || mode[n] != ':')
		return true;
	const char *how = mode.c_str() + n + 1;
	if (!strcmp(how, "abort")) {
		abort();
	} else if (!strcmp(how, "spin")) {
		for (;;)
			asm volatile("");
	} else if (!strcmp(how, "lockfault") || !strcmp(how, "deadlock")) {
		locking = true;
		pthread_mutex_lock(&heap);
		if (!strcmp(how, "deadlock"))
			pthread_mutex_lock(&heap);
		*wild = 1;
	} else if (!strcmp(how, "hog")) {
		constexpr size_t block = 64 << 20;
		for (size_t got = 0; got < ((size_t)3 << 30); got += block) {
			void **p = (void **)malloc(block);
			if (!p)
				return false;
			*p = hoard;
			hoard = p;
		}
	} else if (!strcmp(how, "open")) {
		int fd = open("hostile.out", O_WRONLY | O_CREAT, 0644);
		if (fd >= 0)
			close(fd);
	} else if (!strcmp(how, "write")) {
		for (int fd = decodefd + 1; fd < 100; fd++)
			if (write(fd, "hostile\n", 8) < 0)
				continue;
	} else if (!strcmp(how, "short") || !strcmp(how, "lie")) {
		uint64_t claim = !strcmp(how, "lie") ? (uint64_t)1 << 40 : 4096;
		if (write(decodefd, &claim, sizeof claim) == sizeof claim)
			syscall(SYS_exit_group, 0);
	} else if (!strcmp(how, "long") || !strcmp(how, "negative")) {
		// a 2 x 2 picture of 32 bits: a length of 2^30, and then only its
		// head and pixels; or an 8-bit one whose palette count is -1, with
		// one byte fewer a pixel than its length says (4 in all)
		bool neg = !strcmp(how, "negative");
		imhead h = { 2, 2, neg ? 8 : 32, neg ? -1 : 0, { 0xff0000, 0xff00, 0xff, 0 }, 0, 0, 255 };
		if (neg)
			h.masks[0] = h.masks[1] = h.masks[2] = 0;
		uint8_t px[16] = {};
		uint64_t what = saidpicture, claim = neg ? sizeof what + sizeof h + 4 - 4 * sizeof(SDL_Color) : (uint64_t)1 << 30;
		if (write(decodefd, &claim, sizeof claim) == sizeof claim && write(decodefd, &what, sizeof what) == sizeof what &&
		    write(decodefd, &h, sizeof h) == sizeof h && write(decodefd, px, neg ? 0 : sizeof px) >= 0)
			for (;;) // as long as the show may wait
				asm volatile("");
	}
	return true;
}

template <typename T> static T next(const char *name)
{
	return (T)dlsym(RTLD_NEXT, name);
}

extern "C" SDL_Surface *IMG_LoadTyped_RW(SDL_RWops *src, int freesrc, char *type)
{
	if (!misbehave("picture"))
		return nullptr;
	return next<SDL_Surface *(*)(SDL_RWops *, int, char *)>("IMG_LoadTyped_RW")(src, freesrc, type);
}

extern "C" Mix_Chunk *Mix_LoadWAV_RW(SDL_RWops *src, int freesrc)
{
	if (!misbehave("music"))
		return nullptr;
	return next<Mix_Chunk *(*)(SDL_RWops *, int)>("Mix_LoadWAV_RW")(src, freesrc);
}

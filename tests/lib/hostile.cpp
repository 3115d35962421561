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
//   open       creates "hostile.out" in the folder of the link, then decodes
//   write      writes to the descriptors 4 to 99 (any that the show might
//              have handed down), then decodes
//   thread     a thread started as the program starts, before it is
//              confined, creates "hostile.out" once the decoding begins
//   fork       a child forked as the program starts sleeps for ever; the
//              decoder then fails
//   signal     sends SIGTERM to the show
//   short      answers with fewer bytes than it says, and ends
//   lie        says a terabyte follows, and ends
//   long       says a 2 x 2 picture follows in more bytes than it takes
//   negative   says a picture of -2 x -2 follows, in as many bytes as that
//              would take, and sends them
//   zero       says a picture of 0 x 2 follows, and sends that
//   tall       says an 8192 x 8193 picture follows, in as many bytes
//   gib        says a gibibyte of samples follows (or of a picture)
//   largest    says an 8192 x 8192 picture follows, and waits
//   key, ones, overlap
//              answers with a paletted surface whose colour key is past its
//              palette, or a 32-bit one whose masks are all ones or overlap,
//              head, palette and pixels, as a surface's format would be sent
//   picture    answers a well-formed 2 x 2 picture (to a request for music)
//   trickle    answers a 64 x 64 picture (or samples), a byte every 50 ms
//   early      answers that it failed before it reads the file, and waits
//   worker     waits for ever inside libheif's decoding of a HEIC, once
//              libde265 has started its worker threads
// Otherwise it only passes the calls on.
#include "answer.h"
#include <SDL.h>
#include <SDL_image.h>
#include <SDL_mixer.h>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <string>
#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <time.h>
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

// the mode HOSTILE or the link's name gives, "picture:abort" say, and the
// folder of the link
static std::string mode, folder;
static bool indecoder;                // this is the decoders' program
static volatile bool decoding;        // the decoding has begun

static void nap(long ms)
{
	struct timespec t = { ms / 1000, ms % 1000 * 1000000 };
	nanosleep(&t, nullptr);
}

// what mode asks of the decoder for ("picture" or "music"); null for nothing
static const char *asked(const char *decoder)
{
	size_t n = strlen(decoder);
	if (!indecoder || mode.compare(0, n, decoder) != 0 || mode[n] != ':')
		return nullptr;
	return mode.c_str() + n + 1;
}

static std::string which;             // the decoder this program is: its first argument

// whether mode asks this decoder for how
static bool is(const char *how)
{
	const char *mine = asked(which.c_str());
	return mine && !strcmp(mine, how);
}

static void sendall(const void *p, size_t n)
{
	for (size_t at = 0; at < n;) {
		ssize_t put = write(decodefd, (const char *)p + at, n - at);
		if (put <= 0)
			return;
		at += put;
	}
}

// an answer's length, what it holds and a picture's size
static void head(uint64_t len, uint64_t what, int32_t w = 0, int32_t h = 0)
{
	uint64_t hd[2] = { len, what };
	int32_t size[2] = { w, h };
	sendall(hd, sizeof hd);
	if (what == saidpicture)
		sendall(size, sizeof size);
}

[[noreturn]] static void forever()
{
	for (;;)
		nap(1000);
}

// as the program starts, after the strings above are made
static void start()
{
	if (const char *env = getenv("HOSTILE")) {
		mode = env;
	} else {
		// hostile.DECODER.HOW.so
		Dl_info self;
		std::string name = dladdr((void *)&start, &self) && self.dli_fname ? self.dli_fname : "";
		folder = name.substr(0, name.rfind('/'));
		name = name.substr(name.rfind('/') + 1);
		size_t dot = name.find('.'), last = name.rfind('.');
		if (name.rfind("hostile.", 0) == 0 && last > dot)
			mode = name.substr(dot + 1, last - dot - 1);
		std::replace(mode.begin(), mode.end(), '.', ':');
	}
	char exe[4096];
	ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
	exe[n > 0 ? n : 0] = 0;
	indecoder = strstr(exe, "/brindlewock-decode") != nullptr;
	// its arguments, "brindlewock-decode\0picture\0..."
	if (FILE *f = indecoder ? fopen("/proc/self/cmdline", "rb") : nullptr) {
		char args[256] = {};
		size_t got = fread(args, 1, sizeof args - 1, f);
		fclose(f);
		if (got > strlen(args) + 1)
			which = args + strlen(args) + 1;
	}
	if (is("thread")) {
		pthread_t t;
		pthread_create(&t, nullptr, [](void *) -> void * {
			while (!decoding)
				nap(1);
			int fd = open((folder + "/hostile.out").c_str(), O_WRONLY | O_CREAT, 0644);
			if (fd >= 0)
				close(fd);
			return nullptr;
		}, nullptr);
	} else if (is("fork") && fork() == 0) {
		forever();
	}
}

static const bool started = (start(), true);

// the first read of the file: where an early answer is given
extern "C" ssize_t read(int fd, void *p, size_t n)
{
	static bool once;
	if (fd == decodefd && is("early") && !once) {
		once = true;
		const char words[] = "hostile: answered early";
		head(sizeof(uint64_t) + sizeof words - 1, saidfailed);
		sendall(words, sizeof words - 1);
		forever();
	}
	return syscall(SYS_read, fd, p, n);
}

// misbehaves as the mode asks for decoder ("picture" or "music"); false
// when the decoder is to fail, true when it is then to decode as usual
static bool misbehave(const char *decoder)
{
	const char *how = asked(decoder);
	if (!how)
		return true;
	uint64_t want = !strcmp(decoder, "picture") ? saidpicture : saidmusic;
	decoding = true;
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
		int fd = open((folder + "/hostile.out").c_str(), O_WRONLY | O_CREAT, 0644);
		if (fd >= 0)
			close(fd);
	} else if (!strcmp(how, "write")) {
		for (int fd = decodefd + 1; fd < 100; fd++)
			if (write(fd, "hostile\n", 8) < 0)
				continue;
	} else if (!strcmp(how, "thread")) {
		nap(2000); // the thread's time to try
	} else if (!strcmp(how, "fork")) {
		return false;              // the child sleeps on
	} else if (!strcmp(how, "signal")) {
		kill(getppid(), SIGTERM);
	} else if (!strcmp(how, "short") || !strcmp(how, "lie")) {
		uint64_t claim = !strcmp(how, "lie") ? (uint64_t)1 << 40 : 4096;
		if (write(decodefd, &claim, sizeof claim) == sizeof claim)
			syscall(SYS_exit_group, 0);
	} else if (!strcmp(how, "long")) {
		uint8_t px[16] = {};
		head((uint64_t)1 << 30, want, 2, 2);
		sendall(px, sizeof px);
		forever(); // as long as the show may wait
	} else if (!strcmp(how, "negative") || !strcmp(how, "zero")) {
		bool neg = !strcmp(how, "negative");
		uint8_t px[16] = {};
		head(8 + 8 + (neg ? 16 : 0), want, neg ? -2 : 0, neg ? -2 : 2);
		sendall(px, neg ? 16 : 0);
		forever();
	} else if (!strcmp(how, "tall")) {
		head(8 + 8 + (uint64_t)maxside * (maxside + 1) * 4, want, maxside, maxside + 1);
		forever();
	} else if (!strcmp(how, "largest")) {
		head(8 + 8 + (uint64_t)maxside * maxside * 4, want, maxside, maxside);
		forever();
	} else if (!strcmp(how, "gib")) {
		head(8 + (want == saidpicture ? 8 : 0) + ((uint64_t)1 << 30), want, 16384, 16384);
		forever();
	} else if (!strcmp(how, "key") || !strcmp(how, "ones") || !strcmp(how, "overlap")) {
		// a surface's head as it would be sent: size, bits, palette
		// entries, masks, flags, key and alpha, then palette and pixels
		bool key = !strcmp(how, "key"), ones = !strcmp(how, "ones");
		uint32_t m = ones ? 0xffffffff : 0xffff00;
		int32_t f[12] = { 2, 2, key ? 8 : 32, key ? 1 : 0, (int32_t)(key ? 0 : m), (int32_t)(key ? 0 : m),
		                  (int32_t)(key ? 0 : 0xff), 0, SDL_SRCCOLORKEY, key ? 0x7fffffff : 0, 255, 0 };
		uint8_t px[16 + 4] = { 1, 2, 3, 0 };
		uint64_t len = sizeof want + sizeof f + (key ? 4 + 4 : 16);
		uint64_t hd[2] = { len, want };
		sendall(hd, sizeof hd);
		sendall(f, sizeof f);
		sendall(px, key ? 8 : 16);
		forever();
	} else if (!strcmp(how, "picture")) {
		uint8_t px[16] = {};
		head(8 + 8 + sizeof px, saidpicture, 2, 2);
		sendall(px, sizeof px);
		forever();
	} else if (!strcmp(how, "trickle")) {
		constexpr int side = 64;
		head(8 + (want == saidpicture ? 8 : 0) + side * side * 4, want, side, side);
		for (int i = 0; i < side * side * 4; i++) {
			sendall("\x40", 1);
			nap(50);
		}
		forever();
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

static bool refused;                  // the decoder was to fail: its other readers fail too

extern "C" Mix_Chunk *Mix_LoadWAV_RW(SDL_RWops *src, int freesrc)
{
	if (!misbehave("music")) {
		refused = true;
		return nullptr;
	}
	return next<Mix_Chunk *(*)(SDL_RWops *, int)>("Mix_LoadWAV_RW")(src, freesrc);
}

// FFmpeg's reader of music, where the mixer's failed at the mode's asking
extern "C" int avformat_open_input(void **ctx, const char *url, void *fmt, void **opts)
{
	if (refused)
		return -22;
	return next<int (*)(void **, const char *, void *, void **)>("avformat_open_input")(ctx, url, fmt, opts);
}

// libde265's, as libheif starts its decoder for a HEIC
extern "C" int de265_start_worker_threads(void *ctx, int n)
{
	// libheif 1.16 and later load libde265 through a plugin of their own,
	// out of the program's global scope
	auto start = next<int (*)(void *, int)>("de265_start_worker_threads");
	if (!start)
		if (void *lib = dlopen("libde265.so.0", RTLD_LAZY | RTLD_NOLOAD))
			start = (int (*)(void *, int))dlsym(lib, "de265_start_worker_threads");
	if (!start)
		abort();
	int r = start(ctx, n);
	if (is("worker"))
		forever();
	return r;
}

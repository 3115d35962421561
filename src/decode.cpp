/*
 * brindlewock-decode: decodes one file for the show, in a process that
 * shares nothing with it. The show starts it for the picture or the music
 * (answer.h says how it is asked and how it answers) with an empty
 * environment but for where the libraries are, /dev/null for its standard
 * streams, one socket to the show, and a process group of its own, so
 * that the terminal's Ctrl-C reaches the show alone.
 *
 * Before it reads a byte of the file, it starts the libraries that decode
 * (SDL_image's and SDL_mixer's codecs are linked, not loaded when first
 * used; the mixer converts to the show's format on SDL's dummy audio
 * driver), limits its memory, CPU time and files, and puts itself under a
 * seccomp filter that lets it allocate, compute, read and write its
 * socket, and end; no file, no socket, no new process. The show checks
 * every size in the answer, and kills the program when it has not answered
 * in time. Not a program for people: it says nothing on its standard
 * streams, and its exit status means nothing.
 */
#include "answer.h"
#include "own.h"

#include <SDL.h>
#include <SDL_image.h>
#include <SDL_mixer.h>
#include <pixman.h>
#include <sched.h>
#include <seccomp.h>
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <string>
#include <vector>

using bytes = std::vector<uint8_t>;

constexpr int maxshort = 1 << 16;     // short reads of a file before its decoder is given up ...
constexpr int64_t maxlack = 1 << 26;  // ... or bytes they lacked: more than a 4096 x 4096 picture holds
constexpr size_t roomleft = 64 << 20; // bytes: a failed decode that can't get this much ran out of memory
constexpr int mixchunk = 4096;        // samples per chunk of the dummy device, which plays nothing

#if defined(__SANITIZE_ADDRESS__)
// the sanitizers' build: libraries preloaded ahead of the sanitizer's
// runtime (the tests') are allowed, the process ends without the leak
// check, as it ends without exit handlers, and a fault ends it by its
// signal, as in the plain build
extern "C" const char *__asan_default_options()
{
	return "verify_asan_link_order=0:detect_leaks=0:allocator_may_return_null=1:handle_segv=0:handle_sigbus=0:handle_sigfpe=0:handle_sigill=0";
}
#endif

static bytes answer;                  // what is sent: its length, then what it holds

// sends answer and ends; a write that can't be made ends it all the same,
// and the show sees a short answer
[[noreturn]] static void sendanswer()
{
	uint64_t n = answer.size() - sizeof n;
	memcpy(answer.data(), &n, sizeof n);
	for (size_t at = 0; at < answer.size();) {
		ssize_t put = write(decodefd, answer.data() + at, answer.size() - at);
		if (put < 0 && errno == EINTR)
			continue;
		if (put <= 0)
			break;
		at += put;
	}
	// no exit handlers, no sanitizers' exit checks: the process just ends
	syscall(SYS_exit_group, 0);
	__builtin_unreachable();
}

static void put(const void *p, size_t n)
{
	answer.insert(answer.end(), (const uint8_t *)p, (const uint8_t *)p + n);
}

// starts the answer anew with what it holds
static void begin(uint64_t what)
{
	answer.assign(sizeof(uint64_t), 0);
	put(&what, sizeof what);
}

// answers that decoding failed, and why: that the memory ran out, where it
// has, else the library's words
[[noreturn]] static void failed(const char *why)
{
	void *room = malloc(roomleft);
	if (!room)
		why = saidnomemory;
	free(room);
	std::string words(why, std::min(strlen(why), maxsaid));
	answer.clear();
	begin(saidfailed);
	put(words.data(), words.size());
	sendanswer();
}

// The memory stream's reads are counted: some decoders ignore a short read
// at the end of a file and go on parsing what their buffers held before,
// round and round, and once a decoder has read past the end more, in
// either count, than any picture needs (a decoder that reads row by row
// makes one short read per missing row), it is given up at once rather
// than when its CPU time runs out.
static int nshort;                    // reads that came back short ...
static int64_t nlack;                 // ... and the bytes they lacked
static int (*memread)(SDL_RWops *, void *, int, int); // the memory stream's own read

static int guardread(SDL_RWops *rw, void *p, int size, int n)
{
	int got = memread(rw, p, size, n);
	if (got < n) {
		nlack += (int64_t)size * (n - (got > 0 ? got : 0));
		if (++nshort > maxshort || nlack > maxlack)
			failed("the file is damaged: its decoder reads on past its end");
	}
	return got;
}

// the file's bytes as a read stream that gives a runaway decoder up
static SDL_RWops *guarded(const bytes &file)
{
	SDL_RWops *rw = SDL_RWFromConstMem(file.data(), (int)file.size());
	if (rw) {
		memread = rw->read;
		rw->read = guardread;
	}
	return rw;
}

// the seccomp filter: what decoding from memory needs, and no more; false when it can't be set
static bool confine()
{
	scmp_filter_ctx f = seccomp_init(SCMP_ACT_KILL_PROCESS);
	if (!f)
		return false;
	// memory, never executable
	int rc = 0;
	for (int call : { SCMP_SYS(brk), SCMP_SYS(munmap), SCMP_SYS(mremap), SCMP_SYS(madvise) })
		rc |= seccomp_rule_add(f, SCMP_ACT_ALLOW, call, 0);
	for (int call : { SCMP_SYS(mmap), SCMP_SYS(mprotect) })
		rc |= seccomp_rule_add(f, SCMP_ACT_ALLOW, call, 1, SCMP_A2(SCMP_CMP_MASKED_EQ, PROT_EXEC, 0));
	// locks, clocks, sleeps (the dummy audio device's thread waits out each
	// chunk it would play), signal masks, the end of a thread and of the
	// process, and the size of the memory, which qsort asks for
	for (int call : { SCMP_SYS(futex), SCMP_SYS(sched_yield), SCMP_SYS(clock_gettime), SCMP_SYS(gettimeofday),
	                  SCMP_SYS(nanosleep), SCMP_SYS(clock_nanosleep), SCMP_SYS(getpid), SCMP_SYS(gettid),
	                  SCMP_SYS(rt_sigprocmask), SCMP_SYS(rt_sigreturn), SCMP_SYS(close), SCMP_SYS(exit),
	                  SCMP_SYS(exit_group), SCMP_SYS(sysinfo) })
		rc |= seccomp_rule_add(f, SCMP_ACT_ALLOW, call, 0);
	// HEVC's decoder, which libheif starts with a worker thread of its own
	// and no setting against it, may start threads and nothing else: a
	// thread is under the filter from its birth. clone3, whose flags a
	// filter can't see, fails, and the C library falls back to clone.
	rc |= seccomp_rule_add(f, SCMP_ACT_ALLOW, SCMP_SYS(clone), 1, SCMP_A0(SCMP_CMP_MASKED_EQ, CLONE_THREAD, CLONE_THREAD));
	rc |= seccomp_rule_add(f, SCMP_ACT_ERRNO(ENOSYS), SCMP_SYS(clone3), 0);
	for (int call : { SCMP_SYS(set_robust_list), SCMP_SYS(rseq) })
		rc |= seccomp_rule_add(f, SCMP_ACT_ALLOW, call, 0);
	// the C library's first thread sets its handler of the real-time
	// signal it keeps for itself (the threads' common ids), and no other
	rc |= seccomp_rule_add(f, SCMP_ACT_ALLOW, SCMP_SYS(rt_sigaction), 1, SCMP_A0(SCMP_CMP_EQ, (scmp_datum_t)__SIGRTMIN + 1));
	// the sanitizers' allocator asks which signal stack it is on
	rc |= seccomp_rule_add(f, SCMP_ACT_ALLOW, SCMP_SYS(sigaltstack), 1, SCMP_A0(SCMP_CMP_EQ, 0));
	// abort() signals itself, and nothing else
	rc |= seccomp_rule_add(f, SCMP_ACT_ALLOW, SCMP_SYS(tgkill), 1, SCMP_A0(SCMP_CMP_EQ, (scmp_datum_t)getpid()));
	// the file in, the answer out; what a library prints (or stdio's look at
	// the stream first) fails quietly, as writes to a full disk would
	rc |= seccomp_rule_add(f, SCMP_ACT_ALLOW, SCMP_SYS(read), 1, SCMP_A0(SCMP_CMP_EQ, decodefd));
	for (int call : { SCMP_SYS(write), SCMP_SYS(writev) }) {
		rc |= seccomp_rule_add(f, SCMP_ACT_ALLOW, call, 1, SCMP_A0(SCMP_CMP_EQ, decodefd));
		for (int fd : { 1, 2 })
			rc |= seccomp_rule_add(f, SCMP_ACT_ERRNO(EBADF), call, 1, SCMP_A0(SCMP_CMP_EQ, (scmp_datum_t)fd));
	}
	for (int call : { SCMP_SYS(fstat), SCMP_SYS(newfstatat) })
		rc |= seccomp_rule_add(f, SCMP_ACT_ERRNO(EBADF), call, 0);
	rc |= seccomp_load(f);
	seccomp_release(f);
	return rc == 0;
}

// the address space the process has now, in bytes; -1 if it can't be read
static int64_t addressspace()
{
	FILE *f = fopen("/proc/self/statm", "r");
	long long pages = -1;
	if (f) {
		if (fscanf(f, "%lld", &pages) != 1)
			pages = -1;
		fclose(f);
	}
	return pages < 0 ? -1 : pages * sysconf(_SC_PAGESIZE);
}

// the limits and the filter; false when any can't be set. The address
// space is capped at what the process has plus maxmem: a fixed cap would
// break the sanitizers' build, which reserves terabytes of address space
// for its shadow memory at start.
static bool limit()
{
	int64_t space = addressspace();
	struct rlimit cpu = { maxcpu, maxcpu + 1 }, as = { (rlim_t)(space + maxmem), (rlim_t)(space + maxmem) },
	              zero = { 0, 0 };
	return space > 0 && setrlimit(RLIMIT_CPU, &cpu) == 0 && setrlimit(RLIMIT_AS, &as) == 0 &&
	       setrlimit(RLIMIT_CORE, &zero) == 0 && setrlimit(RLIMIT_FSIZE, &zero) == 0 && confine();
}

// reads n bytes from the socket into p; false at its end or an error
static bool readall(void *p, size_t n)
{
	for (uint8_t *at = (uint8_t *)p; n;) {
		ssize_t got = read(decodefd, at, n);
		if (got < 0 && errno == EINTR)
			continue;
		if (got <= 0)
			return false;
		at += got;
		n -= got;
	}
	return true;
}

// The picture.

static const char *imtype;            // the file's type, as its extension names it; null for none

// Whether file is a PNG with a chunk ahead of the picture's data that runs
// past the end of the file. The PNG library allocates and clears a buffer
// of the length a chunk claims, up to 2 GiB, before it reads the chunk and
// finds it short; the picture's data would then have to come from past the
// end, so such a file can only fail, and it is refused before it is decoded.
static bool pngrunsout(const bytes &file)
{
	static const uint8_t sig[8] = { 0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n' };
	if (file.size() < 8 || memcmp(file.data(), sig, 8) != 0)
		return false;
	for (uint64_t at = 8; at + 8 <= file.size();) {
		const uint8_t *head = file.data() + at;
		if (memcmp(head + 4, "IDAT", 4) == 0)
			return false;
		at += ((uint64_t)head[0] << 24 | head[1] << 16 | head[2] << 8 | head[3]) + 12; // length, type, data and check
		if (at > file.size())
			return true;
	}
	return false;
}

// A picture of one's own, a camera's photo say, is made to fit the place of
// the show's own picture, whose size was chosen to leave the fire its room
// under it: one larger either way is scaled down, keeping its aspect ratio,
// by s = min(fitw / w, fith / h), to round(w s) x round(h s) (at least 1);
// a smaller one keeps its size. The show's black is transparent, so the
// picture is answered as 32-bit pixels without alpha in which black is
// where it is transparent (alpha 0, or its colour key) and nowhere else: a
// photo's own pure black is lifted to (1, 1, 1). The web page fits a
// picture by the same rule and box.
constexpr int fitw = 544, fith = 304; // the box: the show's own picture's size
constexpr int fitsub = 4;             // bits of the filter's subpixel positions
static bool fitown;                   // the picture is one's own: fit it

// pixel (x, y) of p as premultiplied 0xAARRGGBB; alpha 0 where p's colour key is
static uint32_t premul(SDL_Surface *p, int x, int y)
{
	int bpp = p->format->BytesPerPixel;
	const uint8_t *at = (const uint8_t *)p->pixels + (size_t)y * p->pitch + (size_t)x * bpp;
	uint32_t v = 0;
	memcpy(&v, at, bpp); // a little-endian machine: the low bytes are the pixel's
	if ((p->flags & SDL_SRCCOLORKEY) && v == p->format->colorkey)
		return 0;
	Uint8 r, g, b, a;
	SDL_GetRGBA(v, p->format, &r, &g, &b, &a);
	auto mul = [a](uint32_t c) { return (c * a + 127) / 255; };
	return (uint32_t)a << 24 | mul(r) << 16 | mul(g) << 8 | mul(b);
}

// p, a picture of wholew x wholeh decoded at its size or smaller, fitted as
// above, as a 32-bit surface without alpha; null without memory
static SDL_Surface *fitpicture(SDL_Surface *p, int wholew, int wholeh)
{
	int w = p->w, h = p->h, nw, nh;
	fitsize(wholew, wholeh, fitw, fith, nw, nh);
	std::vector<uint32_t> in((size_t)w * h), out((size_t)nw * nh);
	SDL_LockSurface(p);
	for (int y = 0; y < h; y++)
		for (int x = 0; x < w; x++)
			in[(size_t)y * w + x] = premul(p, x, y);
	SDL_UnlockSurface(p);
	if (nw == w && nh == h) {
		out.swap(in);
	} else {
		// a separable filter as wide as the scale: every pixel of the photo
		// counts, and none aliases
		pixman_image_t *src = pixman_image_create_bits(PIXMAN_a8r8g8b8, w, h, in.data(), w * 4);
		pixman_image_t *dst = pixman_image_create_bits(PIXMAN_a8r8g8b8, nw, nh, out.data(), nw * 4);
		pixman_fixed_t sx = pixman_double_to_fixed((double)w / nw), sy = pixman_double_to_fixed((double)h / nh);
		int n = 0;
		pixman_fixed_t *filter = pixman_filter_create_separable_convolution(
			&n, sx, sy, PIXMAN_KERNEL_BOX, PIXMAN_KERNEL_BOX, PIXMAN_KERNEL_LINEAR, PIXMAN_KERNEL_LINEAR, fitsub, fitsub);
		pixman_transform_t t;
		pixman_transform_init_scale(&t, sx, sy);
		bool ok = src && dst && filter && pixman_image_set_transform(src, &t) &&
		          pixman_image_set_filter(src, PIXMAN_FILTER_SEPARABLE_CONVOLUTION, filter, n);
		if (ok) {
			pixman_image_set_repeat(src, PIXMAN_REPEAT_PAD);
			pixman_image_composite32(PIXMAN_OP_SRC, src, nullptr, dst, 0, 0, 0, 0, 0, 0, nw, nh);
		}
		free(filter);
		if (src)
			pixman_image_unref(src);
		if (dst)
			pixman_image_unref(dst);
		if (!ok)
			return nullptr;
	}
	SDL_Surface *fit = SDL_CreateRGBSurface(SDL_SWSURFACE, nw, nh, 32, 0xff0000, 0xff00, 0xff, 0);
	if (!fit)
		return nullptr;
	for (int y = 0; y < nh; y++) {
		uint32_t *row = (uint32_t *)((uint8_t *)fit->pixels + (size_t)y * fit->pitch);
		for (int x = 0; x < nw; x++) {
			uint32_t v = out[(size_t)y * nw + x], a = v >> 24;
			auto unmul = [a](uint32_t c) { return std::min<uint32_t>(255, (c * 255 + a / 2) / a); };
			uint32_t rgb = a ? unmul(v >> 16 & 0xff) << 16 | unmul(v >> 8 & 0xff) << 8 | unmul(v & 0xff) : 0;
			row[x] = !a ? 0 : rgb ? rgb : 0x010101;
		}
	}
	return fit;
}

static void imdecode(const bytes &file)
{
	if (pngrunsout(file))
		failed("the file is damaged: a chunk runs past its end");
	// a photo of one's own as photo.cpp reads it, where it knows its kind
	SDL_Surface *p = nullptr;
	int wholew = 0, wholeh = 0;
	std::string why;
	if (fitown && !(p = photo(file, fitw, fith, wholew, wholeh, why)) && !why.empty())
		failed(("can't be read as a picture (" + why + "); kinds read: " + photokinds).c_str());
	if (!p) {
		if (!(p = IMG_LoadTyped_RW(guarded(file), 1, (char *)imtype)))
			failed(fitown ? ("can't be read as a picture (" + std::string(IMG_GetError()) + "); kinds read: " + photokinds).c_str()
			              : IMG_GetError());
		wholew = p->w;
		wholeh = p->h;
	}
	if (fitown && (wholew > maxside || wholeh > maxside))
		failed(("can't be shown: " + std::to_string(wholew) + " x " + std::to_string(wholeh) + " pixels, larger than " + std::to_string(maxside) + " on a side").c_str());
	if (fitown && !(p = fitpicture(p, wholew, wholeh)))
		failed(saidnomemory);
	SDL_PixelFormat *f = p->format;
	imhead h = { p->w, p->h, f->BitsPerPixel, f->palette ? f->palette->ncolors : 0,
	             { f->Rmask, f->Gmask, f->Bmask, f->Amask },
	             p->flags & (SDL_SRCCOLORKEY | SDL_SRCALPHA | SDL_RLEACCELOK), f->colorkey, f->alpha };
	begin(saidpicture);
	put(&h, sizeof h);
	if (h.ncolors > 0)
		put(f->palette->colors, (size_t)h.ncolors * sizeof *f->palette->colors);
	for (int y = 0; y < p->h; y++)
		put((const uint8_t *)p->pixels + (size_t)y * p->pitch, (size_t)p->w * f->BytesPerPixel);
}

// The music, converted to the show's mixer's format, which the mixer takes
// from the device it opened: here SDL's dummy device, opened with that
// format, which it keeps.

static bool musopen(int rate, int format, int chans)
{
	setenv("SDL_AUDIODRIVER", "dummy", 1);
	int r = 0, c = 0;
	Uint16 fmt = 0;
	if (SDL_Init(SDL_INIT_AUDIO | SDL_INIT_NOPARACHUTE) < 0 || Mix_OpenAudio(rate, format, chans, mixchunk) < 0)
		return false;
	SDL_PauseAudio(1);
	Mix_Init(MIX_INIT_OGG | MIX_INIT_FLAC);
	return Mix_QuerySpec(&r, &fmt, &c) && r == rate && fmt == format && c == chans;
}

// SDL_mixer's own samples where it reads the file and need not change its
// rate (its converter on the classic runtime changes rates only by powers
// of two), and the song is no longer than what is decoded of it; FFmpeg's,
// resampled, for the rest
static void musdecode(const bytes &file, int rate, Uint16 format, int chans)
{
	int srate = 0;
	double secs = 0;
	bool known = songinfo(file, srate, secs);
	if (!known || (srate == rate && secs > 0 && secs <= songsecs)) {
		if (Mix_Chunk *c = Mix_LoadWAV_RW(guarded(file), 1)) {
			begin(saidmusic);
			put(c->abuf, c->alen);
			return;
		}
	}
	bytes samples;
	std::string why;
	if (!song(file, rate, format, chans, samples, why))
		failed(("can't be read as music (" + why + "); kinds read: " + songkinds).c_str());
	begin(saidmusic);
	put(samples.data(), samples.size());
}

int main(int argc, char **argv)
{
	prctl(PR_SET_PDEATHSIG, SIGKILL);
	prctl(PR_SET_DUMPABLE, 0);
	// nothing but the standard streams and the socket, whatever was handed down
	close_range(decodefd + 1, ~0U, 0);
	bool picture = (argc == 3 || (argc == 4 && !strcmp(argv[3], "own"))) && !strcmp(argv[1], "picture");
	bool music = argc == 5 && !strcmp(argv[1], "music");
	if (!picture && !music)
		return 2;
	if (picture) {
		imtype = argv[2][0] ? argv[2] : nullptr;
		fitown = argc == 4;
		IMG_Init(IMG_INIT_JPG | IMG_INIT_PNG | IMG_INIT_TIF | IMG_INIT_WEBP);
	} else if (!musopen(atoi(argv[2]), atoi(argv[3]), atoi(argv[4]))) {
		failed("the show's sound format can't be had");
	}
	// never decode unconfined
	if (!limit())
		syscall(SYS_exit_group, 1);
	uint64_t n = 0;
	bytes file;
	if (!readall(&n, sizeof n) || n > (uint64_t)maxfile)
		syscall(SYS_exit_group, 1);
	file.resize(n);
	if (!readall(file.data(), n))
		syscall(SYS_exit_group, 1);
	if (picture)
		imdecode(file);
	else
		musdecode(file, atoi(argv[2]), (Uint16)atoi(argv[3]), atoi(argv[4]));
	sendanswer();
}

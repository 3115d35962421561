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
 * driver), limits its memory, CPU time and files, and puts every thread it
 * has (the dummy audio device's among them) under a seccomp filter that
 * lets it allocate, compute, read and write its socket, and end; no file,
 * no socket, no new process, no signal to another. It decodes nothing
 * unless the filter is seen to hold in every thread. The picture goes back
 * in the screen's own format, so that the show has only a size to check;
 * and the show kills the program's whole process group when it is done
 * with it. Not a program for people: it says nothing on its standard
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
#include <dirent.h>
#include <fcntl.h>
#include <initializer_list>
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

// Sends the answer: its length, what it holds, then the parts, and ends.
// A write that can't be made ends it all the same, and the show sees a
// short answer.
struct part {
	const void *p;
	size_t n;
};

[[noreturn]] static void sendanswer(uint64_t what, std::initializer_list<part> parts)
{
	uint64_t head[2] = { sizeof what, what };
	for (const part &at : parts)
		head[0] += at.n;
	std::vector<part> all{ { head, sizeof head } };
	all.insert(all.end(), parts);
	for (const part &at : all)
		for (size_t done = 0; done < at.n;) {
			ssize_t put = write(decodefd, (const uint8_t *)at.p + done, at.n - done);
			if (put < 0 && errno == EINTR)
				continue;
			if (put <= 0)
				syscall(SYS_exit_group, 1);
			done += put;
		}
	// no exit handlers, no sanitizers' exit checks: the process just ends
	syscall(SYS_exit_group, 0);
	__builtin_unreachable();
}

// answers that decoding failed, and why: that the memory ran out, where it
// has, else the library's words
[[noreturn]] static void failed(const char *why)
{
	void *room = malloc(roomleft);
	if (!room)
		why = saidnomemory;
	free(room);
	sendanswer(saidfailed, { { why, std::min(strlen(why), maxsaid) } });
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

// The threads' status files, opened before the filter goes on (it lets
// nothing be opened after) and read after, to see it on every one.
struct tasks {
	std::vector<int> fds;             // each thread's status
	int all = -1;                     // the process's, for its count of threads
};

static tasks opentasks()
{
	tasks t;
	t.all = open("/proc/self/status", O_RDONLY | O_CLOEXEC);
	if (DIR *d = opendir("/proc/self/task")) {
		while (dirent *e = readdir(d))
			if (e->d_name[0] != '.')
				t.fds.push_back(open(("/proc/self/task/" + std::string(e->d_name) + "/status").c_str(),
				                     O_RDONLY | O_CLOEXEC));
		closedir(d);
	}
	return t;
}

// the value of field ("Seccomp:") in the status file fd, read whole; -1 if none
static long statusfield(int fd, const char *field)
{
	char buf[8192];
	size_t n = 0;
	for (ssize_t got; n < sizeof buf - 1 && (got = read(fd, buf + n, sizeof buf - 1 - n)) > 0;)
		n += got;
	buf[n] = 0;
	const char *at = strstr(buf, field);
	return at ? strtol(at + strlen(field), nullptr, 10) : -1;
}

// whether every thread runs under the filter with no new privileges, and
// no thread was started that was not counted
static bool confinedall(const tasks &t)
{
	bool ok = t.all >= 0 && statusfield(t.all, "\nThreads:") == (long)t.fds.size() && !t.fds.empty();
	for (int fd : t.fds)
		ok = ok && fd >= 0 && statusfield(fd, "\nSeccomp:") == 2;
	for (int fd : t.fds)
		close(fd);
	close(t.all);
	return ok;
}

// the seccomp filter: what decoding from memory needs, and no more, on
// every thread at once; false when it can't be set
static bool confine(const tasks &t)
{
	scmp_filter_ctx f = seccomp_init(SCMP_ACT_KILL_PROCESS);
	if (!f)
		return false;
	// every thread, or none: a thread a library started before (the dummy
	// audio device's) is confined as the one that decodes
	int rc = seccomp_attr_set(f, SCMP_FLTATR_CTL_TSYNC, 1);
	// memory, never executable
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
	// what a thread does as it starts, where one a library started has not
	// yet got so far: its restartable sequences and robust locks, its own
	// name and how it is scheduled; a higher priority is refused, not fatal
	for (int call : { SCMP_SYS(rseq), SCMP_SYS(set_robust_list), SCMP_SYS(sched_getscheduler), SCMP_SYS(sched_getparam) })
		rc |= seccomp_rule_add(f, SCMP_ACT_ALLOW, call, 0);
	rc |= seccomp_rule_add(f, SCMP_ACT_ALLOW, SCMP_SYS(prctl), 1, SCMP_A0(SCMP_CMP_EQ, PR_SET_NAME));
	for (int call : { SCMP_SYS(setpriority), SCMP_SYS(sched_setscheduler), SCMP_SYS(sched_setparam) })
		rc |= seccomp_rule_add(f, SCMP_ACT_ERRNO(EPERM), call, 0);
	// HEVC's decoder, which libheif starts with a worker thread of its own
	// and no setting against it, may start threads and nothing else: a
	// thread is under the filter from its birth. clone3, whose flags a
	// filter can't see, fails, and the C library falls back to clone.
	rc |= seccomp_rule_add(f, SCMP_ACT_ALLOW, SCMP_SYS(clone), 1, SCMP_A0(SCMP_CMP_MASKED_EQ, CLONE_THREAD, CLONE_THREAD));
	rc |= seccomp_rule_add(f, SCMP_ACT_ERRNO(ENOSYS), SCMP_SYS(clone3), 0);
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
	// the threads' status files, read once to see the filter on each
	for (int fd : t.fds)
		rc |= seccomp_rule_add(f, SCMP_ACT_ALLOW, SCMP_SYS(read), 1, SCMP_A0(SCMP_CMP_EQ, (scmp_datum_t)fd));
	if (t.all >= 0)
		rc |= seccomp_rule_add(f, SCMP_ACT_ALLOW, SCMP_SYS(read), 1, SCMP_A0(SCMP_CMP_EQ, (scmp_datum_t)t.all));
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

// sets limit what to soft and hard, or to the hard limit in force where
// that is lower: a user's own limit stands
static bool cap(int what, rlim_t soft, rlim_t hard)
{
	struct rlimit now;
	if (getrlimit(what, &now) != 0)
		return false;
	struct rlimit to = { std::min(soft, now.rlim_max), std::min(hard, now.rlim_max) };
	return setrlimit(what, &to) == 0;
}

// the limits and the filter; false when any can't be set. The address
// space is capped at what the process has plus maxmem: a fixed cap would
// break the sanitizers' build, which reserves terabytes of address space
// for its shadow memory at start.
static bool limit()
{
	int64_t space = addressspace();
	tasks t = opentasks();
	return space > 0 && cap(RLIMIT_CPU, maxcpu, maxcpu + 1) && cap(RLIMIT_AS, space + maxmem, space + maxmem) &&
	       cap(RLIMIT_CORE, 0, 0) && cap(RLIMIT_FSIZE, 0, 0) && confine(t) && confinedall(t);
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

static Uint32 screenmasks[3];         // the screen's red, green and blue

// p with a palette of all 256 entries, those it did not set black, so that
// a pixel whose index runs past its colours is black, and so transparent,
// on every runtime, where their own conversions differ (and the classic
// one reads past the palette); p itself where it has no palette to pad
static SDL_Surface *padded(SDL_Surface *p)
{
	SDL_Palette *pal = p->format->palette;
	if (!pal || p->format->BitsPerPixel != 8 || pal->ncolors >= 256)
		return p;
	SDL_Surface *q = SDL_CreateRGBSurface(SDL_SWSURFACE, p->w, p->h, 8, 0, 0, 0, 0);
	if (!q || !q->format->palette || q->format->palette->ncolors < 256)
		failed(saidnomemory);
	SDL_Color colors[256] = {};
	memcpy(colors, pal->colors, (size_t)std::max(pal->ncolors, 0) * sizeof *colors);
	SDL_SetColors(q, colors, 0, 256);
	for (int y = 0; y < p->h; y++)
		memcpy((uint8_t *)q->pixels + (size_t)y * q->pitch, (uint8_t *)p->pixels + (size_t)y * p->pitch, p->w);
	if (p->flags & SDL_SRCCOLORKEY)
		SDL_SetColorKey(q, p->flags & (SDL_SRCCOLORKEY | SDL_RLEACCELOK), p->format->colorkey);
	if ((p->flags & SDL_SRCALPHA) || p->format->alpha != q->format->alpha)
		SDL_SetAlpha(q, p->flags & (SDL_SRCALPHA | SDL_RLEACCELOK), p->format->alpha);
	SDL_FreeSurface(p);
	return q;
}

// Decodes the picture, fits it where it is one's own, and answers it in
// the screen's format, converted as the show would convert it.
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
	if (wholew > maxside || wholeh > maxside)
		failed(("can't be shown: " + std::to_string(wholew) + " x " + std::to_string(wholeh) + " pixels, larger than " + std::to_string(maxside) + " on a side").c_str());
	p = padded(p);
	if (fitown && !(p = fitpicture(p, wholew, wholeh)))
		failed(saidnomemory);
	SDL_Surface *screen = SDL_CreateRGBSurface(SDL_SWSURFACE, 1, 1, 32, screenmasks[0], screenmasks[1], screenmasks[2], 0);
	SDL_Surface *im = screen ? SDL_ConvertSurface(p, screen->format, 0) : nullptr;
	if (!im)
		failed(saidnomemory);
	SDL_FreeSurface(p);
	if (im->pitch != im->w * 4)
		failed("the picture can't be converted");
	int32_t size[2] = { im->w, im->h };
	sendanswer(saidpicture, { { size, sizeof size }, { im->pixels, (size_t)im->pitch * im->h } });
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
	if (!known || (srate == rate && secs > 0 && secs <= maxmusic)) {
		if (Mix_Chunk *c = Mix_LoadWAV_RW(guarded(file), 1)) {
			// what the show can play, and no more
			size_t most = (size_t)maxmusic * rate * chans * ((format & 0xff) / 8);
			sendanswer(saidmusic, { { c->abuf, std::min<size_t>(c->alen, most) } });
		}
	}
	bytes samples;
	std::string why;
	if (!song(file, rate, format, chans, samples, why))
		failed(("can't be read as music (" + why + "); kinds read: " + songkinds).c_str());
	sendanswer(saidmusic, { { samples.data(), samples.size() } });
}

int main(int argc, char **argv)
{
	prctl(PR_SET_PDEATHSIG, SIGKILL);
	prctl(PR_SET_DUMPABLE, 0);
	// nothing but the standard streams and the socket, whatever was handed down
	close_range(decodefd + 1, ~0U, 0);
	bool picture = (argc == 6 || (argc == 7 && !strcmp(argv[6], "own"))) && !strcmp(argv[1], "picture");
	bool music = argc == 5 && !strcmp(argv[1], "music");
	if (!picture && !music)
		return 2;
	if (picture) {
		imtype = argv[2][0] ? argv[2] : nullptr;
		for (int i = 0; i < 3; i++)
			screenmasks[i] = (Uint32)strtoul(argv[3 + i], nullptr, 0);
		fitown = argc == 7;
		IMG_Init(IMG_INIT_JPG | IMG_INIT_PNG | IMG_INIT_TIF | IMG_INIT_WEBP);
		photostart();
	} else if (!musopen(atoi(argv[2]), atoi(argv[3]), atoi(argv[4]))) {
		failed("the show's sound format can't be had");
	}
	// never decode unconfined, nor with a thread that is not
	if (!limit())
		failed("its decoder can't be confined");
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
}

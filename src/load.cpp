// Loading the two files. They come from outside and may be damaged or made
// to attack the libraries that decode them, and a decoder that crashes,
// aborts, loops or allocates without end inside the show would take the
// show, its screen and its sound with it. So the show only reads a file's
// bytes (a regular file, at most maxfile bytes) and hands them to a child
// process, forked for the one file, that decodes them from memory with the
// library calls the show would make and writes the result back through a
// pipe: the picture's format, palette, colour key, alpha and pixels, or the
// music's samples. The child runs under a seccomp filter that lets it
// allocate, compute, write to its pipe and exit, and nothing else (no file,
// no socket, no new process), with limits on its address space and CPU
// time; the show kills it when it has not answered in maxwait ms. The show
// checks every size in the answer before it builds its own surface or
// sample from it. Whatever goes wrong in the child, the show sees a failed
// load.
#include "load.h"
#include "frame.h"

#include <SDL_image.h>
#include <seccomp.h>
#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <string>
#include <vector>

using bytes = std::vector<uint8_t>;

constexpr int maxshort = 1 << 16;     // short reads of a file before its decoder is given up ...
constexpr int64_t maxlack = 1 << 26;  // ... or bytes they lacked: more than a 4096 x 4096 picture holds
constexpr size_t maxsaid = 200;       // bytes of a decoder's error message passed on
constexpr int pipesize = 1 << 20;     // bytes the answer's pipe holds at once, as the system allows

// what an answer holds, its first eight bytes
constexpr uint64_t saidpicture = 1;   // a picture: its head, palette and rows follow
constexpr uint64_t saidmusic = 2;     // music: its samples follow
constexpr uint64_t saidfailed = 3;    // the decoder failed: SDL's error message follows

// the picture's surface as the decoder left it, ahead of its palette and rows
struct imhead {
	int32_t w, h;
	int32_t bpp;                      // bits per pixel
	int32_t ncolors;                  // palette entries that follow, 0 without a palette
	uint32_t masks[4];                // red, green, blue, alpha
	uint32_t flags;                   // the decoder's SDL_SRCCOLORKEY, SDL_SRCALPHA and SDL_RLEACCELOK
	uint32_t colorkey;
	uint32_t alpha;                   // the surface's own alpha
};

// The show's side: reading the file, and the answer.

// the milliseconds of a clock that only goes forward, read by the system
// call itself so that a preloaded library that speeds up the process's
// clocks does not shorten the wait
static int64_t realms()
{
	struct timespec t;
	syscall(SYS_clock_gettime, CLOCK_MONOTONIC, &t);
	return (int64_t)t.tv_sec * 1000 + t.tv_nsec / 1000000;
}

// reads file whole into out; false, with SDL's error set, when it can't be
// opened, is not a regular file (a FIFO or a device would block or never
// end) or holds more than maxfile bytes
static bool slurp(const char *file, bytes &out)
{
	int fd = open(file, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
	if (fd < 0) {
		SDL_SetError("%s", strerror(errno));
		return false;
	}
	struct stat st;
	bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
	if (!ok)
		SDL_SetError("not a regular file");
	if (ok && st.st_size > maxfile) {
		SDL_SetError("larger than %d MiB", (int)(maxfile >> 20));
		ok = false;
	}
	// read to its end, which may have moved since fstat
	out.resize(ok ? st.st_size + 1 : 0);
	size_t n = 0;
	while (ok) {
		ssize_t got = read(fd, out.data() + n, out.size() - n);
		if (got < 0 && errno == EINTR)
			continue;
		if (got < 0) {
			SDL_SetError("%s", strerror(errno));
			ok = false;
		} else if (got == 0) {
			break;
		} else if ((n += got) == out.size()) {
			if ((int64_t)n > maxfile) {
				SDL_SetError("larger than %d MiB", (int)(maxfile >> 20));
				ok = false;
			} else {
				out.resize(n + (n >> 1) + 1);
			}
		}
	}
	close(fd);
	out.resize(n);
	return ok;
}

// reads n bytes from fd into p unless the time runs out at end (realms());
// false on a time-out, an error or the pipe's end
static bool readby(int fd, uint8_t *p, size_t n, int64_t end)
{
	while (n) {
		int64_t left = end - realms();
		if (left <= 0)
			return false;
		struct pollfd pf = { fd, POLLIN, 0 };
		struct timespec t = { (time_t)(left / 1000), (long)(left % 1000 * 1000000) };
		long r = syscall(SYS_ppoll, &pf, 1, &t, nullptr, 0);
		if (r < 0 && errno != EINTR)
			return false;
		if (r <= 0)
			continue;
		ssize_t got = read(fd, p, n);
		if (got < 0 && errno == EINTR)
			continue;
		if (got <= 0)
			return false;
		p += got;
		n -= got;
	}
	return true;
}

[[noreturn]] static void decoder(pid_t show, int pipefd, const bytes &file, void (*init)(), void (*decode)(const bytes &));

// Decodes file's bytes in a sandboxed child with decode, after init; the
// child's answer, or an empty one with SDL's error set when the child
// failed, was stopped or gave an answer that can't be right. The answer
// starts with what it holds: saidpicture, saidmusic or saidfailed.
static bytes sandboxed(const bytes &file, void (*init)(), void (*decode)(const bytes &))
{
	int p[2];
	if (pipe2(p, O_CLOEXEC) != 0) {
		SDL_SetError("no pipe for the decoder: %s", strerror(errno));
		return {};
	}
	// a larger pipe moves the answer in fewer turns; the default size does too
	fcntl(p[0], F_SETPIPE_SZ, pipesize);
	pid_t show = getpid(), pid = fork();
	if (pid == 0)
		decoder(show, p[1], file, init, decode);
	close(p[1]);
	if (pid < 0) {
		close(p[0]);
		SDL_SetError("no process for the decoder: %s", strerror(errno));
		return {};
	}
	int64_t end = realms() + maxwait;
	bytes answer;
	uint64_t n = 0;
	bool whole = readby(p[0], (uint8_t *)&n, sizeof n, end) && n >= sizeof(uint64_t) && n <= (uint64_t)maxmem;
	if (whole) {
		answer.resize(n);
		whole = readby(p[0], answer.data(), n, end);
	}
	bool late = realms() >= end;
	close(p[0]);
	// it has done all it is for, or all it may
	kill(pid, SIGKILL);
	int status = 0;
	while (waitpid(pid, &status, 0) < 0 && errno == EINTR)
		;
	if (whole)
		return answer;
	if (late)
		SDL_SetError("its decoder did not answer in %d s", (int)(maxwait / 1000));
	else if (WIFSIGNALED(status) && WTERMSIG(status) != SIGKILL)
		SDL_SetError("its decoder was stopped by signal %d", WTERMSIG(status));
	else
		SDL_SetError("its decoder gave no whole answer");
	return {};
}

// what the answer holds, with SDL's error set to what the decoder said when
// it failed; 0 for no answer, SDL's error set already
static uint64_t said(const bytes &answer)
{
	if (answer.empty())
		return 0;
	uint64_t what;
	memcpy(&what, answer.data(), sizeof what);
	if (what == saidfailed) {
		// SDL's own formatting knows no precision; and the words come from
		// the decoder, so what is not printable goes as '?', one line
		std::string why(answer.begin() + sizeof what, answer.begin() + sizeof what + std::min(answer.size() - sizeof what, maxsaid));
		for (char &c : why)
			if ((unsigned char)c < ' ' || (unsigned char)c > '~')
				c = '?';
		SDL_SetError("%s", why.c_str());
	} else if (what != saidpicture && what != saidmusic)
		SDL_SetError("its decoder gave an answer that can't be right");
	return what;
}

// The child's side.

static bytes answer;                  // what the child sends: its length, then what it holds

// sends answer and ends the child; a write that can't be made ends it all
// the same, and the show sees a short answer
[[noreturn]] static void sendanswer()
{
	uint64_t n = answer.size() - sizeof n;
	memcpy(answer.data(), &n, sizeof n);
	for (size_t at = 0; at < answer.size();) {
		ssize_t put = write(answerfd, answer.data() + at, answer.size() - at);
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

// answers that decoding failed, with SDL's error message
[[noreturn]] static void failed(const char *why)
{
	begin(saidfailed);
	put(why, std::min(strlen(why), maxsaid));
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
	// locks, clocks, signal masks, the end of the process, and the size of
	// the memory, which qsort asks for
	for (int call : { SCMP_SYS(futex), SCMP_SYS(sched_yield), SCMP_SYS(clock_gettime), SCMP_SYS(gettimeofday),
	                  SCMP_SYS(getpid), SCMP_SYS(gettid), SCMP_SYS(rt_sigprocmask), SCMP_SYS(rt_sigreturn),
	                  SCMP_SYS(close), SCMP_SYS(exit), SCMP_SYS(exit_group),
	                  SCMP_SYS(sysinfo) })
		rc |= seccomp_rule_add(f, SCMP_ACT_ALLOW, call, 0);
	// the sanitizers' allocator asks which signal stack it is on
	rc |= seccomp_rule_add(f, SCMP_ACT_ALLOW, SCMP_SYS(sigaltstack), 1, SCMP_A0(SCMP_CMP_EQ, 0));
	// abort() signals itself, and nothing else
	rc |= seccomp_rule_add(f, SCMP_ACT_ALLOW, SCMP_SYS(tgkill), 1, SCMP_A0(SCMP_CMP_EQ, (scmp_datum_t)getpid()));
	// the answer; what a library prints (or stdio's look at the stream
	// first) fails quietly, as writes to a full disk would
	for (int call : { SCMP_SYS(write), SCMP_SYS(writev) }) {
		rc |= seccomp_rule_add(f, SCMP_ACT_ALLOW, call, 1, SCMP_A0(SCMP_CMP_EQ, answerfd));
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

// The child: it must not run the show's exit handlers or SDL's signal
// handlers (the classic SDL's parachute shuts SDL down on a fault, which
// would close the show's display and sound), nor write anywhere but its
// pipe. Its signals take their default actions, its standard streams are
// /dev/null, and every descriptor but the pipe (the display's socket, the
// sound device, whatever the show was started with) is closed. The
// decoders' libraries are initialised before the filter goes on, so that
// any they load when first used is loaded. The address space is capped at
// what the child has plus maxmem: a fixed cap would break the sanitizers'
// build, which reserves terabytes of address space for its shadow memory
// at start.
[[noreturn]] static void decoder(pid_t show, int pipefd, const bytes &file, void (*init)(), void (*decode)(const bytes &))
{
	struct sigaction dfl = {};
	dfl.sa_handler = SIG_DFL;
	for (int sig = 1; sig < NSIG; sig++)
		sigaction(sig, &dfl, nullptr);
	sigset_t none;
	sigemptyset(&none);
	sigprocmask(SIG_SETMASK, &none, nullptr);
	prctl(PR_SET_PDEATHSIG, SIGKILL);
	prctl(PR_SET_DUMPABLE, 0);
	// the pipe out of the way of the standard streams, then to answerfd
	int out = fcntl(pipefd, F_DUPFD, answerfd + 1);
	int null = open("/dev/null", O_RDWR);
	bool ok = out > answerfd && null >= 0;
	for (int fd = 0; ok && fd < 3; fd++)
		ok = dup2(null, fd) == fd;
	ok = ok && dup2(out, answerfd) == answerfd && close_range(answerfd + 1, ~0U, 0) == 0;
	init();
	int64_t space = addressspace();
	struct rlimit cpu = { maxcpu, maxcpu + 1 }, as = { (rlim_t)(space + maxmem), (rlim_t)(space + maxmem) },
	              zero = { 0, 0 };
	// (a show that ended before its death signal was asked for is no longer the parent)
	ok = ok && getppid() == show && space > 0 && setrlimit(RLIMIT_CPU, &cpu) == 0 && setrlimit(RLIMIT_AS, &as) == 0 &&
	     setrlimit(RLIMIT_CORE, &zero) == 0 && setrlimit(RLIMIT_FSIZE, &zero) == 0;
	// never decode unconfined
	if (!ok || !confine())
		syscall(SYS_exit_group, 1);
	decode(file);
	sendanswer();
}

// The picture.

static void iminit()
{
	IMG_Init(IMG_INIT_JPG | IMG_INIT_PNG | IMG_INIT_TIF | IMG_INIT_WEBP);
}

static std::string imtype;            // the file's extension, which names its type, as IMG_Load takes it

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

static void imdecode(const bytes &file)
{
	if (pngrunsout(file))
		failed("the file is damaged: a chunk runs past its end");
	SDL_Surface *p = IMG_LoadTyped_RW(guarded(file), 1, imtype.empty() ? nullptr : imtype.data());
	if (!p)
		failed(IMG_GetError());
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

// the surface an answer describes, as the decoder left it; null, with
// SDL's error set, when the answer can't be right
static SDL_Surface *imunpack(const bytes &a)
{
	imhead h;
	size_t at = sizeof(uint64_t) + sizeof h;
	if (a.size() < at) {
		SDL_SetError("its decoder gave a short answer");
		return nullptr;
	}
	memcpy(&h, a.data() + sizeof(uint64_t), sizeof h);
	int bpp = h.bpp, depth = (bpp + 7) / 8;
	bool right = (bpp == 8 || bpp == 15 || bpp == 16 || bpp == 24 || bpp == 32) && h.w > 0 && h.h > 0 &&
	             h.ncolors >= 0 && h.ncolors <= (bpp == 8 ? 256 : 0);
	size_t row = right ? (size_t)h.w * depth : 0;
	size_t palette = right ? (size_t)h.ncolors * sizeof(SDL_Color) : 0;
	right = right && (uint64_t)h.h * row <= (uint64_t)maxmem && a.size() == at + palette + (size_t)h.h * row;
	if (!right) {
		SDL_SetError("its decoder gave an answer that can't be right");
		return nullptr;
	}
	SDL_Surface *p = SDL_CreateRGBSurface(SDL_SWSURFACE, h.w, h.h, bpp, h.masks[0], h.masks[1], h.masks[2], h.masks[3]);
	if (!p)
		return nullptr;
	if (p->w != h.w || p->h != h.h || p->format->BytesPerPixel != depth || p->pitch < (int)row ||
	    (h.ncolors && (!p->format->palette || p->format->palette->ncolors < h.ncolors))) {
		SDL_FreeSurface(p);
		SDL_SetError("its decoder gave an answer that can't be right");
		return nullptr;
	}
	const uint8_t *src = a.data() + at;
	if (h.ncolors) {
		// as the decoders set their palettes
		memcpy(p->format->palette->colors, src, palette);
		p->format->palette->ncolors = h.ncolors;
	}
	src += palette;
	for (int y = 0; y < h.h; y++)
		memcpy((uint8_t *)p->pixels + (size_t)y * p->pitch, src + (size_t)y * row, row);
	Uint32 rle = h.flags & SDL_RLEACCELOK ? SDL_RLEACCEL : 0;
	if (h.flags & SDL_SRCCOLORKEY)
		SDL_SetColorKey(p, SDL_SRCCOLORKEY | rle, h.colorkey);
	if ((h.flags & SDL_SRCALPHA) != (p->flags & SDL_SRCALPHA) || h.alpha != p->format->alpha)
		SDL_SetAlpha(p, (h.flags & SDL_SRCALPHA) | rle, (Uint8)h.alpha);
	return p;
}

SDL_Surface *imdecoded(const char *file)
{
	bytes bytes;
	if (!slurp(file, bytes))
		return nullptr;
	// as IMG_Load(file) does: the file's extension names its type, which a
	// format without a signature (TGA) needs; where file is a symbolic link
	// (the command links the picture it is given as "galleri.jpg"), the
	// extension of the name it links to
	char to[PATH_MAX];
	ssize_t n = readlink(file, to, sizeof to - 1);
	std::string name = n > 0 ? std::string(to, n) : file;
	size_t dot = name.rfind('.');
	imtype = dot == std::string::npos || name.find('/', dot) != std::string::npos ? "" : name.substr(dot + 1);
	bytes = sandboxed(bytes, iminit, imdecode);
	if (said(bytes) != saidpicture)
		return nullptr;
	return imunpack(bytes);
}

SDL_Surface *loadim(const char *file)
{
	SDL_Surface *loaded = imdecoded(file);
	if (!loaded)
		return nullptr;
	SDL_Surface *im = SDL_ConvertSurface(loaded, s->format, 0);
	if (!im) {
		SDL_FreeSurface(loaded);
		return nullptr;
	}
	SDL_SetColorKey(im, SDL_SRCCOLORKEY, SDL_MapRGB(im->format, 0, 0, 0));
	SDL_FreeSurface(loaded);
	return im;
}

// The music.

static void musinit()
{
	Mix_Init(MIX_INIT_OGG | MIX_INIT_FLAC);
}

static void musdecode(const bytes &file)
{
	Mix_Chunk *c = Mix_LoadWAV_RW(guarded(file), 1);
	if (!c)
		failed(Mix_GetError());
	begin(saidmusic);
	put(c->abuf, c->alen);
}

Mix_Chunk *loadmusa(const char *file)
{
	bytes bytes;
	if (!slurp(file, bytes))
		return nullptr;
	bytes = sandboxed(bytes, musinit, musdecode);
	if (said(bytes) != saidmusic)
		return nullptr;
	// the samples stay for as long as the process: the chunk does not own them
	size_t n = bytes.size() - sizeof(uint64_t);
	uint8_t *samples = (uint8_t *)malloc(n ? n : 1);
	if (!samples) {
		SDL_SetError("no memory for the music");
		return nullptr;
	}
	memcpy(samples, bytes.data() + sizeof(uint64_t), n);
	return Mix_QuickLoad_RAW(samples, (Uint32)n);
}

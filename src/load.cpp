// Loading the two files. They come from outside and may be damaged or made
// to attack the libraries that decode them, and a decoder that crashes,
// aborts, loops or allocates without end inside the show would take the
// show, its screen and its sound with it. So the show only reads a file's
// bytes (a regular file, at most maxfile bytes) and hands them to a program
// of its own, brindlewock-decode (decode.cpp), started for the one file,
// that decodes them with the library calls the show would make, under a
// seccomp filter and limits, and sends back the picture's format, palette,
// colour key, alpha and pixels, or the music's samples (answer.h). The
// program shares no memory and no descriptor with the show but its socket,
// and none of its environment but where the libraries are. The show kills
// it when it has not answered in maxwait ms, allocates no more than the
// answer's head says the picture or the samples take, and checks every
// field before it builds its own surface or sample. Whatever goes wrong in
// the decoder, the show sees a failed load; an interrupt or a termination
// that comes while it waits stops the decoder and is the program's to
// handle, as if it had come a moment later.
#include "load.h"
#include "frame.h"

#include <SDL_image.h>
#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <string>
#include <vector>

using bytes = std::vector<uint8_t>;

extern char **environ;

const char *decoder;
bool ownpicture;
int loadstopped;

constexpr size_t answerstep = 1 << 20; // bytes the answer's buffer grows by at most before they arrive

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

// where brindlewock-decode is: as set, else beside the running program,
// else where the show's package puts it, seen from the running program's
// folder (the capture's, in another folder of the same prefix)
static std::string decoderpath()
{
	if (decoder)
		return decoder;
	char self[PATH_MAX];
	ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
	std::string dir = n > 0 ? std::string(self, n) : std::string();
	dir = dir.substr(0, dir.rfind('/') + 1);
	std::string beside = dir + "brindlewock-decode";
#ifdef BRINDLEWOCK_DECODEREL
	if (access(beside.c_str(), X_OK) != 0)
		return dir + BRINDLEWOCK_DECODEREL;
#endif
	return beside;
}

// Starts the decoder with args (its first, the program's name, added here)
// and the socket sock as its one channel; its process id, or -1 with SDL's
// error set. Its environment holds only where the libraries are: the
// runtime a user picked with LD_LIBRARY_PATH, and what is preloaded.
static pid_t spawn(const std::vector<std::string> &args, int sock)
{
	std::string path = decoderpath();
	std::vector<char *> argv{ (char *)"brindlewock-decode" }, envp;
	for (auto &a : args)
		argv.push_back((char *)a.c_str());
	argv.push_back(nullptr);
	for (char **e = environ; *e; e++)
		if (!strncmp(*e, "LD_LIBRARY_PATH=", 16) || !strncmp(*e, "LD_PRELOAD=", 11))
			envp.push_back(*e);
	envp.push_back(nullptr);
	posix_spawn_file_actions_t fa;
	posix_spawnattr_t at;
	posix_spawn_file_actions_init(&fa);
	posix_spawnattr_init(&at);
	posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
	posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
	posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
	posix_spawn_file_actions_adddup2(&fa, sock, decodefd);
	posix_spawn_file_actions_addclosefrom_np(&fa, decodefd + 1);
	// a process group of its own, every signal at its default action and
	// none blocked, whatever the show's are
	sigset_t all, none;
	sigfillset(&all);
	sigemptyset(&none);
	posix_spawnattr_setpgroup(&at, 0);
	posix_spawnattr_setsigdefault(&at, &all);
	posix_spawnattr_setsigmask(&at, &none);
	posix_spawnattr_setflags(&at, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
	pid_t pid;
	int e = posix_spawn(&pid, path.c_str(), &fa, &at, argv.data(), envp.data());
	posix_spawn_file_actions_destroy(&fa);
	posix_spawnattr_destroy(&at);
	if (e) {
		SDL_SetError("can't start its decoder %s: %s", path.c_str(), strerror(e));
		return -1;
	}
	return pid;
}

// The exchange with one decoder: its socket, the time it has, and a signal
// descriptor for the interrupt and the termination that would end the
// program meanwhile (blocked while it waits, so that they are seen here).
struct talk {
	int fd;
	int64_t end;                      // realms() when the decoder's time is up
	int sigfd;
	int stopped;                      // the signal that came, 0 for none
};

// waits until fd is ready for events; false when the time is up or a
// signal came
static bool ready(talk &t, short events)
{
	for (;;) {
		int64_t left = t.end - realms();
		if (left <= 0)
			return false;
		struct pollfd pf[2] = { { t.fd, events, 0 }, { t.sigfd, POLLIN, 0 } };
		struct timespec ts = { (time_t)(left / 1000), (long)(left % 1000 * 1000000) };
		// the system call itself: a preloaded clock must not shorten the wait
		long r = syscall(SYS_ppoll, pf, 2, &ts, nullptr, 0);
		if (r < 0 && errno != EINTR)
			return false;
		if (r > 0 && pf[1].revents) {
			struct signalfd_siginfo si;
			if (read(t.sigfd, &si, sizeof si) == sizeof si)
				t.stopped = (int)si.ssi_signo;
			return false;
		}
		if (r > 0)
			return true;
	}
}

// sends n bytes from p (out), or reads n bytes into p; false on the time, a
// signal, an error or the socket's end (a decoder may answer without
// reading all it was sent)
static bool moveby(talk &t, void *p, size_t n, bool out)
{
	for (uint8_t *at = (uint8_t *)p; n;) {
		if (!ready(t, out ? POLLOUT : POLLIN))
			return false;
		ssize_t moved = out ? send(t.fd, at, n, MSG_NOSIGNAL | MSG_DONTWAIT) : recv(t.fd, at, n, MSG_DONTWAIT);
		if (moved < 0 && (errno == EINTR || errno == EAGAIN))
			continue;
		if (moved <= 0)
			return false;
		at += moved;
		n -= moved;
	}
	return true;
}

static bool readby(talk &t, void *p, size_t n)
{
	return moveby(t, p, n, false);
}

// reads n more bytes onto the end of out, growing it no faster than they
// come, so that a length that was claimed and never sent costs nothing
static bool readonto(talk &t, bytes &out, size_t n)
{
	while (n) {
		size_t part = std::min(n, answerstep), at = out.size();
		out.resize(at + part);
		if (!readby(t, out.data() + at, part))
			return false;
		n -= part;
	}
	return true;
}

// What a whole answer may be, from what precedes its body: the bytes that
// follow the length for a picture whose head is h, or 0 when the head
// can't be right. Every field is held to what a surface can be: its size,
// bits per pixel, masks within them, a palette only at 8 bits and of at
// most 256 entries, no flags but the three a decoder leaves, an alpha byte.
static uint64_t imanswerlen(const imhead &h)
{
	int bpp = h.bpp, depth = (bpp + 7) / 8;
	bool known = bpp == 8 || bpp == 15 || bpp == 16 || bpp == 24 || bpp == 32;
	if (!known || h.w <= 0 || h.h <= 0 || h.ncolors < 0 || h.ncolors > (bpp == 8 ? 256 : 0))
		return 0;
	uint64_t room = bpp == 32 ? 0xffffffffull : (1ull << bpp) - 1;
	for (uint32_t m : h.masks)
		if ((m & ~room) || (bpp == 8 && m))
			return 0;
	if (h.flags & ~(uint32_t)(SDL_SRCCOLORKEY | SDL_SRCALPHA | SDL_RLEACCELOK) || h.alpha > 255)
		return 0;
	uint64_t pixels = (uint64_t)h.w * h.h * depth;
	if (pixels > (uint64_t)maxmem)
		return 0;
	return sizeof(uint64_t) + sizeof h + (uint64_t)h.ncolors * sizeof(SDL_Color) + pixels;
}

// the words for how a decoder ended without a whole answer
static void sayended(const talk &t, int status)
{
	int sig = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
	if (realms() >= t.end)
		SDL_SetError("its decoder took longer than it may (%d s)", (int)(maxwait / 1000));
	else if (sig == SIGXCPU)
		SDL_SetError("its decoder took longer than it may (%d s of CPU time)", maxcpu);
	else if (sig == SIGSYS)
		SDL_SetError("its decoder tried to do what it may not (a system call outside its filter)");
	else if (sig && sig != SIGKILL)
		SDL_SetError("its decoder crashed (SIG%s, %s)", sigabbrev_np(sig), strsignal(sig));
	else
		SDL_SetError("its decoder gave no whole answer");
}

// Decodes file's bytes in the decoder started with args; its answer, or an
// empty one with SDL's error set when the decoder failed, was stopped or
// gave an answer that can't be right. The answer starts with what it
// holds: want (saidpicture or saidmusic, what was asked for) or saidfailed;
// an answer of the other kind can't be right. An interrupt or a
// termination while it waits stops the decoder; loadstopped says which, and
// the signal is then raised again for the program's own handling.
static bytes sandboxed(const bytes &file, const std::vector<std::string> &args, uint64_t want)
{
	int sv[2];
	if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) {
		SDL_SetError("no socket for its decoder: %s", strerror(errno));
		return {};
	}
	// the decoder's end kept clear of the descriptor it is given as
	int theirs = fcntl(sv[1], F_DUPFD_CLOEXEC, decodefd + 1);
	close(sv[1]);
	sigset_t sigs, before;
	sigemptyset(&sigs);
	sigaddset(&sigs, SIGINT);
	sigaddset(&sigs, SIGTERM);
	pthread_sigmask(SIG_BLOCK, &sigs, &before);
	talk t = { sv[0], realms() + maxwait, signalfd(-1, &sigs, SFD_CLOEXEC | SFD_NONBLOCK), 0 };
	pid_t pid = theirs >= 0 && t.sigfd >= 0 ? spawn(args, theirs) : -1;
	if (theirs < 0 || t.sigfd < 0)
		SDL_SetError("no descriptor for its decoder: %s", strerror(errno));
	if (theirs >= 0)
		close(theirs);
	bytes answer;
	bool whole = false, wrong = false;
	if (pid > 0) {
		uint64_t n = file.size(), head[2] = { 0, 0 }, len = 0;
		// what it has not read when it answers is no matter
		if (moveby(t, &n, sizeof n, true))
			moveby(t, (void *)file.data(), file.size(), true);
		shutdown(t.fd, SHUT_WR);
		if (readby(t, head, sizeof head)) {
			answer.assign((const uint8_t *)&head[1], (const uint8_t *)&head[1] + sizeof head[1]);
			imhead h;
			bool known = head[1] != saidpicture || readby(t, &h, sizeof h);
			if (head[1] != want && head[1] != saidfailed) {
				len = 0; // an answer of the other kind
			} else if (head[1] == saidpicture && known) {
				len = imanswerlen(h);
				answer.insert(answer.end(), (const uint8_t *)&h, (const uint8_t *)&h + sizeof h);
			} else if (head[1] == saidmusic) {
				len = head[0] <= sizeof head[1] + (uint64_t)maxmem ? head[0] : 0;
			} else if (head[1] == saidfailed) {
				len = head[0] <= sizeof head[1] + maxsaid ? head[0] : 0;
			}
			// a length the head doesn't allow is refused before a byte of it is taken
			wrong = known && !t.stopped && realms() < t.end && (len == 0 || len != head[0] || len < answer.size());
			whole = !wrong && len && readonto(t, answer, len - answer.size());
		}
	}
	close(t.fd);
	int status = 0;
	if (pid > 0) {
		// it has done all it is for, or all it may
		kill(pid, SIGKILL);
		while (waitpid(pid, &status, 0) < 0 && errno == EINTR)
			;
	}
	close(t.sigfd);
	pthread_sigmask(SIG_SETMASK, &before, nullptr);
	loadstopped = t.stopped;
	if (t.stopped) {
		SDL_SetError("stopped by a signal");
		raise(t.stopped);
		return {};
	}
	if (whole)
		return answer;
	if (wrong)
		SDL_SetError("its decoder gave an answer that can't be right");
	else if (pid > 0)
		sayended(t, status);
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
		std::string why(answer.begin() + sizeof what, answer.end());
		for (char &c : why)
			if ((unsigned char)c < ' ' || (unsigned char)c > '~')
				c = '?';
		SDL_SetError(why == saidnomemory ? "its decoder %s" : "%s", why.c_str());
	}
	return what;
}

// The picture.

// the surface an answer describes, as the decoder left it (its head held
// to imanswerlen already); null, with SDL's error set, when SDL can't make
// it. A palette comes with all of its 256 entries, those the decoder did
// not set black, so that an index past the decoder's colours is black, and
// so transparent, on every runtime.
static SDL_Surface *imunpack(const bytes &a)
{
	imhead h;
	size_t at = sizeof(uint64_t) + sizeof h;
	memcpy(&h, a.data() + sizeof(uint64_t), sizeof h);
	int depth = (h.bpp + 7) / 8;
	size_t row = (size_t)h.w * depth, palette = (size_t)h.ncolors * sizeof(SDL_Color);
	SDL_Surface *p = SDL_CreateRGBSurface(SDL_SWSURFACE, h.w, h.h, h.bpp, h.masks[0], h.masks[1], h.masks[2], h.masks[3]);
	if (!p)
		return nullptr;
	SDL_Palette *pal = p->format->palette;
	if (p->w != h.w || p->h != h.h || p->format->BytesPerPixel != depth || p->pitch < (int)row ||
	    (h.ncolors && (!pal || pal->ncolors < 256))) {
		SDL_FreeSurface(p);
		SDL_SetError("its decoder gave an answer that can't be right");
		return nullptr;
	}
	const uint8_t *src = a.data() + at;
	if (pal) {
		memset(pal->colors, 0, (size_t)pal->ncolors * sizeof(SDL_Color));
		memcpy(pal->colors, src, palette);
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
	std::vector<std::string> args{ "picture", dot == std::string::npos || name.find('/', dot) != std::string::npos ? "" : name.substr(dot + 1) };
	if (ownpicture)
		args.push_back("own");
	bytes = sandboxed(bytes, args, saidpicture);
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

// The music: the decoder converts it to the mixer's format, which it is
// told; without an open mixer there is nothing to play it on, as the
// mixer's own loading says.

Mix_Chunk *loadmusa(const char *file)
{
	int rate = 0, chans = 0;
	Uint16 format = 0;
	if (!Mix_QuerySpec(&rate, &format, &chans)) {
		SDL_SetError("Audio device hasn't been opened");
		return nullptr;
	}
	bytes bytes;
	if (!slurp(file, bytes))
		return nullptr;
	bytes = sandboxed(bytes, { "music", std::to_string(rate), std::to_string(format), std::to_string(chans) }, saidmusic);
	if (said(bytes) != saidmusic)
		return nullptr;
	// whole frames of samples, which stay for as long as the process: the
	// chunk does not own them
	size_t n = bytes.size() - sizeof(uint64_t), frame = (size_t)chans * ((format & 0xff) / 8);
	if (frame == 0 || n % frame) {
		SDL_SetError("its decoder gave an answer that can't be right");
		return nullptr;
	}
	uint8_t *samples = (uint8_t *)malloc(n ? n : 1);
	if (!samples) {
		SDL_SetError("no memory for the music");
		return nullptr;
	}
	memcpy(samples, bytes.data() + sizeof(uint64_t), n);
	return Mix_QuickLoad_RAW(samples, (Uint32)n);
}

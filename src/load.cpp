// Loading the two files. They come from outside and may be damaged or made
// to attack the libraries that decode them, and a decoder that crashes,
// aborts, loops or allocates without end inside the show would take the
// show, its screen and its sound with it. So the show only reads a file's
// bytes (a regular file, at most maxfile bytes) and hands them to a program
// of its own, brindlewock-decode (decode.cpp), started for the one file,
// that decodes them with the library calls the show would make, under a
// seccomp filter and limits, and sends back the picture already in the
// screen's format, or the music's samples (answer.h). The program shares
// no memory and no descriptor with the show but its socket, none of its
// environment but where the libraries are, and not its session. The show
// kills it, and all it started, when it has not answered in time; it
// checks the answer's size (at most maxside pixels a side, or maxmusic
// seconds of samples) before it takes a byte of it, and reads it straight
// into the memory it keeps. Whatever goes wrong in
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

std::string selfdir()
{
	char self[PATH_MAX];
	ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
	std::string dir = n > 0 ? std::string(self, n) : std::string();
	return dir.substr(0, dir.rfind('/') + 1);
}

// where the decoder of kind ("picture" or "music") is: brindlewock-decode
// or brindlewock-decode-music, beside decoder where that is set, else
// beside the running program, else where the show's package puts it, seen
// from the running program's folder (the capture's, in another folder of
// the same prefix)
static std::string decoderpath(const std::string &kind)
{
	std::string tail = kind == "music" ? "-music" : "";
	if (decoder)
		return decoder + tail;
	std::string dir = selfdir(), beside = dir + "brindlewock-decode" + tail;
#ifdef BRINDLEWOCK_DECODEREL
	if (access(beside.c_str(), X_OK) != 0)
		return dir + BRINDLEWOCK_DECODEREL + tail;
#endif
	return beside;
}

// Starts the decoder with args (its first, the program's name, added here)
// and the socket sock as its one channel; its process id, or -1 with SDL's
// error set. Its environment holds only where the libraries are: the
// runtime a user picked with LD_LIBRARY_PATH, and what is preloaded.
static pid_t spawn(const std::vector<std::string> &args, int sock)
{
	std::string path = decoderpath(args[0]);
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
	// in /, holding no folder of the user's
	posix_spawn_file_actions_addchdir_np(&fa, "/");
	// a session and so a process group of its own, which is killed whole
	// when it is done, every signal at its default action and none
	// blocked, whatever the show's are
	sigset_t all, none;
	sigfillset(&all);
	sigemptyset(&none);
	posix_spawnattr_setsigdefault(&at, &all);
	posix_spawnattr_setsigmask(&at, &none);
	posix_spawnattr_setflags(&at, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
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
// The file is sent while the answer is read, so that a decoder that
// answers early is heard at once. The decoder has maxwait ms to start its
// answer; then its body must keep coming, at least minrate bytes a second
// after a grace of bodygrace ms, so that a large answer under load is
// read to its end and one that trickles is still stopped.

// What came back: what it holds, a picture's size, and the body, in
// memory of its own (malloc's, which maps a large block without touching
// it, so that a claim that never comes costs nothing); the taker frees it.
struct reply {
	uint64_t what = 0;                // saidpicture, saidmusic, saidfailed; 0 for no whole answer
	int32_t size[2] = { 0, 0 };       // a picture's width and height
	uint8_t *body = nullptr;
	size_t len = 0;
};

// the signal descriptor's signal, when one came; 0 when none
static int signalled(int sigfd)
{
	struct signalfd_siginfo si;
	return read(sigfd, &si, sizeof si) == sizeof si ? (int)si.ssi_signo : 0;
}

// whether the program has been asked to quit already: SDL turns an
// interrupt or a termination that came before the wait into a quit event
static bool quitpending()
{
	SDL_Event ev;
	SDL_PumpEvents();
	return SDL_PeepEvents(&ev, 1, SDL_PEEKEVENT, SDL_QUITMASK) > 0;
}

// the length of the body that follows what the head says, for an answer
// whose body can be at most most bytes (music) and whose head is done;
// -1 when the head can't be right
static int64_t bodylen(const uint64_t head[2], const int32_t size[2], uint64_t want, uint64_t most)
{
	uint64_t len = head[0] - sizeof head[1];
	if (head[0] < sizeof head[1] || (head[1] != want && head[1] != saidfailed))
		return -1;
	if (head[1] == saidfailed)
		return len <= maxsaid ? (int64_t)len : -1;
	if (head[1] == saidmusic)
		return len <= most ? (int64_t)len : -1;
	if (size[0] < 1 || size[1] < 1 || size[0] > maxside || size[1] > maxside)
		return -1;
	uint64_t pixels = (uint64_t)size[0] * size[1] * 4;
	return len == sizeof(int32_t) * 2 + pixels ? (int64_t)pixels : -1;
}

// Decodes file's bytes in the decoder started with args, whose answer must
// be want (or saidfailed) with a body of at most most bytes; the reply, or
// none (what 0) with SDL's error set when the decoder failed, was stopped,
// or gave an answer that can't be right. An interrupt or a termination
// while it waits, or a quit asked for before, stops the decoder;
// loadstopped says which, and a signal is raised again for the program's
// own handling. The decoder's whole process group is killed at the end.
static reply sandboxed(const bytes &file, const std::vector<std::string> &args, uint64_t want, uint64_t most)
{
	reply r;
	loadstopped = 0;
	if (quitpending()) {
		loadstopped = SIGINT;
		SDL_SetError("stopped by a signal");
		return r;
	}
	int sv[2];
	if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) {
		SDL_SetError("no socket for its decoder: %s", strerror(errno));
		return r;
	}
	// the decoder's end kept clear of the descriptor it is given as
	int theirs = fcntl(sv[1], F_DUPFD_CLOEXEC, decodefd + 1);
	close(sv[1]);
	sigset_t sigs, before;
	sigemptyset(&sigs);
	sigaddset(&sigs, SIGINT);
	sigaddset(&sigs, SIGTERM);
	pthread_sigmask(SIG_BLOCK, &sigs, &before);
	int fd = sv[0], sigfd = signalfd(-1, &sigs, SFD_CLOEXEC | SFD_NONBLOCK);
	pid_t pid = theirs >= 0 && sigfd >= 0 ? spawn(args, theirs) : -1;
	if (theirs < 0 || sigfd < 0)
		SDL_SetError("no descriptor for its decoder: %s", strerror(errno));
	if (theirs >= 0)
		close(theirs);

	// what goes out (the length, then the file), and what comes in: the
	// head, then a picture's size, then the body
	uint64_t n = file.size(), head[2] = { 0, 0 };
	struct span {
		uint8_t *p;
		size_t n;
	} out[2] = { { (uint8_t *)&n, sizeof n }, { (uint8_t *)file.data(), file.size() } };
	size_t sent = 0, got = 0, outs = 0;
	int64_t end = realms() + maxwait, body = -1;
	bool wrong = false, late = false, sending = true;
	int stopped = 0;
	while (pid > 0 && !wrong) {
		// where the next bytes of the answer go, and how many are still due
		uint8_t *to;
		size_t due;
		if (got < sizeof head) {
			to = (uint8_t *)head + got, due = sizeof head - got;
		} else if (head[1] == saidpicture && got < sizeof head + sizeof r.size) {
			to = (uint8_t *)r.size + got - sizeof head, due = sizeof head + sizeof r.size - got;
		} else {
			if (body < 0) {
				body = bodylen(head, r.size, want, most);
				if (body < 0) {
					wrong = true;
					break;
				}
				r.body = (uint8_t *)malloc(body ? body : 1);
				if (!r.body) {
					SDL_SetError("no memory for what its decoder gave");
					break;
				}
				r.len = body;
				end = realms() + bodygrace + body * 1000 / minrate;
			}
			size_t start = got - sizeof head - (head[1] == saidpicture ? sizeof r.size : 0);
			to = r.body + start, due = r.len - start;
		}
		if (due == 0 && body >= 0) {
			r.what = head[1];
			break;
		}
		int64_t left = end - realms();
		if (left <= 0) {
			late = true;
			break;
		}
		struct pollfd pf[2] = { { fd, (short)(POLLIN | (sending ? POLLOUT : 0)), 0 }, { sigfd, POLLIN, 0 } };
		struct timespec ts = { (time_t)(left / 1000), (long)(left % 1000 * 1000000) };
		// the system call itself: a preloaded clock must not shorten the wait
		long ready = syscall(SYS_ppoll, pf, 2, &ts, nullptr, 0);
		if (ready < 0 && errno != EINTR)
			break;
		if (ready <= 0)
			continue;
		if (pf[1].revents && (stopped = signalled(sigfd)))
			break;
		if (sending && (pf[0].revents & (POLLOUT | POLLERR))) {
			ssize_t put = send(fd, out[outs].p + sent, out[outs].n - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
			if (put > 0 && (sent += put) == out[outs].n)
				sent = 0, outs++;
			// what it has not read when it answers is no matter
			if ((put < 0 && errno != EINTR && errno != EAGAIN) || outs == 2) {
				sending = false;
				shutdown(fd, SHUT_WR);
			}
		}
		if (pf[0].revents & (POLLIN | POLLHUP | POLLERR)) {
			ssize_t in = recv(fd, to, due, MSG_DONTWAIT);
			if (in == 0 || (in < 0 && errno != EINTR && errno != EAGAIN))
				break; // it ended without a whole answer
			if (in > 0)
				got += in;
		}
	}
	close(fd);
	int status = 0;
	if (pid > 0) {
		// it has done all it is for, or all it may: it and all it started
		kill(-pid, SIGKILL);
		while (waitpid(pid, &status, 0) < 0 && errno == EINTR)
			;
	}
	close(sigfd);
	pthread_sigmask(SIG_SETMASK, &before, nullptr);
	if (!r.what) {
		free(r.body);
		r.body = nullptr, r.len = 0;
	}
	loadstopped = stopped;
	if (stopped) {
		SDL_SetError("stopped by a signal");
		raise(stopped);
	} else if (r.what == saidfailed) {
		// SDL's own formatting knows no precision; and the words come from
		// the decoder, so what is not printable goes as '?', one line. The
		// classic runtime keeps at most 127 bytes of each string it is
		// given, so the words go in pieces of that.
		std::string why((const char *)r.body, r.len);
		for (char &c : why)
			if ((unsigned char)c < ' ' || (unsigned char)c > '~')
				c = '?';
		constexpr size_t piece = 127;
		static_assert(maxsaid <= 2 * piece, "the decoder's words in two pieces");
		std::string rest = why.size() > piece ? why.substr(piece) : "";
		why.resize(std::min(why.size(), piece));
		SDL_SetError(why == saidnomemory ? "its decoder %s" : "%s%s", why.c_str(), rest.c_str());
		free(r.body);
		r = reply();
	} else if (wrong) {
		SDL_SetError("its decoder gave an answer that can't be right");
	} else if (late) {
		if (body >= 0)
			SDL_SetError("its decoder sent its answer too slowly");
		else
			SDL_SetError("its decoder took longer than it may (%d s)", (int)(maxwait / 1000));
	} else if (pid > 0 && !r.what) {
		int sig = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
		if (sig == SIGXCPU)
			SDL_SetError("its decoder took longer than it may (%d s of CPU time)", maxcpu);
		else if (sig == SIGSYS)
			SDL_SetError("its decoder tried to do what it may not (a system call outside its filter)");
		else if (sig && sig != SIGKILL)
			SDL_SetError("its decoder crashed (SIG%s, %s)", sigabbrev_np(sig), strsignal(sig));
		else
			SDL_SetError("its decoder gave no whole answer");
	}
	return r;
}

// The picture: decoded, and fitted where it is one's own, by the decoder,
// which answers it in the screen's format; the show makes its surface of
// the answer's pixels, converts it (to the same format: a copy) and keys
// it, as it would a picture it decoded itself.

SDL_Surface *loadim(const char *file)
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
	SDL_PixelFormat *f = s->format;
	std::vector<std::string> args{ "picture", dot == std::string::npos || name.find('/', dot) != std::string::npos ? "" : name.substr(dot + 1),
	                               std::to_string(f->Rmask), std::to_string(f->Gmask), std::to_string(f->Bmask) };
	if (ownpicture)
		args.push_back("own");
	reply r = sandboxed(bytes, args, saidpicture, 0);
	bytes = {};
	if (!r.what)
		return nullptr;
	SDL_Surface *loaded = SDL_CreateRGBSurfaceFrom(r.body, r.size[0], r.size[1], 32, r.size[0] * 4, f->Rmask, f->Gmask,
	                                               f->Bmask, f->Amask);
	SDL_Surface *im = loaded ? SDL_ConvertSurface(loaded, f, 0) : nullptr;
	if (im)
		SDL_SetColorKey(im, SDL_SRCCOLORKEY, SDL_MapRGB(im->format, 0, 0, 0));
	SDL_FreeSurface(loaded);
	free(r.body);
	return im;
}

// The music: the decoder converts it to the mixer's format, which it is
// told, and sends at most maxmusic seconds; without an open mixer there is
// nothing to play it on, as the mixer's own loading says. The samples are
// read straight into the sample's own memory, held once.

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
	size_t frame = (size_t)chans * ((format & 0xff) / 8);
	reply r = sandboxed(bytes, { "music", std::to_string(rate), std::to_string(format), std::to_string(chans) }, saidmusic,
	                    (uint64_t)maxmusic * rate * frame);
	bytes = {};
	if (!r.what)
		return nullptr;
	// whole frames of samples, which stay for as long as the process: the
	// chunk does not own them
	if (frame == 0 || r.len % frame) {
		free(r.body);
		SDL_SetError("its decoder gave an answer that can't be right");
		return nullptr;
	}
	return Mix_QuickLoad_RAW(r.body, (Uint32)r.len);
}

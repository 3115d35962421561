// The exchange with one decoder: its socket, the time it has, and a signal
// descriptor for the interrupt and the termination that would end the
// program meanwhile (blocked while it waits, so that they are seen here).
// The file is sent while the answer is read, so that a decoder that
// answers early is heard at once. The decoder has maxwait ms to start its
// answer; then its body must keep coming, at least minrate bytes a second
// after a grace of bodygrace ms, so that a large answer under load is
// read to its end and one that trickles is still stopped.
//
// sandboxed() is the whole of it: begin() makes the socket, blocks the two
// signals and starts the decoder, talk() sends and reads until the answer
// is whole or the decoder is stopped, reap() kills the decoder and undoes
// what begin() did, and judge() turns how it ended into SDL's error.
#include "load.h"
#include "sandbox.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

// the milliseconds of a clock that only goes forward, read by the system
// call itself so that a preloaded library that speeds up the process's
// clocks does not shorten the wait
static int64_t realms()
{
	struct timespec t;
	syscall(SYS_clock_gettime, CLOCK_MONOTONIC, &t);
	return (int64_t)t.tv_sec * 1000 + t.tv_nsec / 1000000;
}

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

// one decoder at work: the show's end of its socket, the signal
// descriptor, its process (-1 when it could not be started), and the
// signal mask to go back to
struct child {
	int fd = -1, sigfd = -1;
	pid_t pid = -1;
	sigset_t before;
};

// how the exchange ended, where it did without a whole answer
struct ending {
	bool wrong = false; // the answer's head can't be right
	bool late = false;  // the decoder ran out of time
	bool body = false;  // its body had begun: the head was taken
	bool nomemory = false; // no memory for the body the head says
	int stopped = 0;    // the interrupt or termination that stopped it
};

// Makes the socket, blocks the interrupt and the termination for the
// signal descriptor, and starts the decoder with args; false, with
// nothing to undo, when there is no socket. Where the rest fails, c.pid
// is -1 and SDL's error says why.
static bool begin(child &c, const std::vector<std::string> &args)
{
	int sv[2];
	if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) {
		SDL_SetError("no socket for its decoder: %s", strerror(errno));
		return false;
	}
	// the decoder's end kept clear of the descriptor it is given as
	int theirs = fcntl(sv[1], F_DUPFD_CLOEXEC, decodefd + 1);
	close(sv[1]);
	sigset_t sigs;
	sigemptyset(&sigs);
	sigaddset(&sigs, SIGINT);
	sigaddset(&sigs, SIGTERM);
	pthread_sigmask(SIG_BLOCK, &sigs, &c.before);
	c.fd = sv[0], c.sigfd = signalfd(-1, &sigs, SFD_CLOEXEC | SFD_NONBLOCK);
	c.pid = theirs >= 0 && c.sigfd >= 0 ? spawn(args, theirs) : -1;
	if (theirs < 0 || c.sigfd < 0)
		SDL_SetError("no descriptor for its decoder: %s", strerror(errno));
	if (theirs >= 0)
		close(theirs);
	return true;
}

// Sends file to the started decoder c while it reads its answer into r,
// until the answer (want or saidfailed, a body of at most most bytes) is
// whole, r.what then saying what it holds, or the exchange ends without
// it. Its time is maxwait ms to the body, then what the body's length
// gives it.
static ending talk(child &c, const bytes &file, uint64_t want, uint64_t most, reply &r)
{
	// what goes out (the length, then the file), and what comes in: the
	// head, then a picture's size, then the body
	uint64_t n = file.size(), head[2] = { 0, 0 };
	struct span {
		uint8_t *p;
		size_t n;
	} out[2] = { { (uint8_t *)&n, sizeof n }, { (uint8_t *)file.data(), file.size() } };
	size_t sent = 0, got = 0, outs = 0;
	int64_t end = realms() + maxwait, body = -1;
	bool sending = true;
	ending e;
	while (!e.wrong) {
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
					e.wrong = true;
					break;
				}
				e.body = true;
				r.body = (uint8_t *)malloc(body ? body : 1);
				if (!r.body) {
					e.nomemory = true;
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
			e.late = true;
			break;
		}
		struct pollfd pf[2] = { { c.fd, (short)(POLLIN | (sending ? POLLOUT : 0)), 0 }, { c.sigfd, POLLIN, 0 } };
		struct timespec ts = { (time_t)(left / 1000), (long)(left % 1000 * 1000000) };
		// the system call itself: a preloaded clock must not shorten the wait
		long ready = syscall(SYS_ppoll, pf, 2, &ts, nullptr, 0);
		if (ready < 0 && errno != EINTR)
			break;
		if (ready <= 0)
			continue;
		if (pf[1].revents && (e.stopped = signalled(c.sigfd)))
			break;
		if (sending && (pf[0].revents & (POLLOUT | POLLERR))) {
			ssize_t put = send(c.fd, out[outs].p + sent, out[outs].n - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
			if (put > 0 && (sent += put) == out[outs].n)
				sent = 0, outs++;
			// what it has not read when it answers is no matter
			if ((put < 0 && errno != EINTR && errno != EAGAIN) || outs == 2) {
				sending = false;
				shutdown(c.fd, SHUT_WR);
			}
		}
		if (pf[0].revents & (POLLIN | POLLHUP | POLLERR)) {
			ssize_t in = recv(c.fd, to, due, MSG_DONTWAIT);
			if (in == 0 || (in < 0 && errno != EINTR && errno != EAGAIN))
				break; // it ended without a whole answer
			if (in > 0)
				got += in;
		}
	}
	return e;
}

// Ends the exchange: the socket closed, the decoder and all it started
// killed, the signal descriptor closed and the mask as it was; the
// decoder's wait status, 0 where none was started.
static int reap(child &c)
{
	close(c.fd);
	int status = 0;
	if (c.pid > 0) {
		// it has done all it is for, or all it may: it and all it started
		kill(-c.pid, SIGKILL);
		while (waitpid(c.pid, &status, 0) < 0 && errno == EINTR)
			;
	}
	close(c.sigfd);
	pthread_sigmask(SIG_SETMASK, &c.before, nullptr);
	return status;
}

// Says in SDL's error how the exchange with the decoder pid ended, where
// it gave no picture or music: stopped by signal (raised again now for
// the program's own handling), the decoder's own words (r emptied), no
// memory for its answer, an answer that can't be right, too late, or how
// the decoder ended (status).
static void judge(reply &r, const ending &e, pid_t pid, int status)
{
	if (e.stopped) {
		SDL_SetError("stopped by a signal");
		raise(e.stopped);
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
	} else if (e.nomemory) {
		SDL_SetError("no memory for what its decoder gave");
	} else if (e.wrong) {
		SDL_SetError("its decoder gave an answer that can't be right");
	} else if (e.late) {
		if (e.body)
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
}

// Decodes file's bytes in the decoder started with args, whose answer must
// be want (or saidfailed) with a body of at most most bytes; the reply, or
// none (what 0) with SDL's error set when the decoder failed, was stopped,
// or gave an answer that can't be right. An interrupt or a termination
// while it waits, or a quit asked for before, stops the decoder;
// loadstopped says which, and a signal is raised again for the program's
// own handling. The decoder's whole process group is killed at the end.
reply sandboxed(const bytes &file, const std::vector<std::string> &args, uint64_t want, uint64_t most)
{
	reply r;
	loadstopped = 0;
	if (quitpending()) {
		loadstopped = SIGINT;
		SDL_SetError("stopped by a signal");
		return r;
	}
	child c;
	if (!begin(c, args))
		return r;
	ending e;
	if (c.pid > 0)
		e = talk(c, file, want, most, r);
	int status = reap(c);
	if (!r.what) {
		free(r.body);
		r.body = nullptr, r.len = 0;
	}
	loadstopped = e.stopped;
	judge(r, e, c.pid, status);
	return r;
}

/*
 * brindlewock-decode and brindlewock-decode-music: decode one file for the
 * show, each in a process that shares nothing with it: this file is what
 * the two programs share, image.cpp and music.cpp what each decodes, so
 * that a picture's decoder loads no sound library and a song's no picture
 * library (their start is the show's start). The show starts one for the
 * picture or the music (answer.h says how it is asked and how it answers)
 * with an empty
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
#include "decoder.h"

#include <SDL.h>
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

constexpr int maxshort = 1 << 16;     // short reads of a file before its decoder is given up ...
constexpr int64_t maxlack = 1 << 26;  // ... or bytes they lacked: more than a 4096 x 4096 picture holds
constexpr size_t roomleft = 64 << 20; // bytes: a failed decode that can't get this much ran out of memory

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
[[noreturn]] void sendanswer(uint64_t what, std::initializer_list<part> parts)
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
[[noreturn]] void failed(const char *why)
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
SDL_RWops *guarded(const bytes &file)
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
	for (int call : { SCMP_SYS(rseq), SCMP_SYS(set_robust_list), SCMP_SYS(sched_getscheduler), SCMP_SYS(sched_getparam),
	                  SCMP_SYS(sched_getaffinity) })
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
	// the sanitizers' allocator asks which signal stack it is on, and gives
	// a thread it starts a stack of its own for signals
	rc |= seccomp_rule_add(f, SCMP_ACT_ALLOW, SCMP_SYS(sigaltstack), 0);
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

int main(int argc, char **argv)
{
	prctl(PR_SET_PDEATHSIG, SIGKILL);
	prctl(PR_SET_DUMPABLE, 0);
	// nothing but the standard streams and the socket, whatever was handed down
	close_range(decodefd + 1, ~0U, 0);
	if (!kindstart(argc, argv))
		return 2;
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
	kinddecode(file);
}

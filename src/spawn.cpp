// Reading a file to be decoded, and starting the decoder for it: the
// loading's first half (load.cpp says why it is done so). The file is read
// by the show itself, only when it is a regular file of at most maxfile
// bytes; the decoder is a program of the show's own, found beside it,
// started with nothing of the show's but its socket and where the
// libraries are.
#include "load.h"
#include "sandbox.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <unistd.h>

extern char **environ;

// reads file whole into out; false, with SDL's error set, when it can't be
// opened, is not a regular file (a FIFO or a device would block or never
// end) or holds more than maxfile bytes
bool slurp(const char *file, bytes &out)
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
pid_t spawn(const std::vector<std::string> &args, int sock)
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

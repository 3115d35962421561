// The capture's files put in place: each written under a temporary name
// of its own beside the name it is for, made before the work starts, and
// renamed to that name when complete, an older file of the name kept until
// the new ones are all in place. Messages name the files as the command
// line named them; only a file kept after a failed finish is named by its
// temporary name.
#include "capture.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

constexpr const char *capsuffix = ".part"; // of the files written until they are complete
constexpr const char *capaside = ".old"; // of an older WAV while the new one is put in place

// a new file beside name: name, six characters no other file there has,
// and suffix; -1 with errno where it can't be made
static int besidefile(const std::string &name, const char *suffix, std::string &t)
{
	t = name + ".XXXXXX" + suffix;
	return mkstemps(t.data(), strlen(suffix));
}

// a new file beside name to write under until it is complete, so that two
// captures to one name each write their own
static std::string tempfile(const std::string &name)
{
	std::string t;
	int fd = besidefile(name, capsuffix, t);
	if (fd < 0)
		fail(exitfail, "can't write \"%s\": %s", name.c_str(), strerror(errno));
	temps.push_back(t);
	// mkstemps makes the file for its owner alone; the finished file gets
	// the mode any new file gets
	mode_t mask = umask(0);
	umask(mask);
	fchmod(fd, 0666 & ~mask);
	close(fd);
	return t;
}

void claim(const opts &o, outs &x)
{
	struct stat st;
	if (o.raw && stat(o.wav.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
		fail(exitfail, "can't write \"%s\": %s", o.wav.c_str(), strerror(EISDIR));
	x.v.out = o.out;
	x.v.name = tempfile(o.out);
	x.a.out = o.raw ? o.wav : o.out;
	x.a.name = o.raw ? tempfile(o.wav) : x.v.name;
}

// A finished file replaces an older one of its name by rename(2), at once.
// With --raw there are two, and the WAV goes first: until the video is in
// place too, the older WAV must be there to be put back. It is exchanged
// with the new one (renameat2 with RENAME_EXCHANGE), or, where the file
// system can't exchange (vfat, exFAT, NFS and SMB answer EINVAL), renamed
// aside to a name of its own and only then replaced; it is removed once the
// video is in place.

// a file put in place where it can be taken back from
struct placed {
	std::string from, to; // the finished file's temporary name, and its own
	std::string now;      // where the finished file is
	std::string older;    // where the older file of its name is, when not there
	bool exchanged;       // the two were exchanged
};

// puts p.from at p.to; false, with errno, where it can't be, nothing changed
static bool place(placed &p)
{
	struct stat st;
	if (lstat(p.to.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) {
		if (rename(p.from.c_str(), p.to.c_str()) != 0)
			return false;
	} else if (renameat2(AT_FDCWD, p.from.c_str(), AT_FDCWD, p.to.c_str(), RENAME_EXCHANGE) == 0) {
		p.exchanged = true;
		p.older = p.from;
	} else if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) {
		return false;
	} else {
		std::string aside;
		int fd = besidefile(p.to, capaside, aside);
		if (fd < 0)
			return false;
		close(fd);
		bool moved = rename(p.to.c_str(), aside.c_str()) == 0;
		if (!moved || rename(p.from.c_str(), p.to.c_str()) != 0) {
			int e = errno;
			if (moved)
				rename(aside.c_str(), p.to.c_str());
			unlink(aside.c_str());
			errno = e;
			return false;
		}
		p.older = aside;
	}
	p.now = p.to;
	return true;
}

// takes back what place did, as far as it can: the finished file back at
// p.from, the older one at p.to
static void unplace(placed &p)
{
	if (p.exchanged) {
		if (renameat2(AT_FDCWD, p.from.c_str(), AT_FDCWD, p.to.c_str(), RENAME_EXCHANGE) == 0)
			p.now = p.from, p.older.clear();
		return;
	}
	if (rename(p.to.c_str(), p.from.c_str()) != 0)
		return;
	p.now = p.from;
	if (!p.older.empty() && rename(p.older.c_str(), p.to.c_str()) == 0)
		p.older.clear();
}

// ends a finish that could not put the file name in place, with error e,
// keeping the new work, and any older WAV not back at its name, where the
// message says
[[noreturn]] static void unfinished(const opts &o, const outs &x, const std::string &name, int e, const placed &wav)
{
	temps.clear();
	std::string kept = "the new video is kept as \"" + x.v.name + "\"";
	if (o.raw)
		kept += " and the new WAV as \"" + wav.now + "\"";
	if (!wav.older.empty())
		kept += ", and the older WAV as \"" + wav.older + "\"";
	fail(exitfail, "can't put \"%s\" in place: %s; %s", name.c_str(), strerror(e), kept.c_str());
}

void putinplace(const opts &o, const outs &x)
{
	placed wav{ x.a.name, o.wav, x.a.name, "", false };
	if (o.raw && !place(wav))
		unfinished(o, x, o.wav, errno, wav);
	if (rename(x.v.name.c_str(), o.out.c_str()) != 0) {
		int e = errno;
		if (o.raw)
			unplace(wav);
		unfinished(o, x, o.out, e, wav);
	}
	// both are in place: the older WAV goes, and the temporary names hold
	// nothing more
	if (!wav.older.empty())
		unlink(wav.older.c_str());
	for (auto &t : temps)
		unlink(t.c_str());
	temps.clear();
}

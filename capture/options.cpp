// The capture's command line, and where it finds the picture and the music.
#include "capture.h"
#include "brindlewock.h"
#include "load.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#ifndef BRINDLEWOCK_DATAREL
#define BRINDLEWOCK_DATAREL "../share/games/brindlewock"
#endif
constexpr const char *capdatarel = BRINDLEWOCK_DATAREL; // the installed picture and music, from this program's folder

static const char *usage =
	"usage: brindlewock-capture [options] OUTPUT\n"
	"\n"
	"Renders the 75-second show, with its music, into the video file OUTPUT\n"
	"(H.264 and AAC in MP4, whatever OUTPUT's extension). Needs no display and\n"
	"no sound device. Frame k shows the show at k * 1000 / fps ms; the last frame\n"
	"is the first at or after 75000 ms.\n"
	"\n"
	"The picture and the music are the files --picture and --music name, else\n"
	"\"galleri.jpg\" and \"musa.ogg\" of the folder --dir names; without either,\n"
	"each from the current directory where it is there, and the one installed\n"
	"with the show otherwise.\n"
	"\n"
	"options:\n"
	"  --picture FILE  the picture, any file SDL_image reads, shown whole: one\n"
	"                  larger than 544 x 304 is scaled down to fit\n"
	"  --music FILE    the music, any file SDL_mixer loads\n"
	"  --dir DIR    read \"galleri.jpg\" and \"musa.ogg\" from the folder DIR\n"
	"  --fps N      frames per second, 1 to 1000 (default 60)\n"
	"  --seed N     seed of the fire's random numbers, 0 to 4294967295\n"
	"               (default: the time in seconds, as the show does)\n"
	"  --scale K    upscale each screen pixel to K x K, 1 to 8 (default 2:\n"
	"               1280 x 960)\n"
	"  --until MS   end with the first frame at or after MS ms of show time,\n"
	"               0 to 75000 (default 75000)\n"
	"  --raw        write OUTPUT as uncompressed YUV4MPEG2 video (4:4:4) and the\n"
	"               music as 16-bit WAV beside it (OUTPUT with .y4m replaced by\n"
	"               .wav, or .wav added)\n"
	"  --help       print this and exit\n"
	"\n"
	"A progress bar is drawn on stderr when it is a terminal. Exit status: 0 when\n"
	"the file is written, 1 when the capture fails (the message says why, and\n"
	"where finished files that could not be renamed to OUTPUT are kept), 2 for a\n"
	"bad command line.\n";

// a whole number from lo to hi, or a usage failure naming the option
static int64_t number(const char *opt, const char *arg, int64_t lo, int64_t hi)
{
	char *end;
	errno = 0;
	long long v = strtoll(arg, &end, 10);
	if (!*arg || *end || errno || v < lo || v > hi)
		fail(exitusage, "%s wants a whole number from %lld to %lld, not \"%s\" (see --help)",
		     opt, (long long)lo, (long long)hi, arg);
	return v;
}

// the folder of the installed picture and music, found from where this
// program is, so that an installed tree works wherever it was unpacked;
// empty where there is none (a build folder)
static std::string datadir()
{
	char dir[PATH_MAX];
	std::string self = selfdir();
	if (self.empty())
		return "";
	std::string d = self + capdatarel;
	return realpath(d.c_str(), dir) ? dir : "";
}

// where the capture reads the file name from: dir when given; else the
// current directory where the file is there, as the show would read it, and
// the installed one otherwise (where this program is installed)
static std::string place(const char *dir, const char *name)
{
	if (dir)
		return std::string(dir) + (dir[strlen(dir) - 1] == '/' ? "" : "/") + name;
	std::string inst = datadir();
	if (inst.empty() || access(name, F_OK) == 0)
		return name;
	return inst + "/" + name;
}

opts readopts(int argc, char **argv)
{
	opts o;
	const char *dir = NULL; // where the picture and the music are; null: the default rule
	const char *pic = NULL, *mus = NULL; // the two files named; null: from dir or the default rule
	static const option longs[] = {
		{ "fps", required_argument, NULL, 'f' },
		{ "seed", required_argument, NULL, 's' },
		{ "scale", required_argument, NULL, 'k' },
		{ "until", required_argument, NULL, 'u' },
		{ "dir", required_argument, NULL, 'd' },
		{ "picture", required_argument, NULL, 'p' },
		{ "music", required_argument, NULL, 'm' },
		{ "raw", no_argument, NULL, 'r' },
		{ "help", no_argument, NULL, 'h' },
		{ NULL, 0, NULL, 0 },
	};
	opterr = 0;
	for (int c; (c = getopt_long(argc, argv, ":h", longs, NULL)) != -1;) {
		switch (c) {
		case 'f': o.fps = (int)number("--fps", optarg, 1, capmaxfps); break;
		case 's': o.seed = (unsigned)number("--seed", optarg, 0, UINT32_MAX); break;
		case 'k': o.scale = (int)number("--scale", optarg, 1, capmaxscale); break;
		case 'u': o.until = (int32_t)number("--until", optarg, 0, showlen); break;
		case 'd': dir = optarg; break;
		case 'p': pic = optarg; break;
		case 'm': mus = optarg; break;
		case 'r': o.raw = true; break;
		case 'h': fputs(usage, stdout); exit(0);
		case ':': fail(exitusage, "option %s needs a value (see --help)", argv[optind - 1]);
		default:
			if (strncmp(argv[optind - 1], "--", 2) == 0)
				fail(exitusage, "unknown option, or one that takes no value: %s (see --help)", argv[optind - 1]);
			fail(exitusage, "unknown option -%c (see --help)", optopt);
		}
	}
	if (optind == argc)
		fail(exitusage, "no OUTPUT file given (see --help)");
	if (optind + 1 < argc)
		fail(exitusage, "one OUTPUT file only, not also \"%s\" (see --help)", argv[optind + 1]);
	if (dir && !*dir)
		fail(exitusage, "--dir wants a folder, not \"\" (see --help)");
	if ((pic && !*pic) || (mus && !*mus))
		fail(exitusage, "--%s wants a file, not \"\" (see --help)", pic && !*pic ? "picture" : "music");
	o.out = argv[optind];
	struct stat st;
	if (o.out.empty() || (stat(o.out.c_str(), &st) == 0 && S_ISDIR(st.st_mode)))
		fail(exitusage, "OUTPUT \"%s\" is not a file name", o.out.c_str());
	if (o.raw) {
		size_t dot = o.out.size() >= 4 ? o.out.size() - 4 : 0;
		o.wav = (o.out.compare(dot, 4, ".y4m") == 0 ? o.out.substr(0, dot) : o.out) + ".wav";
	}
	o.picture = pic ? pic : place(dir, imf[0]);
	o.own = pic != NULL;
	o.music = mus ? mus : place(dir, musf);
	o.tty = isatty(2);
	return o;
}

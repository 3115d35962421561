/*
 * brindlewock-capture: renders the show into a video file with the music,
 * offline, for those who can't run it fullscreen or want to pass it on.
 *
 * It starts up like the show, without a display or sound device (SDL's dummy
 * drivers), then draws frame after frame with the show's own frame code on a
 * virtual clock (capture.h): frame k is what the show draws when its clock
 * reads k * 1000 / fps ms. Each frame is scaled up, converted to YUV and
 * encoded with FFmpeg's libraries; the music, as the mixer decoded it, goes
 * beside it, its first sample at show time 0 as when the show plays it.
 *
 * Files are written under a temporary name of their own and renamed when
 * complete, so a failed or interrupted capture leaves nothing behind.
 *
 * The picture and the music are the show's two files, taken from a folder
 * named on the command line, or else each from the current directory where
 * it is there and from the installed data folder otherwise, the same rule as
 * the installed show's command; the output is written where it is named.
 *
 * Start reading at main().
 */
#include "brindlewock.h"
#include "capture.h"
#include "picture.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}
#include <chrono>
#include <cerrno>
#include <csignal>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <getopt.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

constexpr int exitfail = 1;           // exit status: the capture failed
constexpr int exitusage = 2;          // exit status: bad command line
constexpr const char *cappreset = "superfast"; // x264 speed against size: a whole show in less than its 75 s on 2 cores
constexpr const char *capcrf = "18";  // x264 quality: visually lossless
constexpr int capmpeg4q = 3;          // quantiser of the fallback encoder
constexpr int64_t capaacrate = 192000; // bits per second of the AAC track
constexpr const char *capsuffix = ".part"; // of the files written until they are complete
constexpr int capwavframe = 4096;     // samples per WAV packet
constexpr double capbarsecs = 0.1;    // s between progress bar updates
constexpr int capbarw = 24;           // characters of the progress bar
#ifndef BRINDLEWOCK_DATAREL
#define BRINDLEWOCK_DATAREL "../share/games/brindlewock"
#endif
constexpr const char *capdatarel = BRINDLEWOCK_DATAREL; // the installed picture and music, from this program's folder

static const char *prog = "brindlewock-capture";
static std::vector<std::string> temps; // files written so far, removed on failure
static bool barshown;                 // the progress bar is on stderr's last line

static const char *usage =
	"usage: brindlewock-capture [options] OUTPUT\n"
	"\n"
	"Renders the 75-second show, with its music, into the video file OUTPUT\n"
	"(H.264 and AAC in MP4, whatever OUTPUT's extension). Needs no display and\n"
	"no sound device. Frame k shows the show at k * 1000 / fps ms; the last frame\n"
	"is the first at or after 75000 ms.\n"
	"\n"
	"The picture \"galleri.jpg\" and the music \"musa.ogg\" are read from the\n"
	"folder that --dir names; without it, each from the current directory where\n"
	"it is there, and the one installed with the show otherwise.\n"
	"\n"
	"options:\n"
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
	"the file is written, 1 when the capture fails (the message says why),\n"
	"2 for a bad command line.\n";

static volatile sig_atomic_t stopped; // a signal asked the capture to end

static void removetemps()
{
	for (auto &t : temps)
		unlink(t.c_str());
}

static void stop(int)
{
	stopped = 1;
}

[[noreturn]] static void fail(int status, const char *fmt, ...)
{
	va_list ap;
	va_start(ap, fmt);
	fprintf(stderr, "%s%s: ", barshown ? "\n" : "", prog);
	vfprintf(stderr, fmt, ap);
	fputc('\n', stderr);
	va_end(ap);
	exit(status);
}

static std::string averr(int e)
{
	char b[AV_ERROR_MAX_STRING_SIZE];
	av_strerror(e, b, sizeof b);
	return b;
}

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

// one encoded stream and the file it goes to
struct track {
	AVFormatContext *oc;
	AVCodecContext *cc;
	AVStream *st;
	AVPacket *pk;
	AVFrame *fr;
	std::string name; // the temporary name written
};

// a new file beside name to write under until it is complete: name, six
// characters no other file there has, and ".part", so that two captures to
// one name each write their own
static std::string tempfile(const std::string &name)
{
	std::string t = name + ".XXXXXX" + capsuffix;
	int fd = mkstemps(t.data(), strlen(capsuffix));
	if (fd < 0)
		fail(exitfail, "can't write \"%s\": %s", t.c_str(), strerror(errno));
	temps.push_back(t);
	// mkstemps makes the file for its owner alone; the finished file gets
	// the mode any new file gets
	mode_t mask = umask(0);
	umask(mask);
	fchmod(fd, 0666 & ~mask);
	close(fd);
	return t;
}

static AVFormatContext *openout(const char *format, const std::string &name)
{
	AVFormatContext *oc = NULL;
	int e = avformat_alloc_output_context2(&oc, NULL, format, name.c_str());
	if (e < 0)
		fail(exitfail, "can't set up %s output: %s", format, averr(e).c_str());
	e = avio_open(&oc->pb, name.c_str(), AVIO_FLAG_WRITE);
	if (e < 0)
		fail(exitfail, "can't write \"%s\": %s", name.c_str(), averr(e).c_str());
	return oc;
}

static void openenc(track &t, const AVCodec *codec, AVDictionary **opts)
{
	if (t.oc->oformat->flags & AVFMT_GLOBALHEADER)
		t.cc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
	int e = avcodec_open2(t.cc, codec, opts);
	if (e < 0)
		fail(exitfail, "can't open the %s encoder: %s", codec->name, averr(e).c_str());
	t.st = avformat_new_stream(t.oc, NULL);
	if (!t.st || avcodec_parameters_from_context(t.st->codecpar, t.cc) < 0)
		fail(exitfail, "can't add a %s stream", codec->name);
	t.st->time_base = t.cc->time_base;
	t.pk = av_packet_alloc();
	t.fr = av_frame_alloc();
	if (!t.pk || !t.fr)
		fail(exitfail, "out of memory");
}

// the video stream: H.264 (the older MPEG-4 video where libx264 is missing), or
// uncompressed 4:4:4 frames for YUV4MPEG2
static void addvideo(track &t, bool raw, int w, int h, int fps)
{
	const AVCodec *codec = raw ? avcodec_find_encoder(AV_CODEC_ID_WRAPPED_AVFRAME)
	                           : avcodec_find_encoder_by_name("libx264");
	if (!codec && !raw)
		codec = avcodec_find_encoder(AV_CODEC_ID_MPEG4);
	if (!codec)
		fail(exitfail, "FFmpeg has no %s encoder", raw ? "raw video" : "H.264 or MPEG-4");
	t.cc = avcodec_alloc_context3(codec);
	if (!t.cc)
		fail(exitfail, "out of memory");
	t.cc->width = w;
	t.cc->height = h;
	t.cc->time_base = AVRational{ 1, fps };
	t.cc->framerate = AVRational{ fps, 1 };
	t.cc->pix_fmt = raw ? AV_PIX_FMT_YUV444P : AV_PIX_FMT_YUV420P;
	t.cc->color_range = AVCOL_RANGE_MPEG;
	t.cc->colorspace = AVCOL_SPC_BT709;
	t.cc->color_primaries = AVCOL_PRI_BT709;
	t.cc->color_trc = AVCOL_TRC_BT709;
	AVDictionary *opts = NULL;
	if (codec->id == AV_CODEC_ID_H264) {
		av_dict_set(&opts, "preset", cappreset, 0);
		av_dict_set(&opts, "crf", capcrf, 0);
	} else if (codec->id == AV_CODEC_ID_MPEG4) {
		t.cc->flags |= AV_CODEC_FLAG_QSCALE;
		t.cc->global_quality = FF_QP2LAMBDA * capmpeg4q;
	}
	openenc(t, codec, &opts);
	av_dict_free(&opts);
	t.fr->format = t.cc->pix_fmt;
	t.fr->width = w;
	t.fr->height = h;
	if (av_frame_get_buffer(t.fr, 0) < 0)
		fail(exitfail, "out of memory");
}

// the audio stream: AAC, or 16-bit PCM for WAV, at the mixer's rate
static void addaudio(track &t, bool raw, int rate, int chans)
{
	const AVCodec *codec = avcodec_find_encoder(raw ? AV_CODEC_ID_PCM_S16LE : AV_CODEC_ID_AAC);
	if (!codec)
		fail(exitfail, "FFmpeg has no %s encoder", raw ? "PCM" : "AAC");
	t.cc = avcodec_alloc_context3(codec);
	if (!t.cc)
		fail(exitfail, "out of memory");
	t.cc->sample_fmt = codec->sample_fmts[0];
	t.cc->sample_rate = rate;
	av_channel_layout_default(&t.cc->ch_layout, chans);
	t.cc->time_base = AVRational{ 1, rate };
	AVDictionary *opts = NULL;
	if (!raw) {
		t.cc->bit_rate = capaacrate;
		av_dict_set(&opts, "aac_coder", "fast", 0);
	}
	openenc(t, codec, &opts);
	av_dict_free(&opts);
	t.fr->format = t.cc->sample_fmt;
	t.fr->sample_rate = rate;
	av_channel_layout_copy(&t.fr->ch_layout, &t.cc->ch_layout);
	t.fr->nb_samples = t.cc->frame_size ? t.cc->frame_size : capwavframe;
	if (av_frame_get_buffer(t.fr, 0) < 0)
		fail(exitfail, "out of memory");
}

// sends a frame (null: the end) to the encoder and writes what comes out
static void put(track &t, AVFrame *f)
{
	int e = avcodec_send_frame(t.cc, f);
	while (e >= 0) {
		e = avcodec_receive_packet(t.cc, t.pk);
		if (e == AVERROR(EAGAIN) || e == AVERROR_EOF)
			return;
		if (e < 0)
			break;
		// a video packet lasts one frame; the muxer needs it for the last
		if (!t.pk->duration && t.cc->codec_type == AVMEDIA_TYPE_VIDEO)
			t.pk->duration = 1;
		av_packet_rescale_ts(t.pk, t.cc->time_base, t.st->time_base);
		t.pk->stream_index = t.st->index;
		e = av_interleaved_write_frame(t.oc, t.pk);
	}
	fail(exitfail, "can't encode or write \"%s\": %s", t.name.c_str(), averr(e).c_str());
}

static void writeheader(AVFormatContext *oc, const std::string &name, AVDictionary **opts)
{
	int e = avformat_write_header(oc, opts);
	if (e < 0)
		fail(exitfail, "can't write \"%s\": %s", name.c_str(), averr(e).c_str());
}

static void closeout(AVFormatContext *oc, const std::string &name)
{
	int e = av_write_trailer(oc);
	if (e >= 0)
		e = avio_closep(&oc->pb);
	if (e < 0)
		fail(exitfail, "can't write \"%s\": %s", name.c_str(), averr(e).c_str());
}

// the music as the show plays it: the mixer's samples from show time 0, then
// silence
struct music {
	const uint8_t *pcm;
	int64_t len;   // samples in pcm
	int64_t done;  // samples sent to the encoder
	int chans;
	int frame;     // samples per encoder frame
	SwrContext *swr;
};

// encodes the music up to sample upto in whole frames, and the rest in a
// shorter frame when it is the end
static void putmusic(track &t, music &m, int64_t upto, bool end)
{
	std::vector<int16_t> quiet;
	while (m.done < upto) {
		int n = (int)std::min<int64_t>(m.frame, upto - m.done);
		if (n < m.frame && !end)
			return;
		const uint8_t *in;
		if (m.done + n <= m.len) {
			in = m.pcm + m.done * m.chans * 2;
		} else {
			quiet.assign((size_t)n * m.chans, 0);
			if (m.done < m.len)
				memcpy(quiet.data(), m.pcm + m.done * m.chans * 2, (m.len - m.done) * m.chans * 2);
			in = (const uint8_t *)quiet.data();
		}
		if (av_frame_make_writable(t.fr) < 0)
			fail(exitfail, "out of memory");
		t.fr->nb_samples = n;
		if (swr_convert(m.swr, t.fr->data, n, &in, n) != n)
			fail(exitfail, "can't convert the music's samples");
		t.fr->pts = m.done;
		put(t, t.fr);
		m.done += n;
	}
}

static void progress(int64_t k, int64_t frames, int32_t showtime, double secs)
{
	double fps = secs > 0 ? k / secs : 0;
	double left = fps > 0 ? (frames - k) / fps : 0;
	int fill = (int)(capbarw * k / frames);
	char bar[capbarw + 1];
	for (int i = 0; i < capbarw; i++)
		bar[i] = i < fill ? '#' : '-';
	bar[capbarw] = 0;
	fprintf(stderr, "\r[%s] %lld/%lld frames  show %5.1f s  %5.1f fps  %3.0f s left ",
		bar, (long long)k, (long long)frames, showtime / 1000.0, fps, left);
	barshown = true;
}

// what the command line asks for
struct opts {
	int fps = capfps, scale = capscale;
	int32_t until = showlen;
	unsigned seed = (unsigned)time(NULL);
	bool raw = false;
	const char *dir = NULL; // where the picture and the music are; null: the default rule
	std::string out, wav;   // the video file, and with --raw the WAV beside it
	bool tty = false;       // stderr is a terminal: draw the progress bar
};

static opts readopts(int argc, char **argv)
{
	opts o;
	static const option longs[] = {
		{ "fps", required_argument, NULL, 'f' },
		{ "seed", required_argument, NULL, 's' },
		{ "scale", required_argument, NULL, 'k' },
		{ "until", required_argument, NULL, 'u' },
		{ "dir", required_argument, NULL, 'd' },
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
		case 'd': o.dir = optarg; break;
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
	if (o.dir && !*o.dir)
		fail(exitusage, "--dir wants a folder, not \"\" (see --help)");
	o.out = argv[optind];
	struct stat st;
	if (o.out.empty() || (stat(o.out.c_str(), &st) == 0 && S_ISDIR(st.st_mode)))
		fail(exitusage, "OUTPUT \"%s\" is not a file name", o.out.c_str());
	if (o.raw) {
		size_t dot = o.out.size() >= 4 ? o.out.size() - 4 : 0;
		o.wav = (o.out.compare(dot, 4, ".y4m") == 0 ? o.out.substr(0, dot) : o.out) + ".wav";
	}
	o.tty = isatty(2);
	return o;
}

// the folder of the installed picture and music, found from where this
// program is, so that an installed tree works wherever it was unpacked;
// empty where there is none (a build folder)
static std::string datadir()
{
	char exe[PATH_MAX], dir[PATH_MAX];
	ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
	if (n <= 0)
		return "";
	exe[n] = 0;
	*strrchr(exe, '/') = 0;
	std::string d = std::string(exe) + "/" + capdatarel;
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

// points the show's loaders at the picture and the music that place() picks
static void pickfiles(const char *dir)
{
	static std::string pic, mus; // the loaders keep pointers into these
	pic = place(dir, imf[0]);
	mus = place(dir, musf);
	imf[0] = pic.c_str();
	musf = mus.c_str();
}

// start-up: the show's own steps, on SDL's dummy drivers unless others are
// asked for, and a failure is told in words
static void start(unsigned seed)
{
	setenv("SDL_VIDEODRIVER", "dummy", 0);
	setenv("SDL_AUDIODRIVER", "dummy", 0);
	atexit(paska);
	atexit(removetemps);
	// a hang-up (the terminal closed), an interrupt or a termination ends the
	// capture at the end of its frame, through exit and so without its
	// files; SDL leaves handlers it finds in place
	struct sigaction sa = {};
	sa.sa_handler = stop;
	for (int sig : { SIGHUP, SIGINT, SIGTERM })
		sigaction(sig, &sa, NULL);
	signal(SIGPIPE, SIG_IGN);
	srand(seed);
	if (SDL_Init(SDL_INIT_AUDIO | SDL_INIT_VIDEO) < 0)
		fail(exitfail, "can't start SDL: %s", SDL_GetError());
	s = SDL_SetVideoMode(scrw, scrh, scrbpp, SDL_SWSURFACE);
	if (!s)
		fail(exitfail, "can't set up a %d x %d x %d screen: %s", scrw, scrh, scrbpp, SDL_GetError());
	if (s->format->BytesPerPixel != 4 || s->pitch != s->w * 4)
		fail(exitfail, "the screen is not 4 bytes a pixel without gaps");
	if (Mix_OpenAudio(audiorate, AUDIO_S16LSB, audiochans, audiochunk) < 0)
		fail(exitfail, "can't open the mixer: %s", Mix_GetError());
	SDL_PauseAudio(1);
	if (!homfire())
		fail(exitfail, "no memory for the heat field");
	if (!homims())
		fail(exitfail, "can't load the picture \"%s\": %s", imf[0], SDL_GetError());
	hommusa();
	if (!musa)
		fail(exitfail, "can't load the music \"%s\": %s", musf, SDL_GetError());
}

// the open outputs and the conversions into them
struct outs {
	track v, a;            // the video and audio streams; one file unless raw
	int w, h;              // the video's size
	int sub;               // chroma subsampling of the video
	int rate, chans;       // the mixer's samples
	SwsContext *sws;       // screen pixels to YUV 4:4:4 at the screen's size
	AVFrame *yuv;          // what sws makes, scaled up into the video's frame
	music m;
};

// opens the outputs under temporary names until complete, their streams and
// the conversions that feed them
static outs openouts(const opts &o)
{
	outs x{};
	Uint16 format;
	Mix_QuerySpec(&x.rate, &format, &x.chans);
	if (format != AUDIO_S16SYS)
		fail(exitfail, "the mixer gave samples of format 0x%x, not 16-bit", format);

	x.w = scrw * o.scale;
	x.h = scrh * o.scale;
	x.v.name = tempfile(o.out);
	x.v.oc = openout(o.raw ? "yuv4mpegpipe" : "mp4", x.v.name);
	x.a.name = o.raw ? tempfile(o.wav) : x.v.name;
	x.a.oc = o.raw ? openout("wav", x.a.name) : x.v.oc;
	addvideo(x.v, o.raw, x.w, x.h, o.fps);
	addaudio(x.a, o.raw, x.rate, x.chans);
	AVDictionary *mux = NULL;
	if (!o.raw) {
		av_dict_set(&mux, "movflags", "+faststart", 0);
		av_dict_set(&x.v.oc->metadata, "title", "brindlewock", 0);
		av_dict_set(&x.v.oc->metadata, "comment", ("seed " + std::to_string(o.seed)).c_str(), 0);
	}
	writeheader(x.v.oc, x.v.name, &mux);
	av_dict_free(&mux);
	if (o.raw)
		writeheader(x.a.oc, x.a.name, NULL);

	// colours are converted at the screen's size, where there are scale^2
	// times fewer pixels, and the planes scaled up after
	x.sws = sws_getContext(scrw, scrh, AV_PIX_FMT_BGR0, scrw, scrh, AV_PIX_FMT_YUV444P,
	                       SWS_POINT, NULL, NULL, NULL);
	x.yuv = av_frame_alloc();
	if (!x.sws || !x.yuv)
		fail(exitfail, "can't set up the colour conversion");
	sws_setColorspaceDetails(x.sws, sws_getCoefficients(SWS_CS_DEFAULT), 1,
	                         sws_getCoefficients(SWS_CS_ITU709), 0, 0, 1 << 16, 1 << 16);
	x.yuv->format = AV_PIX_FMT_YUV444P;
	x.yuv->width = scrw;
	x.yuv->height = scrh;
	if (av_frame_get_buffer(x.yuv, 0) < 0)
		fail(exitfail, "out of memory");
	x.sub = x.v.cc->pix_fmt == AV_PIX_FMT_YUV420P ? 2 : 1;
	AVChannelLayout lay;
	av_channel_layout_default(&lay, x.chans);
	x.m = music{ musa->abuf, musa->alen / (2 * x.chans), 0, x.chans, x.a.fr->nb_samples, NULL };
	if (swr_alloc_set_opts2(&x.m.swr, &x.a.cc->ch_layout, x.a.cc->sample_fmt, x.rate,
	                        &lay, AV_SAMPLE_FMT_S16, x.rate, 0, NULL) < 0 || swr_init(x.m.swr) < 0)
		fail(exitfail, "can't set up the sample conversion");
	return x;
}

// the frames, each with the music up to its end; returns how many
static int64_t frameloop(const opts &o, outs &x)
{
	int64_t frames = capframes(o.fps, o.until);
	std::vector<uint8_t> rgb((size_t)scrw * scrh * 4);
	uint32_t nexttick = capstart;
	SDL_Rect imsrc, imdst;
	auto t0 = std::chrono::steady_clock::now();
	double shown = -capbarsecs;
	for (int64_t k = 0; k < frames; k++) {
		int32_t showtime = capframe(k, o.fps, nexttick, imsrc, imdst);
		capcopy(rgb.data());
		const uint8_t *src[1] = { rgb.data() };
		const int pitch[1] = { scrw * 4 };
		sws_scale(x.sws, src, pitch, 0, scrh, x.yuv->data, x.yuv->linesize);
		if (av_frame_make_writable(x.v.fr) < 0)
			fail(exitfail, "out of memory");
		for (int i = 0; i < 3; i++) {
			int n = i ? x.sub : 1;
			capplane(x.yuv->data[i], x.yuv->linesize[i], x.v.fr->data[i], x.v.fr->linesize[i],
			         x.w / n, x.h / n, n, o.scale);
		}
		x.v.fr->pts = k;
		put(x.v, x.v.fr);
		putmusic(x.a, x.m, (k + 1) * x.rate / o.fps, k + 1 == frames);
		if (stopped || quitevent())
			fail(exitfail, "interrupted; nothing written");
		if (o.tty) {
			double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
			if (secs - shown >= capbarsecs || k + 1 == frames) {
				progress(k + 1, frames, showtime, secs);
				shown = secs;
			}
		}
	}
	return frames;
}

// flushes the encoders, completes the files and gives them their names
static void finish(const opts &o, outs &x)
{
	put(x.v, NULL);
	put(x.a, NULL);
	closeout(x.v.oc, x.v.name);
	if (o.raw)
		closeout(x.a.oc, x.a.name);
	if (o.raw && rename(x.a.name.c_str(), o.wav.c_str()) != 0)
		fail(exitfail, "can't rename \"%s\" to \"%s\": %s", x.a.name.c_str(), o.wav.c_str(), strerror(errno));
	if (rename(x.v.name.c_str(), o.out.c_str()) != 0) {
		if (o.raw)
			unlink(o.wav.c_str());
		fail(exitfail, "can't rename \"%s\" to \"%s\": %s", x.v.name.c_str(), o.out.c_str(), strerror(errno));
	}
	temps.clear();
	for (track *t : { &x.v, &x.a }) {
		avcodec_free_context(&t->cc);
		av_frame_free(&t->fr);
		av_packet_free(&t->pk);
	}
	if (o.raw)
		avformat_free_context(x.a.oc);
	avformat_free_context(x.v.oc);
	av_frame_free(&x.yuv);
	sws_freeContext(x.sws);
	swr_free(&x.m.swr);
}

int main(int argc, char **argv)
{
	opts o = readopts(argc, argv);
	av_log_set_level(AV_LOG_ERROR);
	auto t0 = std::chrono::steady_clock::now();
	pickfiles(o.dir);
	start(o.seed);
	outs x = openouts(o);
	int64_t frames = frameloop(o, x);
	finish(o, x);
	if (o.tty) {
		double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
		fprintf(stderr, "\n%s%s%s: %lld frames, %.3f s of show in %.1f s, seed %u\n",
			o.out.c_str(), o.raw ? " and " : "", o.raw ? o.wav.c_str() : "",
			(long long)frames, (double)frames / o.fps, secs, o.seed);
	}
	return 0;
}

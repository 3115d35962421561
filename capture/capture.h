// The capture: the show drawn offline, frame after frame, on a virtual clock
// that stands still while a frame is drawn and encoded. Frame k is the frame
// the show would draw with its clock reading k * 1000 / fps ms; the frames go
// through the show's own frame code, fixed steps and catch-up included.
//
// frames.cpp: the clock and the screen's pixels, over memory; say.cpp: its
// messages, progress bar and temporary files; options.cpp:
// the command line and where the files are; encode.cpp: the video and audio
// encoded through FFmpeg; place.cpp: the files written under temporary names
// and put in place when complete; capture.cpp: start-up and the frame loop.
#pragma once

#include "frame.h"
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

constexpr int capfps = 60;            // frames per second of the video, by default
constexpr int capmaxfps = 1000;       // more frames a second than the clock has ms would repeat frames
constexpr int capscale = 2;           // video pixels per screen pixel each way, by default
constexpr int capmaxscale = 8;        // the largest upscale
constexpr uint32_t capstart = 0;      // the virtual clock's reading when the show starts

constexpr int exitfail = 1;           // exit status: the capture failed
constexpr int exitusage = 2;          // exit status: bad command line

// frames.cpp

// show time of frame k at fps frames a second, in whole ms as the show's clock reads it
int32_t captime(int64_t k, int fps);
// number of frames of a capture that ends with its first frame at or after until ms
int64_t capframes(int fps, int32_t until);
// draws frame k into the screen with the show's frame code; frames come in
// order from 0, with f from framestart(capstart)
int32_t capframe(int64_t k, int fps, framestate &f);
// nearest-neighbour scaling of a plane of bytes: dst's byte (x, y), for x
// below dw and y below dh, is src's byte (x * num / den, y * num / den)
void capplane(const uint8_t *src, int srcpitch, uint8_t *dst, int dstpitch, int dw, int dh, int num, int den);

// say.cpp

extern std::vector<std::string> temps; // files written so far, removed on failure
// removes the files in temps (an exit handler)
void removetemps();
// prints "brindlewock-capture: " and the message on stderr, and exits with status
[[noreturn]] void fail(int status, const char *fmt, ...);
// draws the progress bar on stderr: frame k of frames, at showtime, secs after the start
void progress(int64_t k, int64_t frames, int32_t showtime, double secs);

// options.cpp

// what the command line asks for
struct opts {
	int fps = capfps, scale = capscale;
	int32_t until = showlen;
	unsigned seed = (unsigned)time(NULL);
	bool raw = false;
	std::string picture, music; // the two files read
	bool own = false;           // the picture is one named with --picture: fitted to its place
	std::string out, wav;   // the video file, and with --raw the WAV beside it
	bool tty = false;       // stderr is a terminal: draw the progress bar
};

// reads the command line, exiting on --help or a bad one
opts readopts(int argc, char **argv);

// encode.cpp

// one encoded stream and the file it goes to
struct track {
	AVFormatContext *oc;
	AVCodecContext *cc;
	AVStream *st;
	AVPacket *pk;
	AVFrame *fr;
	std::string name; // the temporary name written
	std::string out;  // the name it is written for, which messages give
};

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

// opens the outputs claimed, their streams and the conversions that feed
// them, for the music musa
void openouts(const opts &o, outs &x);
// sends a frame (null: the end) to the encoder and writes what comes out
void put(track &t, AVFrame *f);
// encodes the music up to sample upto in whole frames, and the rest in a
// shorter frame when it is the end
void putmusic(track &t, music &m, int64_t upto, bool end);
// flushes the encoders, completes the files and gives them their names; where
// that fails, keeps the finished files under the names its message gives
void finish(const opts &o, outs &x);

// place.cpp

// makes the files the outputs are written under until complete, beside
// them, so that a folder that can't be written is told before the work
void claim(const opts &o, outs &x);
// gives the completed files their names, the WAV first; where that fails,
// puts back the older files and keeps the new ones under the names its
// message gives
void putinplace(const opts &o, const outs &x);

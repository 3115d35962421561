// The songs people have, read by FFmpeg from memory: its demuxer reads the
// bytes through a stream of our own, which can open nothing else (a
// playlist or a reference to another file is refused), its decoder runs on
// the calling thread, and libswresample converts the samples to the
// mixer's rate, format and channels, so that a song at 44.1 kHz is not
// left to SDL 1.2's converter, which changes rates only by powers of two.
// Only the first maxmusic seconds are decoded: a long song costs no more
// than a short one.
#include "decoder.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}
#include <algorithm>
#include <cstring>

namespace {

constexpr int iobuf = 1 << 16;        // bytes the demuxer reads at a time
// the containers of the kinds listed in songkinds, by FFmpeg's names
constexpr const char *containers = "mp3,mov,ogg,flac,wav,aiff,aac,matroska";

struct memfile {
	const bytes *f;
	int64_t at;
};

int memread(void *o, uint8_t *buf, int n)
{
	memfile *m = (memfile *)o;
	int64_t left = (int64_t)m->f->size() - m->at;
	if (left <= 0)
		return AVERROR_EOF;
	n = (int)std::min<int64_t>(n, left);
	memcpy(buf, m->f->data() + m->at, n);
	m->at += n;
	return n;
}

int64_t memseek(void *o, int64_t off, int whence)
{
	memfile *m = (memfile *)o;
	int64_t size = (int64_t)m->f->size(), to;
	switch (whence & ~AVSEEK_FORCE) {
	case AVSEEK_SIZE: return size;
	case SEEK_SET: to = off; break;
	case SEEK_CUR: to = m->at + off; break;
	case SEEK_END: to = size + off; break;
	default: return -1;
	}
	if (to < 0 || to > size)
		return -1;
	return m->at = to;
}

int noopen(AVFormatContext *, AVIOContext **, const char *, int, AVDictionary **)
{
	return AVERROR(EPERM);
}

// an open song: its container over the bytes, and its audio stream
struct opened {
	memfile m;
	AVIOContext *io = nullptr;
	AVFormatContext *fmt = nullptr;
	const AVCodec *codec = nullptr;
	int stream = -1;

	~opened()
	{
		avformat_close_input(&fmt);
		if (io)
			av_freep(&io->buffer);
		avio_context_free(&io);
	}
};

// FFmpeg's words for an error
std::string averror(int e)
{
	char s[AV_ERROR_MAX_STRING_SIZE] = "";
	av_strerror(e, s, sizeof s);
	return s;
}

bool open(opened &o, const bytes &file, std::string &why)
{
	av_log_set_level(AV_LOG_QUIET);
	o.m = { &file, 0 };
	uint8_t *buf = (uint8_t *)av_malloc(iobuf);
	o.fmt = avformat_alloc_context();
	if (!buf || !o.fmt || !(o.io = avio_alloc_context(buf, iobuf, 0, &o.m, memread, nullptr, memseek))) {
		av_free(buf);
		why = "no memory";
		return false;
	}
	o.fmt->pb = o.io;
	o.fmt->flags |= AVFMT_FLAG_CUSTOM_IO;
	o.fmt->io_open = noopen;
	o.fmt->format_whitelist = av_strdup(containers);
	int e = avformat_open_input(&o.fmt, nullptr, nullptr, nullptr);
	if (e < 0) {
		why = "not a kind of music known here";
		return false;
	}
	if ((e = avformat_find_stream_info(o.fmt, nullptr)) < 0 ||
	    (o.stream = av_find_best_stream(o.fmt, AVMEDIA_TYPE_AUDIO, -1, -1, &o.codec, 0)) < 0) {
		why = e < 0 ? averror(e) : "no sound in it that can be decoded";
		return false;
	}
	return true;
}

} // namespace

bool songinfo(const bytes &file, int &rate, double &secs)
{
	opened o;
	std::string why;
	if (!open(o, file, why))
		return false;
	AVStream *st = o.fmt->streams[o.stream];
	rate = st->codecpar->sample_rate;
	secs = st->duration != AV_NOPTS_VALUE ? st->duration * av_q2d(st->time_base)
	       : o.fmt->duration != AV_NOPTS_VALUE ? (double)o.fmt->duration / AV_TIME_BASE : 0;
	return true;
}

bool song(const bytes &file, int rate, Uint16 format, int chans, bytes &samples, std::string &why)
{
	AVSampleFormat to = format == AUDIO_S16LSB ? AV_SAMPLE_FMT_S16 : format == AUDIO_U8 ? AV_SAMPLE_FMT_U8 : AV_SAMPLE_FMT_NONE;
	int width = av_get_bytes_per_sample(to) * chans;
	if (to == AV_SAMPLE_FMT_NONE || chans < 1 || rate < 1) {
		why = "the show's sound format can't be had";
		return false;
	}
	opened o;
	if (!open(o, file, why))
		return false;
	AVCodecContext *c = avcodec_alloc_context3(o.codec);
	AVPacket *pk = av_packet_alloc();
	AVFrame *fr = av_frame_alloc();
	SwrContext *swr = nullptr;
	AVChannelLayout outlayout;
	av_channel_layout_default(&outlayout, chans);
	// single-threaded: the decoder starts no thread
	int e = !c || !pk || !fr ? AVERROR(ENOMEM) : avcodec_parameters_to_context(c, o.fmt->streams[o.stream]->codecpar);
	if (e >= 0) {
		c->thread_count = 1;
		e = avcodec_open2(c, o.codec, nullptr);
	}
	int64_t want = (int64_t)maxmusic * rate, have = 0; // frames of samples
	samples.clear();
	// converts n frames of fr's samples (none: what swr holds) and adds them
	auto convert = [&](const uint8_t **in, int n) {
		if (!swr) {
			AVChannelLayout inlayout;
			if (fr->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC)
				av_channel_layout_default(&inlayout, fr->ch_layout.nb_channels);
			else
				av_channel_layout_copy(&inlayout, &fr->ch_layout);
			int r = swr_alloc_set_opts2(&swr, &outlayout, to, rate, &inlayout, (AVSampleFormat)fr->format,
			                            fr->sample_rate, 0, nullptr);
			av_channel_layout_uninit(&inlayout);
			if (r < 0 || (r = swr_init(swr)) < 0)
				return r;
		}
		int room = swr_get_out_samples(swr, n);
		if (room < 0)
			return room;
		samples.resize((size_t)(have + room) * width);
		uint8_t *out = samples.data() + (size_t)have * width;
		int got = swr_convert(swr, &out, room, in, n);
		if (got < 0)
			return got;
		have += got;
		samples.resize((size_t)have * width);
		return 0;
	};
	bool ended = false;
	while (e >= 0 && have < want && !ended) {
		int r = av_read_frame(o.fmt, pk);
		if (r < 0) {
			ended = true;
			e = avcodec_send_packet(c, nullptr); // what the decoder still holds
		} else {
			if (pk->stream_index == o.stream)
				e = avcodec_send_packet(c, pk);
			av_packet_unref(pk);
			// a damaged packet is skipped, as players do
			if (e == AVERROR_INVALIDDATA)
				e = 0;
		}
		while (e >= 0 && (r = avcodec_receive_frame(c, fr)) >= 0) {
			e = convert((const uint8_t **)fr->extended_data, fr->nb_samples);
			av_frame_unref(fr);
		}
		if (e >= 0 && r != AVERROR(EAGAIN) && r != AVERROR_EOF && r != AVERROR_INVALIDDATA)
			e = r;
	}
	if (e >= 0 && swr && have < want)
		e = convert(nullptr, 0); // the resampler's tail
	if (e >= 0 && have == 0)
		why = "no sound could be decoded from it";
	else if (e < 0)
		why = e == AVERROR(ENOMEM) ? "no memory" : averror(e);
	else
		samples.resize((size_t)std::min(have, want) * width);
	swr_free(&swr);
	av_frame_free(&fr);
	av_packet_free(&pk);
	avcodec_free_context(&c);
	return e >= 0 && have > 0;
}

// The capture's encoding: the video and the music encoded through FFmpeg's
// libraries into the files place.cpp made for them, and the conversions
// that feed the encoders. Messages name the files as the command line
// named them.
#include "capture.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
}
#include "brindlewock.h"
#include <SDL_mixer.h>
#include <cerrno>
#include <cstring>

constexpr const char *cappreset = "superfast"; // x264 speed against size: a whole show in less than its 75 s on 2 cores
constexpr const char *capcrf = "18";  // x264 quality: visually lossless
constexpr int capmpeg4q = 3;          // quantiser of the fallback encoder
constexpr int64_t capaacrate = 192000; // bits per second of the AAC track
constexpr int capwavframe = 4096;     // samples per WAV packet

static std::string averr(int e)
{
	char b[AV_ERROR_MAX_STRING_SIZE];
	av_strerror(e, b, sizeof b);
	return b;
}

static AVFormatContext *openout(const char *format, const track &t)
{
	AVFormatContext *oc = NULL;
	int e = avformat_alloc_output_context2(&oc, NULL, format, t.name.c_str());
	if (e < 0)
		fail(exitfail, "can't set up %s output: %s", format, averr(e).c_str());
	e = avio_open(&oc->pb, t.name.c_str(), AVIO_FLAG_WRITE);
	if (e < 0)
		fail(exitfail, "can't write \"%s\": %s", t.out.c_str(), averr(e).c_str());
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

// the encoder's first sample format: FFmpeg 7.1 asks for it by a call where
// older versions kept a list in the codec
static AVSampleFormat samplefmt(const AVCodecContext *cc, const AVCodec *codec)
{
#if LIBAVCODEC_VERSION_INT >= AV_VERSION_INT(61, 13, 100)
	const void *fmts = nullptr;
	int n = 0;
	if (avcodec_get_supported_config(cc, codec, AV_CODEC_CONFIG_SAMPLE_FORMAT, 0, &fmts, &n) < 0 || !fmts || n < 1)
		fail(exitfail, "FFmpeg's %s encoder names no sample format", codec->name);
	return ((const AVSampleFormat *)fmts)[0];
#else
	(void)cc;
	return codec->sample_fmts[0];
#endif
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
	t.cc->sample_fmt = samplefmt(t.cc, codec);
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

void put(track &t, AVFrame *f)
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
	fail(exitfail, "can't encode or write \"%s\": %s", t.out.c_str(), averr(e).c_str());
}

static void writeheader(const track &t, AVDictionary **opts)
{
	int e = avformat_write_header(t.oc, opts);
	if (e < 0)
		fail(exitfail, "can't write \"%s\": %s", t.out.c_str(), averr(e).c_str());
}

static void closeout(const track &t)
{
	int e = av_write_trailer(t.oc);
	if (e >= 0)
		e = avio_closep(&t.oc->pb);
	if (e < 0)
		fail(exitfail, "can't write \"%s\": %s", t.out.c_str(), averr(e).c_str());
}

void putmusic(track &t, music &m, int64_t upto, bool end)
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

void openouts(const opts &o, outs &x)
{
	Uint16 format;
	Mix_QuerySpec(&x.rate, &format, &x.chans);
	if (format != AUDIO_S16SYS)
		fail(exitfail, "the mixer gave samples of format 0x%x, not 16-bit", format);

	x.w = scrw * o.scale;
	x.h = scrh * o.scale;
	x.v.oc = openout(o.raw ? "yuv4mpegpipe" : "mp4", x.v);
	x.a.oc = o.raw ? openout("wav", x.a) : x.v.oc;
	addvideo(x.v, o.raw, x.w, x.h, o.fps);
	addaudio(x.a, o.raw, x.rate, x.chans);
	AVDictionary *mux = NULL;
	if (!o.raw) {
		av_dict_set(&mux, "movflags", "+faststart", 0);
		av_dict_set(&x.v.oc->metadata, "title", "brindlewock", 0);
		av_dict_set(&x.v.oc->metadata, "comment", ("seed " + std::to_string(o.seed)).c_str(), 0);
	}
	writeheader(x.v, &mux);
	av_dict_free(&mux);
	if (o.raw)
		writeheader(x.a, NULL);

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
}

void finish(const opts &o, outs &x)
{
	put(x.v, NULL);
	put(x.a, NULL);
	closeout(x.v);
	if (o.raw)
		closeout(x.a);
	putinplace(o, x);
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

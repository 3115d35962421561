/*
 * mksound: composes and renders the show's default music and writes it as
 * Ogg Vorbis, 48000 Hz stereo: mksound musa.ogg [musa.wav]
 *
 * A small synthesizer: band-limited saw and pulse oscillators, an FM bell,
 * noise drums, state-variable filters, envelopes, a stereo delay and a
 * reverb. The score follows the show's time line at 120 beats a minute,
 * one bar every 2 seconds:
 *
 *   0-10 s   calm: a slow pad and a few bell notes while the background drifts
 *   10-26 s  the picture fades in: bass, arpeggio and drums enter, the filter
 *            opens and everything grows louder
 *   26-28 s  a held dominant, a snare roll and a riser
 *   28 s     the fire starts: a hit, a half-time beat and the melody
 *   40 s     the background races: four-to-the-floor, driving bass
 *   64 s     the picture is gone: the drums fall away
 *   72 s     the last chord, faded out by 75 s
 *
 * The optional second argument also writes the rendered PCM as WAV. All
 * noise comes from a fixed-seed generator and the stream has a fixed
 * serial number, so the same program writes the same file.
 *
 * The parts: synth.h lists the synthesizer, its oscillators, filter and
 * envelope (synth.cpp) and the instruments made of them (instruments.cpp);
 * score.cpp plays them along the time line; mix.cpp adds the echo and the
 * room and mixes down; this file writes the WAV and the Ogg. Start reading
 * at main().
 */
#include "mix.h"
#include "score.h"
#include "synth.h"
#include <vorbis/vorbisenc.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

constexpr float vorbisq = 0.3f;    // Vorbis quality, about 110 kbit/s
constexpr int serial = 0x6272696e; // Ogg stream serial number

// the samples as a 16-bit stereo WAV file
static bool writewav(const char *path, const std::vector<int16_t> &pcm)
{
	FILE *f = fopen(path, "wb");
	if (!f)
		return false;
	uint32_t data = (uint32_t)(pcm.size() * 2);
	uint8_t h[44] = { 'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E', 'f', 'm', 't', ' ', 16, 0, 0, 0, 1, 0, 2, 0 };
	auto le32 = [&](int o, uint32_t v) { for (int i = 0; i < 4; i++) h[o + i] = (uint8_t)(v >> (8 * i)); };
	le32(4, 36 + data);
	le32(24, rate);
	le32(28, rate * 4);
	h[32] = 4;
	h[34] = 16;
	memcpy(h + 36, "data", 4);
	le32(40, data);
	fwrite(h, 1, 44, f);
	for (int16_t v : pcm) {
		uint8_t b[2] = { (uint8_t)(v & 0xff), (uint8_t)((uint16_t)v >> 8) };
		fwrite(b, 1, 2, f);
	}
	return fclose(f) == 0;
}

// the samples encoded as Ogg Vorbis, one logical stream
static bool writeogg(const char *path, const std::vector<int16_t> &pcm)
{
	FILE *f = fopen(path, "wb");
	if (!f)
		return false;
	vorbis_info vi;
	vorbis_info_init(&vi);
	if (vorbis_encode_init_vbr(&vi, 2, rate, vorbisq))
		return fclose(f), false;
	vorbis_comment vc;
	vorbis_comment_init(&vc);
	vorbis_comment_add_tag(&vc, "TITLE", "musa");
	vorbis_comment_add_tag(&vc, "ARTIST", "brindlewock");
	vorbis_dsp_state vd;
	vorbis_block vb;
	vorbis_analysis_init(&vd, &vi);
	vorbis_block_init(&vd, &vb);
	ogg_stream_state os;
	ogg_stream_init(&os, serial);
	ogg_packet hd, hc, hb;
	vorbis_analysis_headerout(&vd, &vc, &hd, &hc, &hb);
	ogg_stream_packetin(&os, &hd);
	ogg_stream_packetin(&os, &hc);
	ogg_stream_packetin(&os, &hb);
	ogg_page og;
	while (ogg_stream_flush(&os, &og)) {
		fwrite(og.header, 1, og.header_len, f);
		fwrite(og.body, 1, og.body_len, f);
	}
	size_t frames = pcm.size() / 2, pos = 0;
	bool eos = false;
	while (!eos) {
		size_t n = std::min<size_t>(4096, frames - pos);
		if (n == 0) {
			vorbis_analysis_wrote(&vd, 0);
		} else {
			float **buf = vorbis_analysis_buffer(&vd, (int)n);
			for (size_t i = 0; i < n; i++) {
				buf[0][i] = pcm[(pos + i) * 2] / 32768.0f;
				buf[1][i] = pcm[(pos + i) * 2 + 1] / 32768.0f;
			}
			vorbis_analysis_wrote(&vd, (int)n);
			pos += n;
		}
		while (vorbis_analysis_blockout(&vd, &vb) == 1) {
			vorbis_analysis(&vb, nullptr);
			vorbis_bitrate_addblock(&vb);
			ogg_packet op;
			while (vorbis_bitrate_flushpacket(&vd, &op)) {
				ogg_stream_packetin(&os, &op);
				while (!eos && ogg_stream_pageout(&os, &og)) {
					fwrite(og.header, 1, og.header_len, f);
					fwrite(og.body, 1, og.body_len, f);
					eos = ogg_page_eos(&og);
				}
			}
		}
	}
	ogg_stream_clear(&os);
	vorbis_block_clear(&vb);
	vorbis_dsp_clear(&vd);
	vorbis_comment_clear(&vc);
	vorbis_info_clear(&vi);
	return fclose(f) == 0;
}

int main(int argc, char **argv)
{
	if (argc < 2 || argc > 3) {
		fprintf(stderr, "usage: mksound musa.ogg [musa.wav]\n");
		return 2;
	}
	buses bus;
	compose(bus);
	std::vector<int16_t> pcm = mixdown(bus);
	if (argc == 3 && !writewav(argv[2], pcm))
		return perror(argv[2]), 1;
	if (!writeogg(argv[1], pcm))
		return perror(argv[1]), 1;
	return 0;
}

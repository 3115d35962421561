// The photos people have, as they see them elsewhere: a JPEG upright as
// its EXIF orientation says, its CMYK (Adobe's inverted CMYK too) turned
// to RGB, and decoded by libjpeg-turbo at 1/2, 1/4 or 1/8 of its size
// where that is still at least the size it is fitted to, so that a
// camera's 48 megapixels cost little more than the show's own picture;
// HEIC and AVIF by libheif, which applies their own rotation and mirror.
// Every size is read from the file's header and refused over maxside
// before a pixel is decoded. Other kinds are left to SDL_image.
#include "decoder.h"

#include <libheif/heif.h>
#include <algorithm>
#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <jpeglib.h>

namespace {

// the surfaces made here: 32 bits a pixel, XRGB or RGBA in memory order
SDL_Surface *surface(int w, int h, bool alpha)
{
	return alpha ? SDL_CreateRGBSurface(SDL_SWSURFACE, w, h, 32, 0xff, 0xff00, 0xff0000, 0xff000000)
	             : SDL_CreateRGBSurface(SDL_SWSURFACE, w, h, 32, 0xff0000, 0xff00, 0xff, 0);
}

bool toolarge(int w, int h, std::string &why)
{
	if (w <= maxside && h <= maxside)
		return false;
	why = std::to_string(w) + " x " + std::to_string(h) + " pixels, larger than " + std::to_string(maxside) + " on a side";
	return true;
}

// The EXIF orientation (1 to 8) in a JPEG's APP1 segment; 1 where there is
// none or it can't be read. Every offset comes from the file, so each is
// checked against the segment's end before it is read.
int orientation(jpeg_decompress_struct &d)
{
	for (jpeg_saved_marker_ptr m = d.marker_list; m; m = m->next) {
		if (m->marker != JPEG_APP0 + 1 || m->data_length < 14 || memcmp(m->data, "Exif\0\0", 6) != 0)
			continue;
		const uint8_t *t = m->data + 6;
		size_t n = m->data_length - 6;
		bool le = t[0] == 'I' && t[1] == 'I';
		if (!le && !(t[0] == 'M' && t[1] == 'M'))
			return 1;
		auto u16 = [&](size_t at) -> uint32_t { return at + 2 > n ? 0 : le ? t[at] | t[at + 1] << 8 : t[at] << 8 | t[at + 1]; };
		auto u32 = [&](size_t at) -> uint32_t { return at + 4 > n ? 0 : le ? u16(at) | u16(at + 2) << 16 : u16(at) << 16 | u16(at + 2); };
		size_t ifd = u32(4);
		if (ifd < 8 || ifd + 2 > n)
			return 1;
		for (size_t i = 0, count = u16(ifd); i < count && ifd + 2 + 12 * (i + 1) <= n; i++) {
			size_t e = ifd + 2 + 12 * i;
			if (u16(e) == 0x0112) {
				uint32_t v = u16(e + 2) == 3 ? u16(e + 8) : 0; // a SHORT, held in its entry
				return v >= 1 && v <= 8 ? (int)v : 1;
			}
		}
		return 1;
	}
	return 1;
}

// p turned upright from orientation o (1 to 8); p itself for 1, null without memory
SDL_Surface *upright(SDL_Surface *p, int o)
{
	if (o == 1)
		return p;
	int w = p->w, h = p->h, W = o >= 5 ? h : w, H = o >= 5 ? w : h;
	SDL_Surface *u = surface(W, H, p->format->Amask != 0);
	if (u) {
		for (int y = 0; y < H; y++) {
			uint32_t *row = (uint32_t *)((uint8_t *)u->pixels + (size_t)y * u->pitch);
			for (int x = 0; x < W; x++) {
				int sx, sy; // where pixel (x, y) of the upright picture is stored
				switch (o) {
				case 2: sx = w - 1 - x, sy = y; break;
				case 3: sx = w - 1 - x, sy = h - 1 - y; break;
				case 4: sx = x, sy = h - 1 - y; break;
				case 5: sx = y, sy = x; break;
				case 6: sx = y, sy = h - 1 - x; break;
				case 7: sx = w - 1 - y, sy = h - 1 - x; break;
				default: sx = w - 1 - y, sy = x; break;
				}
				row[x] = ((const uint32_t *)((const uint8_t *)p->pixels + (size_t)sy * p->pitch))[sx];
			}
		}
	}
	SDL_FreeSurface(p);
	return u;
}

struct jpegerr {
	jpeg_error_mgr mgr;
	jmp_buf back;
	char said[JMSG_LENGTH_MAX];
};

void jpegfail(j_common_ptr c)
{
	jpegerr *e = (jpegerr *)c->err;
	c->err->format_message(c, e->said);
	longjmp(e->back, 1);
}

void jpegwarn(j_common_ptr, int) {}

// the JPEG decoded at 1/den of its size, stored way round, as XRGB; null
// with why set when it can't be
SDL_Surface *jpegat(jpeg_decompress_struct &d, int den, std::string &why)
{
	d.scale_num = 1;
	d.scale_denom = den;
	bool cmyk = d.jpeg_color_space == JCS_CMYK || d.jpeg_color_space == JCS_YCCK;
	d.out_color_space = cmyk ? JCS_CMYK : JCS_EXT_BGRX;
	jpeg_start_decompress(&d);
	SDL_Surface *p = surface(d.output_width, d.output_height, false);
	std::vector<uint8_t> row(cmyk ? (size_t)d.output_width * 4 : 0);
	if (!p) {
		why = "no memory";
		return nullptr;
	}
	// Photoshop's CMYK, marked by its Adobe segment, is stored inverted:
	// 255 is no ink
	bool inverted = d.saw_Adobe_marker;
	while (d.output_scanline < d.output_height) {
		uint8_t *out = (uint8_t *)p->pixels + (size_t)d.output_scanline * p->pitch;
		JSAMPROW r = cmyk ? row.data() : out;
		jpeg_read_scanlines(&d, &r, 1);
		for (size_t x = 0; cmyk && x < d.output_width; x++) {
			const uint8_t *c = &row[x * 4];
			auto ink = [&](int v) { return inverted ? (v * c[3] + 127) / 255 : ((255 - v) * (255 - c[3]) + 127) / 255; };
			((uint32_t *)out)[x] = (uint32_t)ink(c[0]) << 16 | ink(c[1]) << 8 | ink(c[2]);
		}
	}
	jpeg_finish_decompress(&d);
	return p;
}

SDL_Surface *jpeg(const bytes &file, int fitw, int fith, int &w, int &h, std::string &why)
{
	jpeg_decompress_struct d;
	jpegerr e;
	SDL_Surface *volatile p = nullptr;
	d.err = jpeg_std_error(&e.mgr);
	e.mgr.error_exit = jpegfail;
	e.mgr.emit_message = jpegwarn;
	jpeg_create_decompress(&d);
	if (setjmp(e.back)) {
		why = e.said;
		SDL_FreeSurface(p);
		jpeg_destroy_decompress(&d);
		return nullptr;
	}
	jpeg_mem_src(&d, file.data(), file.size());
	jpeg_save_markers(&d, JPEG_APP0 + 1, 0xffff);
	jpeg_read_header(&d, TRUE);
	if (!toolarge(d.image_width, d.image_height, why)) {
		int o = orientation(d);
		w = o >= 5 ? d.image_height : d.image_width;
		h = o >= 5 ? d.image_width : d.image_height;
		int fw, fh, den = 8;
		fitsize(w, h, fitw, fith, fw, fh);
		while (den > 1 && ((w + den - 1) / den < fw || (h + den - 1) / den < fh))
			den /= 2;
		SDL_Surface *got = jpegat(d, den, why);
		if (got && !(got = upright(got, o)))
			why = "no memory";
		p = got;
	}
	jpeg_destroy_decompress(&d);
	return p;
}

SDL_Surface *heif(const bytes &file, int &w, int &h, std::string &why)
{
	heif_context *c = heif_context_alloc();
	heif_image_handle *im = nullptr;
	heif_image *px = nullptr;
	SDL_Surface *p = nullptr;
	if (!c) {
		why = "no memory";
		return nullptr;
	}
	heif_context_set_max_decoding_threads(c, 0);
	heif_error e = heif_context_read_from_memory_without_copy(c, file.data(), file.size(), nullptr);
	if (e.code == heif_error_Ok)
		e = heif_context_get_primary_image_handle(c, &im);
	// AV1 by libaom, which decodes on the calling thread, where dav1d
	// would count the machine's processors and start a thread for each
	heif_decoding_options *opt = heif_decoding_options_alloc();
	heif_brand b = heif_main_brand(file.data(), (int)std::min<size_t>(file.size(), 64));
	if (opt && opt->version >= 4 && (b == heif_avif || b == heif_avis))
		opt->decoder_id = "aom";
	if (e.code == heif_error_Ok && !toolarge(heif_image_handle_get_width(im), heif_image_handle_get_height(im), why))
		e = heif_decode_image(im, &px, heif_colorspace_RGB, heif_chroma_interleaved_RGBA, opt);
	heif_decoding_options_free(opt);
	if (e.code != heif_error_Ok)
		why = e.message;
	int stride = 0;
	const uint8_t *rows = px ? heif_image_get_plane_readonly(px, heif_channel_interleaved, &stride) : nullptr;
	if (rows) {
		w = heif_image_get_width(px, heif_channel_interleaved);
		h = heif_image_get_height(px, heif_channel_interleaved);
		if (!toolarge(w, h, why) && !(p = surface(w, h, true)))
			why = "no memory";
		for (int y = 0; p && y < h; y++)
			memcpy((uint8_t *)p->pixels + (size_t)y * p->pitch, rows + (size_t)y * stride, (size_t)w * 4);
	}
	heif_image_release(px);
	heif_image_handle_release(im);
	heif_context_free(c);
	return p;
}

uint32_t be32(const uint8_t *p)
{
	return (uint32_t)p[0] << 24 | p[1] << 16 | p[2] << 8 | p[3];
}

} // namespace

void photostart()
{
	// libheif 1.16 and later load their codecs as plugins from a folder,
	// which the filter would not let them open once it is on
	heif_init(nullptr);
}


void fitsize(int w, int h, int fitw, int fith, int &nw, int &nh)
{
	nw = w;
	nh = h;
	if (w > fitw || h > fith) {
		double s = std::min((double)fitw / w, (double)fith / h);
		nw = std::max(1, (int)std::lround(w * s));
		nh = std::max(1, (int)std::lround(h * s));
	}
}

SDL_Surface *photo(const bytes &file, int fitw, int fith, int &w, int &h, std::string &why)
{
	why.clear();
	const uint8_t *b = file.data();
	size_t n = file.size();
	if (n >= 3 && b[0] == 0xff && b[1] == 0xd8 && b[2] == 0xff)
		return jpeg(file, fitw, fith, w, h, why);
	if (n >= 12 && heif_check_filetype(b, (int)std::min<size_t>(n, 64)) == heif_filetype_yes_supported)
		return heif(file, w, h, why);
	// the sizes of the rest, from their headers: a PNG's IHDR, a GIF's screen
	if (n >= 24 && !memcmp(b, "\x89PNG\r\n\x1a\n", 8) && !memcmp(b + 12, "IHDR", 4))
		toolarge((int)std::min<uint32_t>(be32(b + 16), 1u << 30), (int)std::min<uint32_t>(be32(b + 20), 1u << 30), why);
	else if (n >= 10 && !memcmp(b, "GIF8", 4))
		toolarge(b[6] | b[7] << 8, b[8] | b[9] << 8, why);
	return nullptr;
}

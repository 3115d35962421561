/*
 * mkpicture: draws the show's default picture, a wall of framed paintings,
 * and writes it as a JPEG: mkpicture galleri.jpg
 *
 * The show keys out exact black, so the wall between the frames is black
 * and must decode to (0, 0, 0) and nothing else. Every frame therefore
 * covers whole 8 x 8 blocks of the JPEG grid, the file is written without
 * chroma subsampling at quality 100 (an all-black block then decodes to
 * exact black), and inside the frames no pixel is darker than a floor, so
 * the paintings never decode to black and the edges stay clean.
 *
 * The show's flames keep the blue of what lies beneath them, so a pale or
 * strongly blue area burns pink. The paintings keep their blue low where
 * they are large and flat (warm skies, dark mats and mouldings), so that
 * each reads as burning when the fire crosses it.
 *
 * Everything is computed from fixed seeds: the same program writes the
 * same file.
 *
 * The parts: paint.h lists the colours and noise (paint.cpp) and the
 * paintings made of them (paintings.cpp); wall.h the frames, the name
 * plate and the floor (wall.cpp); this file hangs the frames and writes the
 * JPEG. Start reading at main().
 */
#include "wall.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <vector>

#include <jpeglib.h> // after cstdio: it needs FILE and size_t

constexpr int block = 8;     // JPEG block size: frames cover whole blocks
constexpr int quality = 100; // JPEG quality

// the picture as a baseline JPEG, no chroma subsampling, at the quality above
static bool writejpeg(const char *path, const std::vector<col> &pix)
{
	FILE *f = fopen(path, "wb");
	if (!f)
		return false;
	jpeg_compress_struct ci;
	jpeg_error_mgr err;
	ci.err = jpeg_std_error(&err);
	jpeg_create_compress(&ci);
	jpeg_stdio_dest(&ci, f);
	ci.image_width = picw;
	ci.image_height = pich;
	ci.input_components = 3;
	ci.in_color_space = JCS_RGB;
	jpeg_set_defaults(&ci);
	jpeg_set_quality(&ci, quality, TRUE);
	for (int i = 0; i < ci.num_components; i++)
		ci.comp_info[i].h_samp_factor = ci.comp_info[i].v_samp_factor = 1;
	ci.dct_method = JDCT_ISLOW;
	ci.optimize_coding = TRUE;
	jpeg_start_compress(&ci, TRUE);
	std::vector<uint8_t> row(picw * 3);
	while (ci.next_scanline < ci.image_height) {
		for (int x = 0; x < picw; x++) {
			col c = at(pix, x, ci.next_scanline);
			row[x * 3] = (uint8_t)std::lround(c.r);
			row[x * 3 + 1] = (uint8_t)std::lround(c.g);
			row[x * 3 + 2] = (uint8_t)std::lround(c.b);
		}
		JSAMPROW r = row.data();
		jpeg_write_scanlines(&ci, &r, 1);
	}
	jpeg_finish_compress(&ci);
	jpeg_destroy_compress(&ci);
	return fclose(f) == 0;
}

int main(int argc, char **argv)
{
	if (argc != 2) {
		fprintf(stderr, "usage: mkpicture galleri.jpg\n");
		return 2;
	}
	const col gold{ 200, 150, 60 }, walnut{ 120, 78, 48 }, ebony{ 80, 62, 56 };
	const frame frames[] = {
		{ 0, 16, 120, 168, 12, gold, false, nightpines },
		{ 16, 200, 88, 88, 8, walnut, false, rings },
		{ 160, 0, 224, 160, 14, gold, false, seascape },
		{ 144, 216, 256, 88, 10, ebony, false, ridges },
		{ 424, 8, 120, 104, 10, walnut, false, poppies },
		{ 432, 128, 104, 144, 10, gold, true, oaktree },
	};
	const int plate[4] = { 200, 176, 144, 24 };
	std::vector<col> pix(picw * pich); // the picture; black is the transparent wall
	int seed = 1000;
	for (const frame &f : frames) {
		drawframe(pix, f, seed++);
		floorpixels(pix, f.x, f.y, f.w, f.h);
	}
	drawplate(pix, plate[0], plate[1], plate[2], plate[3]);
	floorpixels(pix, plate[0], plate[1], plate[2], plate[3]);
	for (const frame &f : frames)
		if (f.x % block || f.y % block || f.w % block || f.h % block)
			return fprintf(stderr, "mkpicture: a frame leaves the block grid\n"), 1;
	if (!writejpeg(argv[1], pix))
		return perror(argv[1]), 1;
	return 0;
}

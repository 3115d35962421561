#include "background.h"
#include "frame.h"
#include <vector>
#if defined(__x86_64__)
#include <immintrin.h>
#endif

// u = x (phase + bkxx x) + bkyy y splits into a column term x phase + bkxx x^2,
// the same for every row and built once per frame by differences, and a row
// term bkyy y added to it. Each pixel then costs an add and a few shifts and
// masks. The plain loop below is what every processor runs, vectorised by the
// compiler; x86-64 processors with AVX2 or AVX-512 take a path of their own.
// The plain and AVX2 paths write bytes 0 to 2 of a pixel with one 32-bit
// store that puts back the byte 3 it read: a single thread owns the screen,
// so byte 3 ends the frame as it began. The AVX-512 path stores bytes 0 to 2
// alone, under a byte mask.

// where bytes 1 and 2 of the pixel lie in u: v >> 1 and v >> 2 moved up by 8
// and 16 bits, so u shifted right by bkshift + 1 - 8 and bkshift + 2 - 16
static_assert(bkshift >= 14, "bytes 1 and 2 are taken from u by right shifts");
constexpr int bkshift1 = bkshift + 1 - 8;
constexpr int bkshift2 = bkshift + 2 - 16;
constexpr uint32_t bkmask1 = (bkmask >> 1) << 8;
constexpr uint32_t bkmask2 = (bkmask >> 2) << 16;
constexpr uint32_t bkkeep = 0xff000000; // byte 3 of a pixel, in a 32-bit load

static std::vector<uint32_t> bkcol; // the column terms, grown once to the screen's width

int bksimd = simdlevel();

int32_t bkphase(int32_t elapsed)
{
	if (elapsed < bkfast)
		return (int32_t)(elapsed * bkslow);
	// unsigned so that a frame hours late wraps instead of overflowing; the
	// pattern only uses the phase modulo 2^32 anyway
	return (int32_t)(bkrate * (uint32_t)(elapsed - bkfast) + bkfastbase);
}

// the pattern over the column terms col: h rows of w pixels from p on, the
// first with row term r
[[gnu::always_inline]] static inline void bkrows(uint32_t *p, const uint32_t *col, uint32_t w, uint32_t h, uint32_t r)
{
	for (uint32_t y = 0; y < h; y++, p += w, r += bkyy)
		for (uint32_t x = 0; x < w; x++) {
			uint32_t u = col[x] + r;
			p[x] = (p[x] & bkkeep) | (u >> bkshift & bkmask) | (u >> bkshift1 & bkmask1) | (u >> bkshift2 & bkmask2);
		}
}

static void bkbase(uint32_t *p, const uint32_t *col, uint32_t w, uint32_t h)
{
	bkrows(p, col, w, h, 0);
}

#if defined(__x86_64__)
// eight pixels at a time: v = (u >> bkshift) & bkmask, spread to v, v >> 1 and
// v >> 2 in bytes 0 to 2 by one multiply and one mask (the three copies of v
// do not overlap), then blended byte by byte over the pixel as it was
constexpr uint32_t bkspread = 1 | 1 << (8 - 1) | 1 << (16 - 2);
constexpr uint32_t bkbytes = bkmask | bkmask1 | bkmask2;
[[gnu::target("avx2")]] static void bkwide(uint32_t *p, const uint32_t *col, uint32_t w, uint32_t h)
{
	const __m256i mask = _mm256_set1_epi32(bkmask), spread = _mm256_set1_epi32(bkspread);
	const __m256i bytes = _mm256_set1_epi32(bkbytes), low3 = _mm256_set1_epi32(~bkkeep);
	uint32_t w8 = w & ~7u, r = 0;
	for (uint32_t y = 0; y < h; y++, p += w, r += bkyy) {
		const __m256i row = _mm256_set1_epi32(r);
		for (uint32_t x = 0; x < w8; x += 8) {
			__m256i u = _mm256_add_epi32(_mm256_loadu_si256((const __m256i *)(col + x)), row);
			__m256i v = _mm256_and_si256(_mm256_srli_epi32(u, bkshift), mask);
			__m256i px = _mm256_and_si256(_mm256_mullo_epi32(v, spread), bytes);
			__m256i q = _mm256_loadu_si256((const __m256i *)(p + x));
			_mm256_storeu_si256((__m256i *)(p + x), _mm256_blendv_epi8(q, px, low3));
		}
		bkrows(p + w8, col + w8, w - w8, 1, r);
	}
}

// sixteen pixels at a time: one multishift takes bits bkshift, bkshift + 1
// and bkshift + 2 on of each 32-bit half of a 64-bit lane into bytes 0, 1 and
// 2, a mask keeps v, v >> 1 and v >> 2 of them, and a masked store writes
// those three bytes and leaves byte 3 alone, without reading the screen
constexpr uint64_t bkpick = bkshift | (uint64_t)(bkshift + 1) << 8 | (uint64_t)(bkshift + 2) << 16;
constexpr uint64_t bkpick2 = bkpick | (bkpick + 0x202020) << 32; // the upper pixel's bits lie 32 higher
[[gnu::target("avx512f,avx512bw,avx512vbmi")]] static void bkwidest(uint32_t *p, const uint32_t *col, uint32_t w, uint32_t h)
{
	const __m512i pick = _mm512_set1_epi64(bkpick2), bytes = _mm512_set1_epi32(bkbytes);
	constexpr __mmask64 low3 = 0x7777777777777777;
	uint32_t w16 = w & ~15u, r = 0;
	__mmask16 tail = (1u << (w - w16)) - 1;
	__mmask64 tail3 = low3 & (((__mmask64)1 << 4 * (w - w16)) - 1);
	for (uint32_t y = 0; y < h; y++, p += w, r += bkyy) {
		const __m512i row = _mm512_set1_epi32(r);
		for (uint32_t x = 0; x < w16; x += 16) {
			__m512i u = _mm512_add_epi32(_mm512_loadu_si512(col + x), row);
			_mm512_mask_storeu_epi8(p + x, low3, _mm512_and_si512(_mm512_maskz_multishift_epi64_epi8(low3, pick, u), bytes));
		}
		if (tail) {
			__m512i u = _mm512_add_epi32(_mm512_maskz_loadu_epi32(tail, col + w16), row);
			_mm512_mask_storeu_epi8(p + w16, tail3, _mm512_and_si512(_mm512_maskz_multishift_epi64_epi8(low3, pick, u), bytes));
		}
	}
}
#endif

void bkge(int32_t phase)
{
	uint32_t w = s->w, h = s->h;
	if (bkcol.size() < w)
		bkcol.resize(w);
	// x phase + bkxx x^2 grows by phase + bkxx (2x + 1) from column x to x + 1
	uint32_t c = 0, d = (uint32_t)phase + bkxx;
	for (uint32_t x = 0; x < w; x++, d += 2 * bkxx) {
		bkcol[x] = c;
		c += d;
	}
	uint32_t *p = (uint32_t *)s->pixels;
#if defined(__x86_64__)
	if (bksimd >= 2)
		return bkwidest(p, bkcol.data(), w, h);
	if (bksimd == 1)
		return bkwide(p, bkcol.data(), w, h);
#endif
	bkbase(p, bkcol.data(), w, h);
}

#include "fire.h"
#include "frame.h"
#include <algorithm>
#include <cmath>
#include <cstdlib>
#if defined(__x86_64__)
#include <immintrin.h>
#endif
#if defined(__wasm_simd128__)
#include <wasm_simd128.h>
#endif

// Propagation and overlay come three ways. The plain loops below, without
// branches, are what every processor runs, vectorised by the compiler; x86-64
// processors with AVX2 or AVX-512 take paths of their own, chosen once at
// start, and WebAssembly built with its 128-bit SIMD takes one like the AVX2
// path, four cells at a time. Every path computes flame, fringe and smoke for
// every pixel and selects one. The plain, AVX2 and WebAssembly paths write
// bytes 0 to 2 with one 32-bit store that puts back the byte 3 it read: a
// single thread owns the screen, so byte 3 ends the frame as it began. The
// AVX-512 path stores the bytes that change alone, under a byte mask.

constexpr int32_t firebelow1 = 8;     // propagation: weight of the cell one row below ...
constexpr int32_t fireside = 10;      // ... of the cell two rows below and one left, and of the next cell ...
constexpr int32_t firebelow3 = 3;     // ... of the cell three rows below ...
constexpr int fireloss = 5;           // ... and the sum is shifted down by this: 31/32 of the heat stays
constexpr uint32_t firefringered = 10; // red of the fringe: the low byte of this times the heat
constexpr int fireflameshift = 5;     // green of a flame: the heat shifted down by this, plus fireflamegreen
constexpr uint32_t firekeep = 0xff000000; // byte 3 of a pixel, in a 32-bit load
constexpr uint32_t firekeep0 = 0xff0000ff; // bytes 3 and 0

int firew, fireh;
int32_t *firekg;

int firesimd = simdlevel();

// cells 1 to n; every source lies ahead of the cell written, so one forward
// sweep in place reads only the previous step's values, and so does a vector
// of cells loaded before it is stored
[[gnu::always_inline]] static inline void firesweep(int32_t *f, int w, int n)
{
	const int32_t *b1 = f + w, *b2 = f + 2 * w - 1, *b3 = f + 3 * w;
	for (int i = 1; i <= n; i++)
		f[i] = (firebelow1 * b1[i] + fireside * (b2[i] + f[i + 1]) + firebelow3 * b3[i]) >> fireloss;
}

// pixels and cells 0 to n - 1
[[gnu::always_inline]] static inline void firepaint(uint32_t *p, const int32_t *f, int n)
{
	for (int i = 0; i < n; i++) {
		int32_t a = f[i];
		uint32_t q = p[i];
		uint32_t flame = (q & firekeep0) | ((uint32_t)((a >> fireflameshift) + fireflamegreen) & 0xff) << 8 | (uint32_t)fireflamered << 16;
		uint32_t fringe = (q & firekeep0) | ((uint32_t)a & 0xff) << 8 | ((uint32_t)a * firefringered & 0xff) << 16;
		uint32_t t = ((q & 0xff) + firesmokeb) >> 1;
		uint32_t smoke = (q & firekeep) | t | ((t + firesmokeg) >> 1) << 8 | ((t + firesmoker) >> 1) << 16;
		p[i] = a > fireflame ? flame : a > firefringe ? fringe : a < firesmoke ? smoke : q;
	}
}

static void firesweepbase(int32_t *f, int w, int n)
{
	firesweep(f, w, n);
}

static void firepaintbase(uint32_t *p, const int32_t *f, int n)
{
	firepaint(p, f, n);
}

// What the vector overlays paint, as 32-bit words whose lanes hold pixels:
// the bytes that change, a flame's green and red in place, the fringe's red
// factor, and the smoke's rounding averages (see firepaintwide)
constexpr uint32_t firebytes12 = 0x00ffff00;  // hot cells change bytes 1 and 2 ...
constexpr uint32_t firebytes012 = 0x00ffffff; // ... smoke bytes 0 to 2
constexpr uint32_t firebyte0 = 0x000000ff, firebyte2 = 0x00ff0000;
constexpr uint32_t firegreen8 = fireflamegreen << 8, firered16 = fireflamered << 16;
constexpr uint32_t firetenfold = firefringered << 16;
constexpr uint32_t fireavgt = (firesmokeb - 1) * 0x010101;
constexpr uint32_t fireavggr = (firesmokeg - 1) << 8 | (firesmoker - 1) << 16;

#if defined(__x86_64__)
// eight cells at a time, loaded before they are stored, which keeps the
// forward sweep's order; 8 b1 + 10 (b2 + c) + 3 b3 as shifts and adds:
// with s = b2 + c it is 2 (4 (b1 + s) + s + b3) + b3
static_assert(firebelow1 == 8 && fireside == 10 && firebelow3 == 3, "the vector sweep is made for these weights");
[[gnu::target("avx2")]] static void firesweepwide(int32_t *f, int w, int n)
{
	const int32_t *b1 = f + w, *b2 = f + 2 * w - 1, *b3 = f + 3 * w;
	int i = 1;
	for (; i + 8 <= n + 1; i += 8) {
		__m256i s = _mm256_add_epi32(_mm256_loadu_si256((const __m256i *)(b2 + i)), _mm256_loadu_si256((const __m256i *)(f + i + 1)));
		__m256i d = _mm256_loadu_si256((const __m256i *)(b3 + i));
		__m256i t = _mm256_slli_epi32(_mm256_add_epi32(_mm256_loadu_si256((const __m256i *)(b1 + i)), s), 2);
		t = _mm256_slli_epi32(_mm256_add_epi32(_mm256_add_epi32(t, s), d), 1);
		_mm256_storeu_si256((__m256i *)(f + i), _mm256_srai_epi32(_mm256_add_epi32(t, d), fireloss));
	}
	firesweep(f + i - 1, w, n - i + 1);
}

// eight pixels at a time. The masks of flame, fringe and smoke say which
// bytes change: 1 and 2 over hot cells, 0 to 2 over smoke; eight cells with
// none of them leave their pixels alone, which is most of the screen in the
// show. Flame and fringe are built in place: byte 1 of (a << 3) + (100 << 8)
// is (a >> 5) + 100, byte 1 of a << 8 is a, byte 2 of a (10 << 16) is 10 a.
// Smoke works on bytes: (x + y + 1) >> 1 is the rounding average of two
// bytes, so t = avg(b0, 59), (t + 90) >> 1 = avg(t, 89), (t + 60) >> 1 = avg(t, 59).
[[gnu::target("avx2")]] static void firepaintwide(uint32_t *p, const int32_t *f, int n)
{
	const __m256i flame = _mm256_set1_epi32(fireflame), fringe = _mm256_set1_epi32(firefringe);
	const __m256i smoke = _mm256_set1_epi32(firesmoke);
	const __m256i bytes12 = _mm256_set1_epi32(firebytes12), bytes012 = _mm256_set1_epi32(firebytes012);
	const __m256i byte0 = _mm256_set1_epi32(firebyte0), byte2 = _mm256_set1_epi32(firebyte2);
	const __m256i green = _mm256_set1_epi32(firegreen8), red = _mm256_set1_epi32(firered16);
	const __m256i tenfold = _mm256_set1_epi32(firetenfold);
	const __m256i spread0 = _mm256_setr_epi8(0, 0, 0, -1, 4, 4, 4, -1, 8, 8, 8, -1, 12, 12, 12, -1,
		0, 0, 0, -1, 4, 4, 4, -1, 8, 8, 8, -1, 12, 12, 12, -1);
	const __m256i avgt = _mm256_set1_epi32(fireavgt);
	const __m256i avggr = _mm256_set1_epi32(fireavggr);
	int n8 = n & ~7;
	for (int i = 0; i < n8; i += 8) {
		__m256i a = _mm256_loadu_si256((const __m256i *)(f + i));
		__m256i hot = _mm256_cmpgt_epi32(a, fringe);
		__m256i cold = _mm256_cmpgt_epi32(smoke, a);
		__m256i change = _mm256_blendv_epi8(_mm256_and_si256(cold, bytes012), bytes12, hot);
		if (_mm256_testz_si256(change, change))
			continue;
		__m256i isflame = _mm256_cmpgt_epi32(a, flame);
		__m256i g = _mm256_blendv_epi8(_mm256_slli_epi32(a, 8), _mm256_add_epi32(_mm256_slli_epi32(a, 8 - fireflameshift), green), isflame);
		__m256i r = _mm256_blendv_epi8(_mm256_mullo_epi32(a, tenfold), red, isflame);
		__m256i heat = _mm256_blendv_epi8(g, r, byte2);
		__m256i q = _mm256_loadu_si256((const __m256i *)(p + i));
		__m256i t = _mm256_avg_epu8(_mm256_shuffle_epi8(q, spread0), avgt);
		__m256i veil = _mm256_blendv_epi8(_mm256_avg_epu8(t, avggr), t, byte0);
		__m256i paint = _mm256_blendv_epi8(veil, heat, hot);
		_mm256_storeu_si256((__m256i *)(p + i), _mm256_blendv_epi8(q, paint, change));
	}
	firepaint(p + n8, f + n8, n - n8);
}

// all sixteen lanes: the masked forms of shifts and broadcasts spare the
// plain ones' undefined start value, which the compiler warns of
constexpr __mmask16 all = 0xffff;

// the sweep sixteen cells at a time
[[gnu::target("avx512f")]] static void firesweepwidest(int32_t *f, int w, int n)
{
	const int32_t *b1 = f + w, *b2 = f + 2 * w - 1, *b3 = f + 3 * w;
	int i = 1;
	for (; i + 16 <= n + 1; i += 16) {
		__m512i s = _mm512_add_epi32(_mm512_loadu_si512(b2 + i), _mm512_loadu_si512(f + i + 1));
		__m512i d = _mm512_loadu_si512(b3 + i);
		__m512i t = _mm512_maskz_slli_epi32(all, _mm512_add_epi32(_mm512_loadu_si512(b1 + i), s), 2);
		t = _mm512_maskz_slli_epi32(all, _mm512_add_epi32(_mm512_add_epi32(t, s), d), 1);
		_mm512_storeu_si512(f + i, _mm512_maskz_srai_epi32(all, _mm512_add_epi32(t, d), fireloss));
	}
	firesweep(f + i - 1, w, n - i + 1);
}

// the overlay sixteen pixels at a time, as the eight above, but with mask
// registers, and a store under a byte mask that writes only the bytes that
// change and never byte 3
[[gnu::target("avx512f,avx512bw")]] static void firepaintwidest(uint32_t *p, const int32_t *f, int n)
{
	const __m512i flame = _mm512_set1_epi32(fireflame), fringe = _mm512_set1_epi32(firefringe);
	const __m512i smoke = _mm512_set1_epi32(firesmoke);
	const __m512i bytes12 = _mm512_set1_epi32(firebytes12), bytes012 = _mm512_set1_epi32(firebytes012);
	constexpr __mmask64 byte0 = 0x1111111111111111, byte2 = 0x4444444444444444;
	const __m512i green = _mm512_set1_epi32(firegreen8), red = _mm512_set1_epi32(firered16);
	const __m512i tenfold = _mm512_set1_epi32(firetenfold);
	const __m512i spread0 = _mm512_maskz_broadcast_i32x4(all, _mm_setr_epi8(0, 0, 0, -1, 4, 4, 4, -1, 8, 8, 8, -1, 12, 12, 12, -1));
	const __m512i avgt = _mm512_set1_epi32(fireavgt);
	const __m512i avggr = _mm512_set1_epi32(fireavggr);
	int n16 = n & ~15;
	for (int i = 0; i < n16; i += 16) {
		__m512i a = _mm512_loadu_si512(f + i);
		__mmask16 hot = _mm512_cmpgt_epi32_mask(a, fringe), cold = _mm512_cmplt_epi32_mask(a, smoke);
		if (!(hot | cold))
			continue;
		__mmask16 isflame = _mm512_cmpgt_epi32_mask(a, flame);
		__m512i g = _mm512_mask_blend_epi32(isflame, _mm512_maskz_slli_epi32(all, a, 8), _mm512_add_epi32(_mm512_maskz_slli_epi32(all, a, 8 - fireflameshift), green));
		__m512i r = _mm512_mask_blend_epi32(isflame, _mm512_mullo_epi32(a, tenfold), red);
		__m512i heat = _mm512_mask_blend_epi8(byte2, g, r);
		__m512i q = _mm512_loadu_si512(p + i);
		__m512i t = _mm512_avg_epu8(_mm512_shuffle_epi8(q, spread0), avgt);
		__m512i veil = _mm512_mask_blend_epi8(byte0, _mm512_avg_epu8(t, avggr), t);
		__m512i paint = _mm512_mask_blend_epi32(hot, veil, heat);
		__mmask64 change = _mm512_movepi8_mask(_mm512_mask_blend_epi32(hot, _mm512_maskz_mov_epi32(cold, bytes012), bytes12));
		_mm512_mask_storeu_epi8(p + i, change, paint);
	}
	firepaint(p + n16, f + n16, n - n16);
}
#endif

#if defined(__wasm_simd128__)
// the sweep four cells at a time, as the eight of firesweepwide
static void firesweepsimd(int32_t *f, int w, int n)
{
	const int32_t *b1 = f + w, *b2 = f + 2 * w - 1, *b3 = f + 3 * w;
	int i = 1;
	for (; i + 4 <= n + 1; i += 4) {
		v128_t s = wasm_i32x4_add(wasm_v128_load(b2 + i), wasm_v128_load(f + i + 1));
		v128_t d = wasm_v128_load(b3 + i);
		v128_t t = wasm_i32x4_shl(wasm_i32x4_add(wasm_v128_load(b1 + i), s), 2);
		t = wasm_i32x4_shl(wasm_i32x4_add(wasm_i32x4_add(t, s), d), 1);
		wasm_v128_store(f + i, wasm_i32x4_shr(wasm_i32x4_add(t, d), fireloss));
	}
	firesweep(f + i - 1, w, n - i + 1);
}

// the overlay four pixels at a time, as the eight of firepaintwide, whose
// blends are bit selects here: bitselect(a, b, m) takes a where m is set
static void firepaintsimd(uint32_t *p, const int32_t *f, int n)
{
	const v128_t flame = wasm_i32x4_splat(fireflame), fringe = wasm_i32x4_splat(firefringe);
	const v128_t smoke = wasm_i32x4_splat(firesmoke);
	const v128_t bytes12 = wasm_i32x4_splat(firebytes12), bytes012 = wasm_i32x4_splat(firebytes012);
	const v128_t byte0 = wasm_i32x4_splat(firebyte0), byte2 = wasm_i32x4_splat(firebyte2);
	const v128_t green = wasm_i32x4_splat(firegreen8), red = wasm_i32x4_splat(firered16);
	const v128_t tenfold = wasm_i32x4_splat(firetenfold);
	const v128_t spread0 = wasm_i8x16_const(0, 0, 0, -1, 4, 4, 4, -1, 8, 8, 8, -1, 12, 12, 12, -1);
	const v128_t avgt = wasm_i32x4_splat(fireavgt);
	const v128_t avggr = wasm_i32x4_splat(fireavggr);
	int n4 = n & ~3;
	for (int i = 0; i < n4; i += 4) {
		v128_t a = wasm_v128_load(f + i);
		v128_t hot = wasm_i32x4_gt(a, fringe);
		v128_t cold = wasm_i32x4_lt(a, smoke);
		v128_t change = wasm_v128_bitselect(bytes12, wasm_v128_and(cold, bytes012), hot);
		if (!wasm_v128_any_true(change))
			continue;
		v128_t isflame = wasm_i32x4_gt(a, flame);
		v128_t g = wasm_v128_bitselect(wasm_i32x4_add(wasm_i32x4_shl(a, 8 - fireflameshift), green), wasm_i32x4_shl(a, 8), isflame);
		v128_t r = wasm_v128_bitselect(red, wasm_i32x4_mul(a, tenfold), isflame);
		v128_t heat = wasm_v128_bitselect(r, g, byte2);
		v128_t q = wasm_v128_load(p + i);
		v128_t t = wasm_u8x16_avgr(wasm_i8x16_swizzle(q, spread0), avgt);
		v128_t veil = wasm_v128_bitselect(t, wasm_u8x16_avgr(t, avggr), byte0);
		v128_t paint = wasm_v128_bitselect(heat, veil, hot);
		wasm_v128_store(p + i, wasm_v128_bitselect(paint, q, change));
	}
	firepaint(p + n4, f + n4, n - n4);
}
#endif

void firekl()
{
	int n = firew * (fireh - 5);
#if defined(__wasm_simd128__)
	if (firesimd >= 1)
		return firesweepsimd(firekg, firew, n);
#endif
#if defined(__x86_64__)
	if (firesimd >= 2)
		return firesweepwidest(firekg, firew, n);
	if (firesimd == 1)
		return firesweepwide(firekg, firew, n);
#endif
	firesweepbase(firekg, firew, n);
}

void firegf(int x0, int w, int y0, int h)
{
	for (int y = y0; y < y0 + h; y++)
		for (int x = x0; x < x0 + w; x++)
			firekg[y * firew + x] = (rand() & firemask) - firebias;
}

void firegk()
{
	uint32_t *p = (uint32_t *)s->pixels;
	int n = s->w * s->h;
#if defined(__wasm_simd128__)
	if (firesimd >= 1)
		return firepaintsimd(p, firekg, n);
#endif
#if defined(__x86_64__)
	if (firesimd >= 2)
		return firepaintwidest(p, firekg, n);
	if (firesimd == 1)
		return firepaintwide(p, firekg, n);
#endif
	firepaintbase(p, firekg, n);
}

// firegf over the part of the rectangle that lies in the field. The sources
// take their place from the rectangle the blit wrote back, which keeps them
// inside the field only where the runtime clips it as SDL 1.2 does; the field
// is flat, so a cell left of column 0 or right of the last would be one at
// the other end of the row above or below.
static void fireseed(int x0, int w, int y0, int h)
{
	int x1 = std::min(x0 + w, firew), y1 = std::min(y0 + h, fireh);
	x0 = std::max(x0, 0);
	y0 = std::max(y0, 0);
	firegf(x0, x1 - x0, y0, y1 - y0);
}

void firels(int32_t elapsed, const SDL_Rect &imdst)
{
	double e = elapsed;
	int b = imdst.y + imdst.h;
	if ((uint32_t)(elapsed - fireswing) <= fireswinglen) {
		int x0 = (int)(fireswingamp * sin(e * M_PI / fireswingper) + (firew / 2));
		fireseed(x0, fireswingw, b, fireswingh);
	}
	if ((uint32_t)(elapsed - fireedge) <= fireedgelen)
		fireseed(imdst.x, imdst.w, b, 1);
}

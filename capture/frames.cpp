// The capture's clock, and the screen's pixels scaled up, over memory.
#include "capture.h"
#include <cstring>
#include <vector>

int32_t captime(int64_t k, int fps)
{
	return (int32_t)(k * 1000 / fps);
}

int64_t capframes(int fps, int32_t until)
{
	// the last frame is the first k with k * 1000 / fps >= until
	return ((int64_t)until * fps + 999) / 1000 + 1;
}

int32_t capframe(int64_t k, int fps, framestate &f)
{
	return frame(capstart + (uint32_t)captime(k, fps), capstart, f);
}

void capplane(const uint8_t *src, int srcpitch, uint8_t *dst, int dstpitch, int dw, int dh, int num, int den)
{
	std::vector<int> col(dw);
	for (int x = 0; x < dw; x++)
		col[x] = x * num / den;
	const uint8_t *done = NULL; // the source row of the last row made
	for (int y = 0; y < dh; y++, dst += dstpitch) {
		const uint8_t *r = src + (size_t)(y * num / den) * srcpitch;
		if (r == done) {
			memcpy(dst, dst - dstpitch, dw);
			continue;
		}
		for (int x = 0; x < dw; x++)
			dst[x] = r[col[x]];
		done = r;
	}
}

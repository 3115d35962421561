// Colours and value noise, which the paintings and the frames are made of.
#include "paint.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

col mix(col a, col b, float t)
{
	return { a.r + (b.r - a.r) * t, a.g + (b.g - a.g) * t, a.b + (b.b - a.b) * t };
}

col scale(col a, float k)
{
	return { a.r * k, a.g * k, a.b * k };
}

float clamp01(float t)
{
	return std::clamp(t, 0.0f, 1.0f);
}

float smooth(float a, float b, float t)
{
	t = clamp01((t - a) / (b - a));
	return t * t * (3 - 2 * t);
}

float hashf(int x, int y, int seed)
{
	uint32_t h = (uint32_t)x * 374761393u + (uint32_t)y * 668265263u + (uint32_t)seed * 2246822519u;
	h = (h ^ (h >> 13)) * 1274126177u;
	h ^= h >> 16;
	return (h & 0xffffff) / 16777216.0f;
}

float vnoise(float x, float y, int seed)
{
	int xi = (int)std::floor(x), yi = (int)std::floor(y);
	float fx = x - xi, fy = y - yi;
	fx = fx * fx * (3 - 2 * fx);
	fy = fy * fy * (3 - 2 * fy);
	float a = hashf(xi, yi, seed), b = hashf(xi + 1, yi, seed);
	float c = hashf(xi, yi + 1, seed), d = hashf(xi + 1, yi + 1, seed);
	return a + (b - a) * fx + (c - a) * fy + (a - b - c + d) * fx * fy;
}

float fbm(float x, float y, int seed, int octaves)
{
	float sum = 0, amp = 0.5f;
	for (int i = 0; i < octaves; i++) {
		sum += amp * vnoise(x, y, seed + i * 101);
		x *= 2.03f;
		y *= 2.03f;
		amp *= 0.5f;
	}
	return sum;
}

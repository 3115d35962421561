#include "fire.h"
#include "brindlewock.h"
#include <cmath>
#include <cstdlib>

int firew, fireh;
int32_t *firekg;

void firekl()
{
	int32_t *f = firekg;
	int w = firew;
	int n = w * (fireh - 5);
	// every source lies ahead of the cell written, so one forward sweep in
	// place reads only the previous step's values
	for (int i = 1; i <= n; i++)
		f[i] = (8 * f[i + w] + 10 * f[i + 2 * w - 1] + 10 * f[i + 1] + 3 * f[i + 3 * w]) >> 5;
}

void firegf(int x0, int w, int y0, int h)
{
	for (int y = y0; y < y0 + h; y++)
		for (int x = x0; x < x0 + w; x++)
			firekg[y * firew + x] = (rand() & firemask) - firebias;
}

void firegk()
{
	uint8_t *p = (uint8_t *)s->pixels;
	const int32_t *f = firekg;
	int n = s->w * s->h;
	for (int i = 0; i < n; i++, p += 4) {
		int32_t a = f[i];
		if (a > fireflame) {
			p[1] = (a >> 5) + fireflamegreen;
			p[2] = fireflamered;
		} else if (a > firefringe) {
			p[1] = a;
			p[2] = 10 * a;
		} else if (a < firesmoke) {
			int t = (p[0] + firesmokeb) >> 1;
			p[0] = t;
			p[1] = (t + firesmokeg) >> 1;
			p[2] = (t + firesmoker) >> 1;
		}
	}
}

void firels(int32_t elapsed, const SDL_Rect &imdst)
{
	double e = elapsed;
	int b = imdst.y + imdst.h;
	if ((uint32_t)(elapsed - fireswing) <= fireswinglen) {
		int x0 = (int)(fireswingamp * sin(e * M_PI / fireswingper) + (firew / 2));
		firegf(x0, fireswingw, b, fireswingh);
	}
	if ((uint32_t)(elapsed - fireedge) <= fireedgelen)
		firegf(imdst.x, imdst.w, b, 1);
}

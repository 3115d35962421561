#include "picture.h"
#include "frame.h"
#include <cmath>

SDL_Surface *ims[1];

void imgeom(int32_t elapsed, int picw, int pich, int screenw, SDL_Rect &imsrc, SDL_Rect &imdst)
{
	double e = elapsed;
	double f = (e - imcut) / imcutlen;
	double k = f < 0 ? 1 : f <= 1 ? 1 - f : 0;
	imsrc.x = 0;
	imsrc.y = 0;
	imsrc.w = picw;
	imsrc.h = (int)(k * pich);
	double th = e * M_PI / imturn;
	int c = (screenw - picw) / 2;
	imdst.x = (int)(imradius * cos(th) + c);
	imdst.y = (int)(imradius * sin(th) + imtop);
	imdst.w = 0;
	imdst.h = 0;
}

int imfade(int32_t elapsed, SDL_Rect &imdst)
{
	double g = ((double)elapsed - imfadein) / imfadelen;
	if (g < 0)
		return -1;
	if (g >= 1)
		return imopaque;
	imdst.y = (int)(imdst.y - imslide * (1 - g));
	return (uint8_t)(int)(imopaque * pow(g, imfadepow));
}

void imdraw(int32_t elapsed, SDL_Rect &imsrc, SDL_Rect &imdst)
{
	int alpha = imfade(elapsed, imdst);
	if (alpha < 0)
		return;
	SDL_SetAlpha(ims[0], SDL_SRCALPHA, alpha);
	SDL_BlitSurface(ims[0], &imsrc, s, &imdst);
}

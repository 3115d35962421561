// Colours and value noise (paint.cpp), and the paintings made of them
// (paintings.cpp). Colours are floats from 0 to 255 a channel.
#pragma once

struct col {
	float r, g, b;
};

col mix(col a, col b, float t);             // from a at t = 0 to b at t = 1
col scale(col a, float k);                  // every channel times k
float clamp01(float t);                     // t held to 0..1
float smooth(float a, float b, float t);    // 0 below a, 1 above b, a smooth step between
float hashf(int x, int y, int seed);        // a fixed random number in 0..1 for a point
float vnoise(float x, float y, int seed);   // value noise, smooth between whole points
float fbm(float x, float y, int seed, int octaves); // octaves of value noise, finer each

// A painting fills the inside of a frame; it gets the pixel's position
// relative to the inside, u and v from 0 to 1, and the inside's size.
using painting = col (*)(float u, float v, int w, int h);

col seascape(float u, float v, int w, int h);   // sunset over the sea, two islands
col nightpines(float u, float v, int w, int h); // crescent moon, stars, pines on a hill
col rings(float u, float v, int w, int h);      // four quarters of coloured rings
col ridges(float u, float v, int w, int h);     // layers of misty ridges under a low sun
col poppies(float u, float v, int w, int h);    // a poppy field under clouds
col oaktree(float u, float v, int w, int h);    // a tree against a warm sky, in the oval mat

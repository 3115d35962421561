// The interference background: a pattern of blue fringes over the whole screen.
#pragma once

#include <cstdint>

constexpr int32_t bkfast = 40000;     // ms: from here the background races
constexpr double bkslow = 1.5;        // phase per ms before bkfast
constexpr uint32_t bkrate = 100;      // phase per ms from bkfast on
constexpr uint32_t bkfastbase = 60000; // phase at bkfast, where both rules meet
constexpr uint32_t bkxx = 52000;      // weight of x squared: fringes grow denser to the right
constexpr uint32_t bkyy = 25000;      // weight of the row: tilts the fringes
constexpr int bkshift = 17;           // the pattern's value is bits 17 to 23 ...
constexpr uint32_t bkmask = 0x7f;     // ... of the sum

// the background's phase at a show time
int32_t bkphase(int32_t elapsed);
// paints bytes 0 to 2 of every pixel of the screen for a phase
void bkge(int32_t phase);

// the vector path bkge takes: 0 the plain loop, 1 AVX2, 2 AVX-512 (with BW
// and VBMI); set at start to the widest the processor runs
extern int bksimd;

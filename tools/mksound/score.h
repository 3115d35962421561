// The score: the music along the show's time line, 120 beats a minute, one
// bar every 2 seconds.
#pragma once
#include "synth.h"

// plays the whole show's music into the buses
void compose(buses &bus);

// The mix: the buses into the file's samples.
#pragma once
#include "synth.h"

#include <cstdint>
#include <vector>

// adds the echo into the delay's buses, sums all through the room and the
// compressor, and returns 16-bit stereo samples, left and right
// interleaved, the loudest at the mix's peak
std::vector<int16_t> mixdown(buses &bus);

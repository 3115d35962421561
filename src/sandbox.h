// What the loading's three files share: spawn.cpp reads a file and starts
// its decoder, exchange.cpp sends it the file and takes its answer, and
// load.cpp makes the picture or the music of that answer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

using bytes = std::vector<uint8_t>;

// What came back: what it holds, a picture's size, and the body, in
// memory of its own (malloc's, which maps a large block without touching
// it, so that a claim that never comes costs nothing); the taker frees it.
struct reply {
	uint64_t what = 0;                // saidpicture, saidmusic, saidfailed; 0 for no whole answer
	int32_t size[2] = { 0, 0 };       // a picture's width and height
	uint8_t *body = nullptr;
	size_t len = 0;
};

// spawn.cpp

// reads file, a regular file of at most maxfile bytes, whole into out; false with SDL's error set
bool slurp(const char *file, bytes &out);
// starts the decoder args[0] names with args, on the socket sock; its process id, or -1 with SDL's error set
pid_t spawn(const std::vector<std::string> &args, int sock);

// exchange.cpp

// file decoded by the decoder started with args: its answer, want or saidfailed with a body of at
// most most bytes; none (what 0) with SDL's error set where there is no right one (loadstopped: a
// signal that stopped it)
reply sandboxed(const bytes &file, const std::vector<std::string> &args, uint64_t want, uint64_t most);

// The C library's random numbers as glibc makes them, for builds whose C
// library makes others: the same sequence of rand() after the same srand().
#pragma once

// seeds the sequence as glibc's srand() does
void rndseed(unsigned seed);
// the next number, 0 to 2^31 - 1, as glibc's rand(); before any rndseed, the sequence of seed 1
int rnd();

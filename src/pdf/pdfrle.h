// Run-length encoding of /RunLengthDecode streams.
#pragma once

#include <cstdint>

// Room the output of EncodeRunLength needs for n input bytes, end marker
// included: a lone byte costs two, plus the marker.
inline int64_t RunLengthMaxSize(int64_t n) { return 2 * (n < 0 ? 0 : n) + 1; }

// Encodes n bytes into output (at least RunLengthMaxSize(n) bytes) and returns
// the number of bytes written, end marker included. Repeats of 2..128 equal
// bytes become runs; everything else becomes literals of up to 128 bytes. A
// literal ends at the first byte that equals its successor and takes that byte
// along, so "A B C C C" is the literal "A B C" and the run "C C".
int64_t EncodeRunLength(const uint8_t* input, int64_t n, uint8_t* output);

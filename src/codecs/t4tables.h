// The code words of two-level fax coding: run lengths per colour and the
// two-dimensional mode codes. The fax encoder and decoder both read these, so
// a code exists in exactly one place.
#pragma once

#include <cstdint>

struct TIET4Code {
  uint16_t Code;   // the code word, right-aligned, first bit most significant
  uint8_t Length;  // bits
  uint16_t Run;    // pixels (make-up codes: a multiple of 64)
};

// Terminating codes, indexed by run length 0..63.
extern const TIET4Code kT4WhiteTerminating[64];
extern const TIET4Code kT4BlackTerminating[64];
// Make-up codes for 64..1728, indexed by run / 64 - 1.
extern const TIET4Code kT4WhiteMakeUp[27];
extern const TIET4Code kT4BlackMakeUp[27];
// Make-up codes for 1792..2560 shared by both colours, indexed by run / 64 - 28.
extern const TIET4Code kT4ExtendedMakeUp[13];

inline constexpr int kT4LongestMakeUp = 2560;

// Two-dimensional mode codes.
inline constexpr TIET4Code kT4Pass = {0b0001, 4, 0};
inline constexpr TIET4Code kT4Horizontal = {0b001, 3, 0};
// Vertical codes indexed by a1 - b1 + 3 (VL3 .. V0 .. VR3).
inline constexpr TIET4Code kT4Vertical[7] = {
    {0b0000010, 7, 0}, {0b000010, 6, 0}, {0b010, 3, 0}, {0b1, 1, 0},
    {0b011, 3, 0},     {0b000011, 6, 0}, {0b0000011, 7, 0},
};
// Entrance to uncompressed mode from a two-dimensional row, and its
// one-dimensional form.
inline constexpr TIET4Code kT4Uncompressed2D = {0b0000001111, 10, 0};
inline constexpr TIET4Code kT4Uncompressed1D = {0b000000001111, 12, 0};
// End of line: eleven zeros and a one.
inline constexpr TIET4Code kT4EndOfLine = {0b000000000001, 12, 0};

// The code that starts a run of `run` pixels: the terminating code below 64,
// otherwise the make-up code for the largest multiple of 64 not above it
// (2560 at most).
inline const TIET4Code& T4RunCode(bool black, int run) {
  if (run < 64) return black ? kT4BlackTerminating[run] : kT4WhiteTerminating[run];
  int m = (run > kT4LongestMakeUp ? kT4LongestMakeUp : run) / 64;
  if (m >= 28) return kT4ExtendedMakeUp[m - 28];
  return black ? kT4BlackMakeUp[m - 1] : kT4WhiteMakeUp[m - 1];
}

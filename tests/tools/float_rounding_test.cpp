#include "float_rounding.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>

namespace {

// Bit for bit, except that a NaN need only be a NaN: whether a signalling NaN comes back quiet,
// and the sign of a NaN made from an infinity, are the library's own choices.
bool same_bits(float got, float want) {
  return std::isnan(want) ? std::isnan(got)
                          : std::bit_cast<uint32_t>(got) == std::bit_cast<uint32_t>(want);
}

// Every float against the library. Catches the usual shortcuts: floor(x + 0.5) rounds 0.49999997
// up and halves of negatives the wrong way, and a lost sign gives +0 for -0.3.
TEST(Float_Rounding, RoundHalfAwayGivesTheLibrarysBitsForEveryFloat) {
  uint64_t mismatches = 0;
  uint32_t first = 0;
  for (uint64_t bits = 0; bits <= UINT32_MAX; ++bits) {
    const float value = std::bit_cast<float>(static_cast<uint32_t>(bits));
    if (!same_bits(lumbrix::round_half_away(value), std::round(value)) && mismatches++ == 0) {
      first = static_cast<uint32_t>(bits);
    }
  }
  EXPECT_EQ(mismatches, 0u) << "first at bits 0x" << std::hex << first;
}

// The part below one, against the library's remainder, which is slow, most of all for large
// magnitudes (it steps through the exponents): every 13th float below 2^24 and every 1021st above
// (all exponents and signs, the low mantissa bits in every pattern) rather than all of them.
TEST(Float_Rounding, FractionOfGivesTheLibrarysBitsForEveryFloat) {
  uint64_t mismatches = 0;
  uint32_t first = 0;
  for (uint64_t bits = 0; bits <= UINT32_MAX;) {
    const float value = std::bit_cast<float>(static_cast<uint32_t>(bits));
    if (!same_bits(lumbrix::fraction_of(value), std::fmod(value, 1.0f)) && mismatches++ == 0) {
      first = static_cast<uint32_t>(bits);
    }
    bits += std::fabs(value) < 16777216.0f ? 13 : 1021;
  }
  EXPECT_EQ(mismatches, 0u) << "first at bits 0x" << std::hex << first;
}

}  // namespace

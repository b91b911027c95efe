#include "base/pixel.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

namespace {

// The layout decides which position a channel lives in.
TEST(Pixel_Traits, ChannelPositionsAndWhite) {
  using A8 = brel::Pixel_Traits<brel::ARGB8>;
  using B16 = brel::Pixel_Traits<brel::BGRA16>;
  const brel::ARGB8 argb{{10, 20, 30, 40}};
  const brel::BGRA16 bgra{{10, 20, 30, 40}};
  EXPECT_EQ((std::vector<float>{A8::load(argb, A8::alpha), A8::load(argb, A8::red),
                                A8::load(argb, A8::green), A8::load(argb, A8::blue)}),
            (std::vector<float>{10, 20, 30, 40}));
  EXPECT_EQ((std::vector<float>{B16::load(bgra, B16::blue), B16::load(bgra, B16::green),
                                B16::load(bgra, B16::red), B16::load(bgra, B16::alpha)}),
            (std::vector<float>{10, 20, 30, 40}));
  // 16-bit white is 32768, not the type's maximum.
  EXPECT_EQ(B16::white_value, 32768.0f);
  // Kernels scale integer textures by these exact floats.
  EXPECT_EQ(A8::white_reciprocal, 0.003921569f);
  EXPECT_EQ(B16::white_reciprocal, 3.0517578125e-05f);
  EXPECT_EQ(brel::Pixel_Traits<brel::RGB32f>::white_reciprocal, 1.0f);
}

TEST(Pixel_Traits, IntegerStoresSaturateAndSendNanToZeroFloatStoresAreUnchanged) {
  using T8 = brel::Pixel_Traits<brel::ARGB8>;
  using T16 = brel::Pixel_Traits<brel::ARGB16>;
  using T32 = brel::Pixel_Traits<brel::ARGB32f>;
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  // value, truncated, rounded
  const float cases_8[][3] = {{nan, 0, 0},         {-3.0f, 0, 0},      {-inf, 0, 0},
                              {-0.7f, 0, 0},       {3.49f, 3, 3},      {254.5f, 254, 255},
                              {254.99f, 254, 255}, {256.0f, 255, 255}, {1.0e20f, 255, 255},
                              {inf, 255, 255}};
  for (const auto& [value, truncated, rounded] : cases_8) {
    EXPECT_EQ(T8::to_channel_truncated(value), truncated) << value;
    EXPECT_EQ(T8::to_channel_rounded(value), rounded) << value;
  }
  // 16-bit saturates at the type's maximum, not at white: values above white stay defined.
  const float cases_16[][3] = {{nan, 0, 0},
                               {32767.5f, 32767, 32768},
                               {49152.0f, 49152, 49152},
                               {65534.6f, 65534, 65535},
                               {70000.0f, 65535, 65535}};
  for (const auto& [value, truncated, rounded] : cases_16) {
    EXPECT_EQ(T16::to_channel_truncated(value), truncated) << value;
    EXPECT_EQ(T16::to_channel_rounded(value), rounded) << value;
  }
  EXPECT_EQ(T32::to_channel_truncated(70000.5f), 70000.5f);
  EXPECT_EQ(T32::to_channel_rounded(-0.25f), -0.25f);

  // Stores write the named position only.
  using T = brel::Pixel_Traits<brel::BGRA8>;
  brel::BGRA8 pixel{{1, 2, 3, 4}};
  T::store_truncated(pixel, T::red, 99.9f);
  T::store_rounded(pixel, T::alpha, 99.5f);
  EXPECT_EQ((std::vector<int>(pixel.channel, pixel.channel + 4)),
            (std::vector<int>{1, 2, 99, 100}));
}

// Rounding stores round as std::round does: at every half between two channel values, at the
// floats beside it, and at the largest float below a half of the first step.
TEST(Pixel_Traits, IntegerRoundingMatchesTheLibraryRoundAtEveryHalf) {
  using T8 = brel::Pixel_Traits<brel::ARGB8>;
  using T16 = brel::Pixel_Traits<brel::ARGB16>;
  int64_t mismatches = 0;
  for (int32_t k = 0; k < 65535; ++k) {
    float v = static_cast<float>(k) + 0.5f;
    for (int32_t step = 0; step < 3; ++step) {
      v = std::nextafter(v, 0.0f);
    }
    for (int32_t step = 0; step < 7; ++step, v = std::nextafter(v, 70000.0f)) {
      mismatches += T16::to_channel_rounded(v) != static_cast<uint16_t>(std::round(v));
      if (k < 255) {
        mismatches += T8::to_channel_rounded(v) != static_cast<uint8_t>(std::round(v));
      }
    }
  }
  EXPECT_EQ(mismatches, 0);
  EXPECT_EQ(T8::to_channel_rounded(0.49999997f), 0);
  EXPECT_EQ(T16::to_channel_rounded(1.0e-45f), 0);
}

// The block conversion must give what the single one gives, value for value, also at the edges
// of the range, for values that are no number and for the values left over after the blocks.
template <class P>
void expect_block_matches_single() {
  using Traits = brel::Pixel_Traits<P>;
  const float inf = std::numeric_limits<float>::infinity();
  const float nan = std::numeric_limits<float>::quiet_NaN();
  std::vector<float> values = {nan,      -inf,     inf,      -1.0f,    -0.0f,    0.0f,   0.5f,
                               0.99f,    1.0f,     127.5f,   254.99f,  255.0f,   255.5f, 256.0f,
                               32767.5f, 32768.0f, 65534.9f, 65535.0f, 65536.0f, 1e10f};
  for (int32_t i = 0; i < 200; ++i) {
    values.push_back(static_cast<float>(i) * 331.7f - 900.0f);
  }
  std::vector<typename Traits::Channel> block(values.size());
  Traits::to_channels_truncated(values.data(), block.data(), static_cast<int64_t>(values.size()));
  for (size_t i = 0; i < values.size(); ++i) {
    const auto single = Traits::to_channel_truncated(values[i]);
    if constexpr (Traits::is_integer) {
      EXPECT_EQ(block[i], single) << values[i];
    } else {
      EXPECT_TRUE(block[i] == single || (std::isnan(block[i]) && std::isnan(single))) << values[i];
    }
  }
}

TEST(Pixel_Traits, BlockConversionMatchesTheSingleOne) {
  expect_block_matches_single<brel::ARGB8>();
  expect_block_matches_single<brel::BGRA16>();
  expect_block_matches_single<brel::ARGB32f>();
}

}  // namespace

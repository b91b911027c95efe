#include "base/pixel.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

namespace {

TEST(Pixel_Traits, ChannelPositionsAndWhiteOfEveryColourType) {
  using A8 = brel::Pixel_Traits<brel::ARGB8>;
  using B16 = brel::Pixel_Traits<brel::BGRA16>;
  using A32 = brel::Pixel_Traits<brel::ARGB32f>;
  using C = brel::Pixel_Traits<brel::RGB32f>;
  EXPECT_EQ(A8::alpha, 0);
  EXPECT_EQ(A8::red, 1);
  EXPECT_EQ(A8::green, 2);
  EXPECT_EQ(A8::blue, 3);
  EXPECT_EQ(B16::blue, 0);
  EXPECT_EQ(B16::green, 1);
  EXPECT_EQ(B16::red, 2);
  EXPECT_EQ(B16::alpha, 3);
  EXPECT_EQ(A8::white_value, 255.0f);
  EXPECT_EQ(B16::white_value, 32768.0f);
  EXPECT_EQ(A32::white_value, 1.0f);
  EXPECT_EQ(C::channel_count, 3);
  EXPECT_FALSE(C::has_alpha);
  EXPECT_EQ(A8::channel_count, 4);

  // The layout decides which byte a channel lives in.
  brel::BGRA8 pixel{{10, 20, 30, 40}};
  EXPECT_EQ(brel::Pixel_Traits<brel::BGRA8>::load(pixel, brel::Pixel_Traits<brel::BGRA8>::red),
            30.0f);
}

TEST(Pixel_Traits, IntegerStoresSaturateAndSendNanToZero) {
  using T8 = brel::Pixel_Traits<brel::ARGB8>;
  using T16 = brel::Pixel_Traits<brel::ARGB16>;
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();

  EXPECT_EQ(T8::to_channel_truncated(nan), 0);
  EXPECT_EQ(T8::to_channel_truncated(-3.0f), 0);
  EXPECT_EQ(T8::to_channel_truncated(-inf), 0);
  EXPECT_EQ(T8::to_channel_truncated(256.0f), 255);
  EXPECT_EQ(T8::to_channel_truncated(1.0e20f), 255);
  EXPECT_EQ(T8::to_channel_truncated(inf), 255);
  EXPECT_EQ(T8::to_channel_truncated(254.99f), 254);
  EXPECT_EQ(T8::to_channel_rounded(nan), 0);
  EXPECT_EQ(T8::to_channel_rounded(-0.7f), 0);
  EXPECT_EQ(T8::to_channel_rounded(254.5f), 255);
  EXPECT_EQ(T8::to_channel_rounded(300.0f), 255);
  EXPECT_EQ(T8::to_channel_rounded(3.49f), 3);

  // 16-bit saturates at the type's maximum, not at white: values above white stay defined.
  EXPECT_EQ(T16::to_channel_truncated(49152.0f), 49152);
  EXPECT_EQ(T16::to_channel_truncated(70000.0f), 65535);
  EXPECT_EQ(T16::to_channel_truncated(nan), 0);
  EXPECT_EQ(T16::to_channel_rounded(32767.5f), 32768);
  EXPECT_EQ(T16::to_channel_rounded(65534.6f), 65535);
}

TEST(Pixel_Traits, StoresWriteTheNamedPositionOnly) {
  using T = brel::Pixel_Traits<brel::BGRA8>;
  brel::BGRA8 pixel{{1, 2, 3, 4}};
  T::store_truncated(pixel, T::red, 99.9f);
  T::store_rounded(pixel, T::alpha, 99.5f);
  EXPECT_EQ(pixel.channel[0], 1);
  EXPECT_EQ(pixel.channel[1], 2);
  EXPECT_EQ(pixel.channel[2], 99);
  EXPECT_EQ(pixel.channel[3], 100);
}

TEST(Pixel_Traits, FloatChannelsAreStoredUnchanged) {
  using T = brel::Pixel_Traits<brel::ARGB32f>;
  EXPECT_EQ(T::to_channel_truncated(2.75f), 2.75f);
  EXPECT_EQ(T::to_channel_rounded(-0.25f), -0.25f);
  EXPECT_EQ(T::to_channel_truncated(70000.5f), 70000.5f);
}

// The block conversion must give what the single one gives, value for value, also at the edges
// of the range, for values that are no number and for the values left over after the blocks.
template <class P>
void expect_block_matches_single() {
  using Traits = brel::Pixel_Traits<P>;
  const float inf = std::numeric_limits<float>::infinity();
  std::vector<float> values = {std::numeric_limits<float>::quiet_NaN(),
                               -inf,
                               inf,
                               -1.0f,
                               -0.0f,
                               0.0f,
                               0.5f,
                               0.99f,
                               1.0f,
                               127.5f,
                               254.99f,
                               255.0f,
                               255.5f,
                               256.0f,
                               32767.5f,
                               32768.0f,
                               65534.9f,
                               65535.0f,
                               65536.0f,
                               1e10f};
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

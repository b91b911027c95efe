#include "base/kernel_clear.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

#include "base/layer_holder.h"
#include "support/standalone_render.h"

namespace {

constexpr uint8_t fill_byte = 0xAB;

// Fills every byte of the holder's rows, padding included, with fill_byte.
void fill_memory(const brel::Layer_Holder& holder) {
  std::memset(holder.memory->device_data(), fill_byte,
              static_cast<size_t>(holder.memory->height() * holder.memory->device_pitch()));
}

// Counts the bytes of each row that are zero inside the first `content` bytes and that still
// hold fill_byte beyond them.
void expect_cleared(const brel::Layer_Holder& holder, int64_t content) {
  const uint8_t* bytes = holder.memory->device_data();
  const int64_t pitch = holder.memory->device_pitch();
  for (int64_t y = 0; y < holder.memory->height(); ++y) {
    for (int64_t i = 0; i < pitch; ++i) {
      ASSERT_EQ(bytes[y * pitch + i], i < content ? 0 : fill_byte) << "row " << y << " byte " << i;
    }
  }
}

template <class P>
void expect_clear_leaves_the_padding(int64_t width, int64_t height, int64_t row_content) {
  for (const int64_t threads : brel::test::thread_counts) {
    brel::test::Standalone_Render render(threads);
    const auto holder = brel::make_temporary_float_layer(render.context, width * sizeof(P) / 4,
                                                         height, 0, 0, 0, 1, 1, 1);
    fill_memory(holder);
    brel::Kernel_Clear<brel::Layer<P>, brel::Implementation_Cpu> clear;
    clear.parameters_in.layer = brel::layer_view<P>(holder);
    clear.execute(render.context);
    expect_cleared(holder, row_content);
    EXPECT_EQ(clear.workload(), row_content * height);
    EXPECT_EQ(clear.name(), "Clear");
  }
}

TEST(Kernel_Clear, ZeroesEveryRowsPixelsAndLeavesThePadding) {
  expect_clear_leaves_the_padding<brel::RGB32f>(5, 9, 5 * 12);
  expect_clear_leaves_the_padding<float>(37, 13, 37 * 4);
}

TEST(Kernel_Clear, UnpaddedRowsAreClearedAsOneSpanThatEndsAtTheViewsLastRow) {
  for (const int64_t threads : brel::test::thread_counts) {
    brel::test::Standalone_Render render(threads);
    // 16 floats are 64 bytes: rows follow each other without padding.
    const auto holder = brel::make_temporary_float_layer(render.context, 16, 9, 0, 0, 0, 1, 1, 1);
    ASSERT_EQ(holder.memory->device_pitch(), 64);
    fill_memory(holder);
    brel::Kernel_Clear<brel::Layer<float>, brel::Implementation_Cpu> clear;
    clear.parameters_in.layer = brel::layer_view<float>(holder);
    clear.parameters_in.layer.height = 5;
    clear.execute(render.context);
    const uint8_t* bytes = holder.memory->device_data();
    for (int64_t i = 0; i < 9 * 64; ++i) {
      ASSERT_EQ(bytes[i], i < 5 * 64 ? 0 : fill_byte) << "byte " << i << " at " << threads;
    }
  }
}

TEST(Kernel_Clear, ViewWithoutPixelsOrRowsIsLeftAlone) {
  brel::test::Standalone_Render render(2);
  brel::Kernel_Clear<brel::Layer<float>, brel::Implementation_Cpu> clear;
  clear.parameters_in.layer.width = 4;
  clear.parameters_in.layer.height = 4;  // no pixels: nothing may be written
  clear.execute(render.context);

  // A zero-width view of real memory clears no byte of it.
  const auto holder = brel::make_temporary_float_layer(render.context, 3, 2, 0, 0, 0, 1, 1, 1);
  fill_memory(holder);
  clear.parameters_in.layer = brel::layer_view<float>(holder);
  clear.parameters_in.layer.width = 0;
  clear.execute(render.context);
  expect_cleared(holder, 0);
}

}  // namespace

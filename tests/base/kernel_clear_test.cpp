#include "base/kernel_clear.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

#include "base/layer_holder.h"
#include "support/standalone_render.h"

namespace {

// Clears a view of view_width x view_height pixels of P over a float layer of float_width x
// height whose every byte, row padding included, held 0xAB, at every thread count: the view's
// pixels must be zero and every other byte untouched.
template <class P>
void expect_clear(int64_t float_width, int64_t height, int64_t view_width, int64_t view_height) {
  for (const int64_t threads : brel::test::thread_counts) {
    brel::test::Standalone_Render render(threads);
    const auto holder =
        brel::make_temporary_float_layer(render.context, float_width, height, 0, 0, 0, 1, 1, 1);
    uint8_t* bytes = holder.memory->device_data();
    const int64_t pitch = holder.memory->device_pitch();
    std::memset(bytes, 0xAB, static_cast<size_t>(height * pitch));
    brel::Kernel_Clear<brel::Layer<P>, brel::Implementation_Cpu> clear;
    clear.parameters_in.layer = brel::layer_view<P>(holder);
    clear.parameters_in.layer.width = view_width;
    clear.parameters_in.layer.height = view_height;
    clear.execute(render.context);
    const int64_t content = view_width * static_cast<int64_t>(sizeof(P));
    for (int64_t i = 0; i < height * pitch; ++i) {
      const bool cleared = i / pitch < view_height && i % pitch < content;
      ASSERT_EQ(bytes[i], cleared ? 0 : 0xAB) << "row " << i / pitch << " byte " << i % pitch;
    }
    EXPECT_EQ(clear.workload(), content * view_height);
    EXPECT_EQ(clear.name(), "Clear");
  }
}

TEST(Kernel_Clear, ZeroesTheViewsPixelsAndLeavesThePadding) {
  expect_clear<brel::RGB32f>(15, 9, 5, 9);
  expect_clear<float>(37, 13, 37, 13);
  // A zero-width view of real memory clears no byte of it.
  expect_clear<float>(3, 2, 0, 2);
}

// 16 floats are 64 bytes: rows follow each other without padding and are cleared as one span.
TEST(Kernel_Clear, UnpaddedSpanEndsAtTheViewsLastRow) {
  expect_clear<float>(16, 9, 16, 5);
}

TEST(Kernel_Clear, ViewWithoutPixelsIsLeftAlone) {
  brel::test::Standalone_Render render(2);
  brel::Kernel_Clear<brel::Layer<float>, brel::Implementation_Cpu> clear;
  clear.parameters_in.layer.width = 4;
  clear.parameters_in.layer.height = 4;  // no pixels: nothing may be written
  EXPECT_NO_THROW(clear.execute(render.context));
}

}  // namespace

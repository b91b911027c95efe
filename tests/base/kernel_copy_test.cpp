#include "base/kernel_copy.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "base/layer_holder.h"
#include "support/standalone_render.h"

namespace {

using Copy = brel::Kernel_Copy<brel::Layer<float>, brel::Layer<float>, brel::Implementation_Cpu>;

constexpr float sentinel = -12345.0f;

struct Float_Layer {
  Float_Layer(const brel::Render_Context& context, int64_t width, int64_t height,
              int64_t origin_x = 0, int64_t origin_y = 0)
      : holder(brel::make_temporary_float_layer(context, width, height, 0, origin_x, origin_y, 1.0f,
                                                1.0f, 1.0f)),
        view(brel::layer_view<float>(holder)) {}

  // Pixel (x, y) = x + 1 + 10 y, so every read can be traced back to its source pixel.
  Float_Layer& numbered() {
    for (int64_t y = 0; y < view.height; ++y) {
      for (int64_t x = 0; x < view.width; ++x) {
        view.row(y)[x] = static_cast<float>(x + 1 + 10 * y);
      }
    }
    return *this;
  }

  void filled(float value) {
    for (int64_t y = 0; y < view.height; ++y) {
      std::fill(view.row(y), view.row(y) + view.width, value);
    }
  }

  std::vector<float> row(int64_t y) const { return {view.row(y), view.row(y) + view.width}; }

  brel::Layer_Holder holder;
  brel::Layer<float> view;
};

// The copy as plainly as it can be said, pixel by pixel, to hold the kernel's split rows against.
int64_t reference_fold(int64_t s, int64_t size, uint32_t mode) {
  if (s >= 0 && s < size) {
    return s;
  }
  if (mode == 0) {
    return s < 0 ? 0 : size - 1;
  }
  if (mode == 1) {
    const int64_t a = s >= 0 ? s : -s - 1;
    return (a / size) % 2 == 1 ? size - 1 - a % size : a % size;
  }
  if (mode == 2) {
    return ((s % size) + size) % size;
  }
  return -1;
}

void reference_copy(const Copy::Parameters_In& in) {
  for (int64_t y = 0; y < in.destination.height; ++y) {
    for (int64_t x = 0; x < in.destination.width; ++x) {
      const int64_t sx =
          reference_fold(x + in.destination.origin_x + in.offset_x - in.source.origin_x,
                         in.source.width, in.edge_mode);
      const int64_t sy =
          reference_fold(y + in.destination.origin_y - in.source.origin_y + in.offset_y,
                         in.source.height, in.edge_mode);
      const float value = sx < 0 || sy < 0 ? in.border_value : in.source.row(sy)[sx];
      in.destination.row(y)[x] = value * in.factor;
    }
  }
}

// Runs a copy from `source` into `destination` and returns it.
Copy run_copy(const brel::Render_Context& context, const brel::Layer<float>& source,
              const Float_Layer& destination, uint32_t mode, float factor = 1.0f,
              float border = 0.0f, int64_t offset_x = 0, int64_t offset_y = 0) {
  Copy copy;
  copy.parameters_in.source = source;
  copy.parameters_in.destination = destination.view;
  copy.parameters_in.edge_mode = static_cast<brel::Edge_Mode>(mode);
  copy.parameters_in.factor = factor;
  copy.parameters_in.border_value = border;
  copy.parameters_in.offset_x = offset_x;
  copy.parameters_in.offset_y = offset_y;
  copy.execute(context);
  return copy;
}

TEST(Kernel_Copy, DestinationTwoColumnsLeftReadsColumnsMinusTwoAndMinusOne) {
  brel::test::Standalone_Render render(2);
  Float_Layer source(render.context, 5, 1, 10, 0);
  source.numbered();  // 1 2 3 4 5
  Float_Layer destination(render.context, 4, 1, 8, 0);
  const std::vector<float> expected[] = {
      {1, 1, 1, 2},      // clamp: column 0 twice
      {2, 1, 1, 2},      // mirror: columns 1 and 0
      {4, 5, 1, 2},      // wrap: columns W - 2 and W - 1
      {1.5, 1.5, 1, 2},  // border
  };
  for (uint32_t mode = 0; mode < 4; ++mode) {
    run_copy(render.context, source.view, destination, mode, 1.0f, 1.5f);
    EXPECT_EQ(destination.row(0), expected[mode]) << "edge mode " << mode;
  }
  // Any mode beyond the named ones reads the border value, which the factor scales too.
  run_copy(render.context, source.view, destination, 7, 4.0f, 0.5f);
  EXPECT_EQ(destination.row(0), (std::vector<float>{2, 2, 4, 8}));
  // An offset of 3 columns moves the read to columns 1 to 4.
  run_copy(render.context, source.view, destination, 0, 1.0f, 0.0f, 3, 0);
  EXPECT_EQ(destination.row(0), (std::vector<float>{2, 3, 4, 5}));
}

TEST(Kernel_Copy, TallerDestinationGetsItsExtraRowsFromTheEdgeMode) {
  brel::test::Standalone_Render render(2);
  Float_Layer source(render.context, 3, 2);
  source.numbered();  // rows 1 2 3 and 11 12 13
  Float_Layer destination(render.context, 3, 4);
  const Copy border = run_copy(render.context, source.view, destination, 3, 2.0f, 0.25f);
  EXPECT_EQ(destination.row(1), (std::vector<float>{22, 24, 26}));
  EXPECT_EQ(destination.row(2), (std::vector<float>{0.5f, 0.5f, 0.5f}));
  EXPECT_EQ(destination.row(3), (std::vector<float>{0.5f, 0.5f, 0.5f}));
  EXPECT_EQ(border.workload(), 2 * 3 * 2 * 4);  // the smaller of the two layers counts
  EXPECT_EQ(border.name(), "Copy");
  run_copy(render.context, source.view, destination, 1);
  EXPECT_EQ(destination.row(2), (std::vector<float>{11, 12, 13}));
  EXPECT_EQ(destination.row(3), (std::vector<float>{1, 2, 3}));
}

TEST(Kernel_Copy, EmptySourceUnderMirrorOrWrapLeavesTheDestinationAlone) {
  brel::test::Standalone_Render render(2);
  Float_Layer destination(render.context, 4, 3);
  const auto untouched = [&destination] {
    for (int64_t y = 0; y < 3; ++y) {
      EXPECT_EQ(destination.row(y), std::vector<float>(4, sentinel)) << "row " << y;
    }
  };
  for (const auto& [width, height] : {std::pair<int64_t, int64_t>{0, 3}, {4, 0}}) {
    Float_Layer source(render.context, width, height);
    for (const uint32_t mode : {1u, 2u}) {
      destination.filled(sentinel);
      run_copy(render.context, source.view, destination, mode);
      untouched();
    }
    // Clamp has no edge pixel to repeat and reads the border value.
    run_copy(render.context, source.view, destination, 0, 2.0f, 3.0f);
    EXPECT_EQ(destination.row(2), std::vector<float>(4, 6.0f));
  }
  // A source without pixels makes the copy do nothing at all.
  destination.filled(sentinel);
  brel::Layer<float> without_pixels = destination.view;
  without_pixels.pixels = nullptr;
  run_copy(render.context, without_pixels, destination, 0, 1.0f, 7.0f);
  untouched();
}

TEST(Kernel_Copy, MatchesThePlainCopyForEveryModeShiftAndThreadCount) {
  std::mt19937 random(7);
  std::uniform_int_distribution<int64_t> shift(-23, 23);
  std::uniform_int_distribution<int64_t> size(1, 19);
  for (const int64_t threads : brel::test::thread_counts) {
    brel::test::Standalone_Render render(threads);
    for (int trial = 0; trial < 40; ++trial) {
      Float_Layer source(render.context, size(random), size(random), shift(random), shift(random));
      source.numbered();
      Float_Layer destination(render.context, size(random), size(random), shift(random),
                              shift(random));
      Float_Layer expected(render.context, destination.view.width, destination.view.height,
                           destination.view.origin_x, destination.view.origin_y);
      for (const uint32_t mode : {0u, 1u, 2u, 3u, 7u}) {
        // Factor 1 takes the block-copy path, any other the multiplying loop.
        const float factor = trial % 2 == 0 ? 1.0f : 0.75f;
        const Copy copy = run_copy(render.context, source.view, destination, mode, factor, -2.0f,
                                   shift(random), shift(random));
        Copy::Parameters_In in = copy.parameters_in;
        in.destination = expected.view;
        reference_copy(in);
        for (int64_t y = 0; y < destination.view.height; ++y) {
          ASSERT_EQ(destination.row(y), expected.row(y))
              << "trial " << trial << " mode " << mode << " row " << y << " threads " << threads;
        }
      }
    }
  }
}

}  // namespace

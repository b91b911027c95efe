// A render with every stage of the pipeline at work, failing at each abort poll and at each
// allocation in turn: every failure answers its code and the host gets back all it lent. And
// the same render on memory that held other data, as reused memory does.

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "support/plugin_fixture.h"

namespace {

using brel::sim::Host_Identity;
using brel::test::fill_ramp;
using brel::test::Loaded;
namespace fn = brel::sim::fn;

// Both lights with shadows and translucency, caustics, refraction of a background, occlusion,
// and an environment lighting and reflecting; `gather` picks the gather modes of the refraction
// and the environment through "override all" (1 to 4).
void set_every_stage(Loaded& loaded, int32_t gather) {
  brel::sim::Parameter_Store& p = loaded.host.parameters();
  p.set_popup("render mode", 0);  // all
  p.set_float("point light/light intensity", 0.8);
  p.set_float("point light/light size", 2.0);
  p.set_float("direct light/light size", 1.5);
  p.set_int("direct light/shadow softness", 2);
  p.set_int("point light/shadow softness", 2);
  p.set_float("translucency", 0.5);
  p.set_float("caustix", 0.7);
  p.set_float("transparency", 0.6);
  p.set_float("refraction", 1.3);
  p.set_float("occlusion amount", 1.0);
  p.set_float("illumination amount", 0.5);
  p.set_float("reflection amount", 0.5);
  p.set_float("glossiness", 0.3);
  p.set_popup("override all", gather);
  fill_ramp(loaded.driver.set_texture("environmental layer", 16, 8), false);
  fill_ramp(loaded.driver.set_texture("background", 12, 8), false);
}

// The final shading polls once a row of the 8-row frame; after it has begun, it takes at
// least one block from the host (the gatherer's table and the landing rows may be served by
// layers that earlier stages released).
struct Injected_Fault {
  const char* function;
  PF_Err injected;
  PF_Err answer;
  int32_t threads;
  int64_t in_final_shading;
};

const Injected_Fault injected_faults[] = {
    {fn::abort, PF_Interrupt_CANCEL, PF_Interrupt_CANCEL, 1, 8},
    {fn::suite_new_handle, 1, PF_Err_OUT_OF_MEMORY, 2, 1}};

// Each fault in each gather mode on its own: the runs are independent, and apart they run side
// by side instead of one after the other.
class Every_Stage_Fault : public testing::TestWithParam<std::tuple<int, int32_t>> {};

TEST_P(Every_Stage_Fault, AnswersAnAbortAtAnyPollAndMemoryExhaustionAtAnyAllocation) {
  const Injected_Fault& fault = injected_faults[std::get<0>(GetParam())];
  const int32_t gather = std::get<1>(GetParam());
  // Logged by the final shading as it begins: everything before it ran.
  const std::string final_shading_begins = "init environmental illumination gatherer";
  Loaded loaded(Host_Identity::after_effects(), fault.threads);
  loaded.home.create_log_file();
  fill_ramp(loaded.driver.set_frame(12, 8, PF_PixelFormat_ARGB128), false);
  set_every_stage(loaded, gather);
  const int64_t before = loaded.host.calls(fault.function);
  ASSERT_EQ(loaded.driver.smart_render(), PF_Err_NONE);
  const int64_t calls = loaded.host.calls(fault.function) - before;
  ASSERT_GT(calls, 0);
  int64_t in_final_shading = 0;
  for (int64_t n = 1; n <= calls; ++n) {
    const std::string at = std::string(fault.function) + " " + std::to_string(n);
    const size_t logged = loaded.home.log().size();
    loaded.host.inject(fault.function, fault.injected, loaded.host.calls(fault.function) + n);
    EXPECT_EQ(loaded.driver.smart_render(), fault.answer) << at;
    EXPECT_EQ(loaded.host.imbalance(), "") << at;
    EXPECT_EQ(loaded.host.live_handles(), 0) << at;
    in_final_shading +=
        loaded.home.log().find(final_shading_begins, logged) != std::string::npos ? 1 : 0;
  }
  // The faults reach the last stage too, not only the stages before it.
  EXPECT_GE(in_final_shading, fault.in_final_shading);
  EXPECT_EQ(loaded.home.crash_reports(), "");
}

INSTANTIATE_TEST_SUITE_P(Abort_And_Memory_In_Each_Gather_Mode, Every_Stage_Fault,
                         testing::Combine(testing::Range(0, 2), testing::Range(1, 5)));

// The bytes of a world's pixels, row after row.
std::vector<unsigned char> pixel_bytes(brel::sim::World& world, int32_t bytes_per_pixel) {
  const PF_EffectWorld* w = world.get();
  std::vector<unsigned char> bytes;
  for (int32_t y = 0; y < w->height; ++y) {
    const auto* row = static_cast<const unsigned char*>(w->data) + int64_t{y} * w->rowbytes;
    bytes.insert(bytes.end(), row, row + int64_t{w->width} * bytes_per_pixel);
  }
  return bytes;
}

// Every stage reads only what it wrote: working memory full of zeros, of NaNs or of other data
// changes no output byte, and a second render, mostly on the blocks the first gave back, is the
// same.
TEST(Plugin_Library_Render, WorkingMemoryThatHeldOtherDataChangesNoPixel) {
  std::optional<std::vector<unsigned char>> first;
  for (const int scribble : {0x00, 0xFF, 0x5A}) {
    for (int32_t gather = 1; gather <= 4; gather += 3) {
      // One render thread: the caustics' additions then come in one order.
      Loaded loaded(Host_Identity::after_effects(), 1);
      loaded.host.set_handle_scribble(std::byte(scribble));
      fill_ramp(loaded.driver.set_frame(40, 24, PF_PixelFormat_ARGB128), false);
      set_every_stage(loaded, gather);
      ASSERT_EQ(loaded.driver.smart_render(), PF_Err_NONE);
      const std::vector<unsigned char> output = pixel_bytes(loaded.driver.output(), 16);
      const int64_t fresh = loaded.host.fresh_handle_blocks();
      ASSERT_EQ(loaded.driver.smart_render(), PF_Err_NONE);
      EXPECT_EQ(pixel_bytes(loaded.driver.output(), 16), output) << "again on kept blocks";
      EXPECT_LT(loaded.host.fresh_handle_blocks() - fresh, fresh) << "the second takes fewer";
      EXPECT_GT(loaded.host.reused_handle_blocks(), 0);
      EXPECT_EQ(loaded.host.live_handles(), 0);
      EXPECT_EQ(loaded.host.imbalance(), "");
      if (gather == 1) {
        if (!first) {
          first = output;
        }
        EXPECT_EQ(output, *first) << "scribble " << scribble;
      }
    }
  }
}

}  // namespace

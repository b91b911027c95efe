// Renders through the plug-in library that run the pipeline's stages: textures reaching a
// kernel, the host's threads, and aborts, memory exhaustion and failures at every point.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/plugin_fixture.h"

namespace {

using brel::sim::Host_Identity;
using brel::sim::World;
using brel::test::argb_float_pixel;
using brel::test::fill_ramp;
using brel::test::Loaded;
namespace fn = brel::sim::fn;

// A texture chosen for a layer parameter reaches the pipeline: the normal map shows it.
TEST(Plugin_Library_Render, ATextureReachesThePipeline) {
  for (const bool smart : {true, false}) {
    Loaded loaded;
    loaded.host.parameters().set_popup("render mode", 5);  // normalmap
    fill_ramp(loaded.driver.set_frame(16, 16, PF_PixelFormat_ARGB128), false);
    ASSERT_EQ(smart ? loaded.driver.smart_render() : loaded.driver.render(), PF_Err_NONE);
    const std::vector<float> flat = argb_float_pixel(loaded.driver.output(), 8, 8);

    World& texture = loaded.driver.set_texture("normal texture", 16, 16);
    fill_ramp(texture, false);
    ASSERT_EQ(smart ? loaded.driver.smart_render() : loaded.driver.render(), PF_Err_NONE);
    const std::vector<float> textured = argb_float_pixel(loaded.driver.output(), 8, 8);
    EXPECT_NE(flat, textured) << (smart ? "smart" : "classic");
    EXPECT_EQ(loaded.host.imbalance(), "");
  }
}

TEST(Plugin_Library_Render, AHostWithoutParallelIterationStillRenders) {
  Loaded loaded;
  loaded.host.parameters().set_popup("render mode", 5);
  fill_ramp(loaded.driver.set_frame(16, 16, PF_PixelFormat_ARGB128), false);
  loaded.host.set_utils_present(false);
  ASSERT_EQ(loaded.driver.smart_render(), PF_Err_NONE);
  const std::vector<float> pixel = argb_float_pixel(loaded.driver.output(), 3, 3);
  EXPECT_EQ(pixel[0], 1.0f) << "the view writes alpha white, so the frame was rendered";
}

// ---- Failures ----------------------------------------------------------------------------

// An abort at any poll of a render answers 517; the host running out of memory at any
// allocation answers 4, which is no crash. Either way the host's books stay balanced. With one
// render thread every row polls the host, so the polls of a render are the same from run to run.
TEST(Plugin_Library_Render, AnAbortAtAnyPollAnswers517AndMemoryExhaustionAtAnyAllocation4) {
  const struct {
    const char* function;
    PF_Err injected;
    PF_Err answer;
    int32_t threads;
  } faults[] = {{fn::abort, PF_Interrupt_CANCEL, PF_Interrupt_CANCEL, 1},
                {fn::suite_new_handle, 1, PF_Err_OUT_OF_MEMORY, 2},
                // The handle made just before a refused lock is given back too.
                {fn::suite_lock_handle, 1, PF_Err_OUT_OF_MEMORY, 2}};
  // "normalmap"; "shadow only" with both lights casting both kinds of shadow; and whole renders
  // with environment light to occlude, in quick mode (with its running sums) and in full mode.
  const struct {
    int32_t mode;
    double occlusion;
    bool quick;
  } setups[] = {{5, 0.0, false}, {3, 0.0, false}, {0, 1.0, true}, {0, 1.0, false}};
  for (const auto& setup : setups) {
    const int32_t mode = setup.mode;
    for (const auto& fault : faults) {
      for (const bool smart : {true, false}) {
        Loaded loaded(Host_Identity::after_effects(), fault.threads);
        loaded.home.create_log_folder();
        auto& parameters = loaded.host.parameters();
        parameters.set_popup("render mode", mode);
        parameters.set_float("point light/light intensity", 1.0);
        parameters.set_float("translucency", 0.5);
        parameters.set_int("point light/shadow softness", 1);
        parameters.set_int("direct light/shadow softness", 1);
        parameters.set_float("illumination amount", 0.5);
        parameters.set_float("occlusion amount", setup.occlusion);
        parameters.set_int("occlusion radius", 3);
        parameters.set_checkbox("quick mode", setup.quick);
        fill_ramp(loaded.driver.set_frame(12, 8, PF_PixelFormat_ARGB128), false);
        const auto render = [&] {
          return smart ? loaded.driver.smart_render() : loaded.driver.render();
        };
        const int64_t before = loaded.host.calls(fault.function);
        ASSERT_EQ(render(), PF_Err_NONE);
        const int64_t calls = loaded.host.calls(fault.function) - before;
        ASSERT_GT(calls, 0);
        for (int64_t n = 1; n <= calls; ++n) {
          const std::string at = std::string(fault.function) + " " + std::to_string(n) +
                                 (smart ? " smart" : " classic") + " in mode " +
                                 std::to_string(mode) + (setup.quick ? " quick" : "");
          loaded.host.inject(fault.function, fault.injected, loaded.host.calls(fault.function) + n);
          EXPECT_EQ(render(), fault.answer) << at;
          EXPECT_EQ(loaded.host.imbalance(), "") << at;
          EXPECT_EQ(loaded.host.live_handles(), 0) << at;
        }
        EXPECT_EQ(loaded.home.crash_reports(), "") << fault.function;
      }
    }
  }
}

// Host error codes come back as they are, with the warning line in the log.
TEST(Plugin_Library_Render, AHostErrorOfTheParallelLoopAnswersItsCode) {
  Loaded loaded;
  loaded.home.create_log_file();
  loaded.driver.set_frame(8, 8, PF_PixelFormat_ARGB128);
  loaded.host.inject(fn::iterate_generic, PF_Err_CANNOT_PARSE_KEYFRAME_TEXT,
                     loaded.host.calls(fn::iterate_generic) + 1, -1);
  loaded.host.parameters().set_popup("render mode", 5);
  EXPECT_EQ(loaded.driver.smart_render(), PF_Err_CANNOT_PARSE_KEYFRAME_TEXT);
  EXPECT_NE(loaded.home.log().find("-**### WARNING ###**-: After Effects Error: "
                                   "PF_Err_CANNOT_PARSE_KEYFRAME_TEXT (518)."),
            std::string::npos);
  EXPECT_EQ(loaded.host.imbalance(), "");
}

}  // namespace

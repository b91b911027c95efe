// A render call from the effect object through the pixel-type translation into a pipeline
// instantiation, with the stand-alone render context.

#include <gtest/gtest.h>

#include <cctype>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "base/exception.h"
#include "base/log.h"
#include "base/timing_table.h"
#include "support/effect_plugin_host.h"
#include "support/standalone_render.h"

namespace {

using brel::test::Effect_Plugin_Host;

struct Frame {
  Frame(int64_t width, int64_t height, int64_t pixel_bytes, brel::Pixel_Description pixels)
      : bytes(static_cast<size_t>(width * height * pixel_bytes)) {
    for (size_t i = 0; i < bytes.size(); ++i) {
      bytes[i] = static_cast<unsigned char>(i * 7 + 3);
    }
    layer.width = width;
    layer.height = height;
    layer.pixels = bytes.data();
    layer.row_bytes = width * pixel_bytes;
    layer.pixel_description = pixels;
  }
  std::vector<unsigned char> bytes;
  brel::Layer_Typeless layer;
};

struct Pipeline_Case {
  brel::Pixel_Description pixels;
  int64_t pixel_bytes;
  const char* name;
};

const Pipeline_Case pipeline_cases[] = {
    {{1, 8, 1, 2, 3, 0}, 4, "8 bit argb uc - cpu"},
    {{1, 16, 1, 2, 3, 0}, 8, "16 bit argb uc - cpu"},
    {{1, 32, 1, 2, 3, 0}, 16, "32 bit argb float - cpu"},
    {{1, 8, 2, 1, 0, 3}, 4, "8 bit bgra uc - cpu"},
    {{1, 16, 2, 1, 0, 3}, 8, "16 bit bgra us - cpu"},
    {{1, 32, 2, 1, 0, 3}, 16, "32 bit bgra float - cpu"},
};

// The kernels a render runs, in order: the names of the timing scopes it opened.
std::vector<std::string> kernels_run(const brel::Timing_Table& table) {
  std::vector<std::string> names;
  for (const auto& child : table.root().children) {
    names.push_back(child->name);
  }
  return names;
}

class Render_Call : public ::testing::TestWithParam<Pipeline_Case> {};

TEST_P(Render_Call, SelectsThePipelineByPixelDescriptionAndLogsItsName) {
  const Pipeline_Case& c = GetParam();
  Effect_Plugin_Host effect;
  brel::test::Standalone_Render render(2);
  brel::test::Active_Log active_log;
  Frame input(5, 3, c.pixel_bytes, c.pixels);
  Frame output(5, 3, c.pixel_bytes, c.pixels);
  const std::vector<unsigned char> output_before = output.bytes;

  effect.command(false).render({}, render.context, input.layer, output.layer, {}, c.pixels);

  const auto messages = brel::global_log().recent_messages();
  ASSERT_FALSE(messages.empty());
  EXPECT_EQ(messages.back(), std::string("translating render call to ") + c.name + "\n");
  // The stages that have kernels ran; the output holds the surface colour.
  EXPECT_EQ(kernels_run(render.timing_table),
            (std::vector<std::string>{"pre color correction (Cpu)", "pre blur (Cpu)",
                                      "generate normals (Cpu)"}));
  EXPECT_NE(output.bytes, output_before);
  EXPECT_EQ(effect.host.imbalance(), "");
}

std::string case_name(const ::testing::TestParamInfo<Pipeline_Case>& info) {
  std::string name = info.param.name;
  for (char& ch : name) {
    ch = std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
  }
  return name;
}

INSTANTIATE_TEST_SUITE_P(Six_Pixel_Types, Render_Call, ::testing::ValuesIn(pipeline_cases),
                         case_name);

TEST(Render_Call, EveryRenderModeRunsTheStagesUpToItsEnd) {
  Effect_Plugin_Host effect;
  brel::test::Standalone_Render render(2);
  brel::test::Active_Log active_log;
  const Pipeline_Case& c = pipeline_cases[2];
  const std::vector<std::string> depth_stages = {"pre color correction (Cpu)", "pre blur (Cpu)",
                                                 "generate normals (Cpu)"};
  const std::vector<std::string> expected[] = {
      depth_stages,                                                               // all
      depth_stages,                                                               // refraction only
      depth_stages,                                                               // caustix only
      depth_stages,                                                               // shadow only
      depth_stages,                                                               // highlights only
      {"pre color correction (Cpu)", "pre blur (Cpu)", "generate normals (Cpu)",  // normalmap
       "show render mode normals (Cpu)"},
      {"pre color correction (Cpu)", "pre blur (Cpu)", "show render mode depth (Cpu)"},  // depthmap
      {"pre color correction (Cpu)"},  // surface color
  };
  for (int32_t mode = 0; mode < 8; ++mode) {
    effect.store().set_popup("render mode", mode);
    Frame input(4, 4, c.pixel_bytes, c.pixels);
    Frame output(4, 4, c.pixel_bytes, c.pixels);
    brel::Timing_Table& table = render.timing_table;
    table.reset();
    effect.command(false).render({}, render.context, input.layer, output.layer, {}, c.pixels);
    EXPECT_EQ(kernels_run(table), expected[mode]) << mode;
  }
}

TEST(Render_Call, UnsupportedPixelDescriptionIsAnErrorAndTheOutputIsUntouched) {
  Effect_Plugin_Host effect;
  brel::test::Standalone_Render render(2);
  const brel::Pixel_Description red_first{1, 16, 0, 1, 2, 3};
  Frame input(4, 2, 8, red_first);
  Frame output(4, 2, 8, red_first);
  const std::vector<unsigned char> output_before = output.bytes;
  EXPECT_THROW(
      effect.command(false).render({}, render.context, input.layer, output.layer, {}, red_first),
      brel::Exception_Assert);
  EXPECT_EQ(output.bytes, output_before);
}

}  // namespace

// The renderer end to end: the real program, loading the real plug-in library.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <string>

#include "image_io.h"
#include "support/temporary_folder.h"

namespace {

namespace fs = std::filesystem;

struct Result {
  int exit_code = -1;
  std::string output;  // stdout and stderr together
};

class Renderer : public ::testing::Test {
 protected:
  std::string path(const std::string& name) const { return folder_.path() + "/" + name; }

  // Runs the renderer with the plug-in of this build; HOME points into the test's folder, so no
  // user's log file switches logging on.
  Result run(const std::string& arguments, const std::string& environment = "") const {
    const std::string command = environment + " HOME='" + folder_.path() +
                                "' " LUMBRIX_RENDER_PATH " " + arguments + " --quiet 2>&1";
    Result result;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) {
      return result;
    }
    std::array<char, 4096> buffer{};
    size_t read = 0;
    while ((read = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0) {
      result.output.append(buffer.data(), read);
    }
    const int status = ::pclose(pipe);
    result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
  }

  // A small demo render; the scene is the same at every size.
  lumbrix::Image demo(const std::string& file, const std::string& extra = "") {
    const Result r = run("--demo-size 96x54 -o " + path(file) + " " + extra);
    EXPECT_EQ(r.exit_code, 0) << r.output;
    return lumbrix::read_image(path(file));
  }

  brel::test::Temporary_Folder folder_;
};

float luminance(const float* p) {
  return (p[0] + p[1] + p[2]) / 3.0f;
}

TEST_F(Renderer, DemoNormalMapShowsTheRelief) {
  const lumbrix::Image image = demo("normals.png", "--set \"render mode=normalmap\"");
  ASSERT_EQ(image.width, 96);
  ASSERT_EQ(image.height, 54);
  EXPECT_EQ(image.bits, 16);  // a float frame goes to a 16-bit PNG

  // Flat ground faces the viewer: (0, 0, 1) shows as (0.5, 0.5, 1). The ground ripples a
  // little, hence the tolerance.
  const float* ground = image.pixel(48, 2);
  EXPECT_NEAR(ground[0], 0.5f, 0.05f);
  EXPECT_NEAR(ground[1], 0.5f, 0.05f);
  EXPECT_NEAR(ground[2], 1.0f, 0.02f);
  EXPECT_EQ(ground[3], 1.0f);

  // The dome's left and right flanks lean opposite ways in x.
  const float* left = image.pixel(8, 27);
  const float* right = image.pixel(36, 27);
  EXPECT_GT(std::abs(left[0] - right[0]), 0.3f);
}

// By default the demo shows the whole effect: lit, opaque, and not just the surface colour.
TEST_F(Renderer, DemoRendersEverythingByDefault) {
  const lumbrix::Image all = demo("all.exr");
  const lumbrix::Image surface = demo("surface_only.exr", "--set \"render mode=surface color\"");
  double difference = 0.0;
  for (int64_t y = 0; y < all.height; ++y) {
    for (int64_t x = 0; x < all.width; ++x) {
      EXPECT_EQ(all.pixel(x, y)[3], 1.0f);
      difference += std::abs(luminance(all.pixel(x, y)) - luminance(surface.pixel(x, y)));
    }
  }
  EXPECT_GT(difference / static_cast<double>(all.width * all.height), 0.05);
  // The dome's flanks are lit differently.
  EXPECT_GT(std::abs(luminance(all.pixel(8, 27)) - luminance(all.pixel(36, 27))), 0.02f);
}

TEST_F(Renderer, DemoInEveryRenderModeThatExists) {
  const lumbrix::Image depth = demo("depth.png", "--set \"render mode=depthmap\"");
  // The dome's top stands higher than the ground.
  EXPECT_GT(luminance(depth.pixel(22, 27)), luminance(depth.pixel(48, 2)) + 0.2f);
  // Depth is grey.
  EXPECT_EQ(depth.pixel(22, 27)[0], depth.pixel(22, 27)[2]);

  const lumbrix::Image surface = demo("surface.exr", "--set \"render mode=surface color\"");
  EXPECT_EQ(surface.bits, 32);
  // Tinted by the warm surface texture: red above blue on the ground.
  EXPECT_GT(surface.pixel(48, 2)[0], surface.pixel(48, 2)[2]);

  const lumbrix::Image normals = demo("normals8.png", "--bits 8 --set \"render mode=normalmap\"");
  EXPECT_EQ(normals.bits, 8);
  // The 8-bit frame quantises the depth too, so only the flat ground is compared: the view
  // writes (n + 1) / 2 x 255 there, near 128 and 255.
  EXPECT_NEAR(normals.pixel(48, 2)[0] * 255.0f, 127.5f, 6.0f);
  EXPECT_GE(normals.pixel(48, 2)[2] * 255.0f, 253.0f);
}

TEST_F(Renderer, BothHostsAndBothRenderPathsAgree) {
  const lumbrix::Image smart = demo("ae.exr");
  const lumbrix::Image classic = demo("classic.exr", "--classic");
  const lumbrix::Image premiere = demo("pr.exr", "--host premiere");
  EXPECT_EQ(classic.rgba, smart.rgba);
  EXPECT_EQ(premiere.rgba, smart.rgba);
}

TEST_F(Renderer, BadInputIsRefusedWithOneLineAndNoOutput) {
  struct Case {
    std::string arguments;
    std::string message;
  };
  const Case cases[] = {
      {"--set \"no such thing=1\"", "no parameter is named \"no such thing\""},
      {"--set \"depth factor=abc\"", "\"depth factor\" takes a number, not 'abc'"},
      {"--set \"gamma correction=101\"", "takes values from 0 to 100, not 101"},
      {"--set \"light intensity=0.5\"", "is ambiguous"},
      {"--set id:48=1", "slot"},
      {"--set \"render mode=sideways\"", "choose one of \"all\""},
      {"--set \"shadows=maybe\"", "is ambiguous"},
      {"--set \"direct light/shadows=maybe\"", "takes on or off, not 'maybe'"},
      {"--layer \"background=" + path("missing.png") + "\"", "no such file"},
      {path("missing.exr"), "no such file"},
      {"--host premiere --bits 16 --order argb", "Premiere Pro carries no 16-bit ARGB frames"},
      {"--bits 12", "--bits takes 8, 16 or 32"},
  };
  for (const Case& c : cases) {
    const Result r = run(c.arguments + " -o " + path("out.png"));
    EXPECT_EQ(r.exit_code, 2) << c.arguments << "\n" << r.output;
    EXPECT_NE(r.output.find(c.message), std::string::npos) << c.arguments << "\n" << r.output;
    EXPECT_EQ(std::count(r.output.begin(), r.output.end(), '\n'), 1) << r.output;
    EXPECT_FALSE(fs::exists(path("out.png"))) << c.arguments;
  }

  const Result no_plugin = run("-o " + path("out.png"), "LUMBRIX_PLUGIN=/nonexistent");
  EXPECT_NE(no_plugin.output.find("cannot load the plug-in"), std::string::npos)
      << no_plugin.output;
  EXPECT_EQ(no_plugin.exit_code, 1);
}

TEST_F(Renderer, ParametersByGroupSlotAndIdReachThePlugin) {
  // Depth factor 0 flattens everything: the normal map is (0, 0, 1) everywhere.
  for (const std::string key : {"depth factor", "slot:1", "id:5"}) {
    const lumbrix::Image flat =
        demo("flat.exr", "--set \"render mode=normalmap\" --set \"" + key + "=0\"");
    EXPECT_FLOAT_EQ(flat.pixel(22, 27)[0], 0.5f) << key;
    EXPECT_FLOAT_EQ(flat.pixel(22, 27)[2], 1.0f) << key;
  }
}

TEST_F(Renderer, InputFilesAndTextureLayers) {
  // A horizontal ramp in red only: with the depth taken from red the normal leans in x, from
  // green the surface is flat.
  lumbrix::Image ramp(32, 16, 16);
  for (int64_t y = 0; y < ramp.height; ++y) {
    for (int64_t x = 0; x < ramp.width; ++x) {
      float* p = ramp.pixel(x, y);
      p[0] = static_cast<float>(x) / 31.0f;
      p[1] = p[2] = 0.0f;
      p[3] = 1.0f;
    }
  }
  lumbrix::write_image(path("ramp.png"), ramp);

  const Result red = run(path("ramp.png") + " -o " + path("red.exr") +
                         " --set \"render mode=normalmap\" --set \"depth channel=red\"");
  ASSERT_EQ(red.exit_code, 0) << red.output;
  const Result green = run(path("ramp.png") + " -o " + path("green.exr") +
                           " --set \"render mode=normalmap\" --set \"depth channel=green\"");
  ASSERT_EQ(green.exit_code, 0) << green.output;
  EXPECT_LT(lumbrix::read_image(path("red.exr")).pixel(16, 8)[0], 0.45f);
  EXPECT_FLOAT_EQ(lumbrix::read_image(path("green.exr")).pixel(16, 8)[0], 0.5f);

  // A normal texture replaces the normals from depth.
  lumbrix::Image tilted(32, 16, 8);
  for (size_t i = 0; i < tilted.rgba.size(); i += 4) {
    tilted.rgba[i] = 1.0f;
    tilted.rgba[i + 1] = 0.5f;
    tilted.rgba[i + 2] = 0.5f;
    tilted.rgba[i + 3] = 1.0f;
  }
  lumbrix::write_image(path("tilted.png"), tilted);
  const Result textured =
      run(path("ramp.png") + " -o " + path("textured.exr") +
          " --set \"render mode=normalmap\" --layer \"normal texture=" + path("tilted.png") + "\"");
  ASSERT_EQ(textured.exit_code, 0) << textured.output;
  const lumbrix::Image with_texture = lumbrix::read_image(path("textured.exr"));
  EXPECT_NE(with_texture.pixel(16, 8)[0], lumbrix::read_image(path("red.exr")).pixel(16, 8)[0]);
}

TEST_F(Renderer, ListsParametersAndPrintsTheTimingReport) {
  const Result list = run("--list-params");
  ASSERT_EQ(list.exit_code, 0) << list.output;
  EXPECT_EQ(std::count(list.output.begin(), list.output.end(), '\n'), 95);
  EXPECT_NE(list.output.find("slot 0  id 67  popup  \"render mode\"  default \"all\""),
            std::string::npos)
      << list.output;
  EXPECT_NE(list.output.find("slot 94 "), std::string::npos);

  const Result timed = run("--demo-size 48x27 --timing -o " + path("timed.png"));
  ASSERT_EQ(timed.exit_code, 0) << timed.output;
  EXPECT_NE(timed.output.find("duration (s)"), std::string::npos) << timed.output;
  EXPECT_NE(timed.output.find("generate normals (Cpu)"), std::string::npos) << timed.output;
}

}  // namespace

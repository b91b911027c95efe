// The renderer end to end: the real program, loading the real plug-in library.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
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

std::string big_endian(uint32_t value) {
  std::string bytes;
  for (int shift = 24; shift >= 0; shift -= 8) {
    bytes += static_cast<char>(value >> shift);
  }
  return bytes;
}

std::string png_chunk(const std::string& type_and_data) {
  const uLong crc =
      crc32(0, reinterpret_cast<const Bytef*>(type_and_data.data()), type_and_data.size());
  return big_endian(static_cast<uint32_t>(type_and_data.size() - 4)) + type_and_data +
         big_endian(static_cast<uint32_t>(crc));
}

// A PNG file with a header and no pixels: enough to be sized, and to be refused before its
// pixels are read.
void write_png_header(const std::string& file, uint32_t width, uint32_t height) {
  const std::string header = "IHDR" + big_endian(width) + big_endian(height) +
                             std::string("\x10\x06\x00\x00\x00", 5);  // 16-bit RGBA
  std::ofstream(file, std::ios::binary)
      << "\x89PNG\r\n\x1a\n" + png_chunk(header) + png_chunk("IDAT");
}

size_t lines_in(const std::string& text) {
  return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
}

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
  // Without caustics: their splat adds light with atomic float additions in whatever order the
  // threads come, so two renders with caustics differ in the last bits.
  const std::string exact = " --set \"caustix=0\"";
  const lumbrix::Image smart = demo("ae.exr", exact);
  const lumbrix::Image classic = demo("classic.exr", "--classic" + exact);
  const lumbrix::Image premiere = demo("pr.exr", "--host premiere" + exact);
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

namespace {

TEST_F(Renderer, ProblemsWithTheFilesAreFoundBeforeRenderingAndToldInTheUsersWords) {
  // An output folder that does not exist: the user's path and the reason, not a temporary.
  const std::string nowhere = path("no such folder/out.png");
  const Result missing_folder = run("--demo-size 96x54 -o '" + nowhere + "' --timing");
  EXPECT_EQ(missing_folder.exit_code, 2) << missing_folder.output;
  EXPECT_EQ(missing_folder.output, "lumbrix-render: cannot write " + nowhere + ": the folder " +
                                       path("no such folder") + " does not exist\n");

  // A PNG cut short in its pixels names the file and what is wrong with it.
  ASSERT_EQ(run("--demo-size 96x54 -o " + path("whole.png")).exit_code, 0);
  fs::copy_file(path("whole.png"), path("cut.png"));
  fs::resize_file(path("cut.png"), fs::file_size(path("whole.png")) / 2);
  const Result cut = run(path("cut.png") + " -o " + path("out.exr"));
  EXPECT_EQ(cut.exit_code, 2) << cut.output;
  EXPECT_NE(cut.output.find("cannot read " + path("cut.png") + ": the file ends after"),
            std::string::npos)
      << cut.output;
  EXPECT_EQ(lines_in(cut.output), 1u) << cut.output;
  EXPECT_FALSE(fs::exists(path("out.exr")));

  const Result empty_layer = run("--layer 'background=' -o " + path("out.png"));
  EXPECT_EQ(empty_layer.exit_code, 2);
  EXPECT_NE(empty_layer.output.find("names no file"), std::string::npos) << empty_layer.output;

  // Nothing is left behind by any of them.
  std::vector<std::string> left;
  for (const auto& entry : fs::directory_iterator(folder_.path())) {
    left.push_back(entry.path().filename().string());
  }
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<std::string>{"cut.png", "whole.png"}));
}

TEST_F(Renderer, ARenderThatCannotFitIsRefusedBeforeAnythingIsAllocated) {
  // The largest frame a host carries, with four texture layers of that size: far beyond the
  // memory of any machine that runs these tests. Only the headers exist; they are all that is
  // read.
  write_png_header(path("huge.png"), 32767, 32767);
  const std::string huge = path("huge.png");
  const Result r =
      run(huge + " -o " + path("out.png") + " --layer 'background=" + huge +
          "' --layer 'environmental layer=" + huge + "' --layer 'normal texture=" + huge +
          "' --layer 'surface color texture=" + huge + "'");
  EXPECT_EQ(r.exit_code, 1) << r.output;
  EXPECT_NE(r.output.find("a 32767 x 32767 \"all\" render needs about "), std::string::npos)
      << r.output;
  EXPECT_NE(r.output.find(" GiB available"), std::string::npos) << r.output;
  EXPECT_EQ(lines_in(r.output), 1u) << r.output;

  // A size the host cannot carry at all is a usage error.
  write_png_header(path("wide.png"), 40000, 8);
  const Result wide = run(path("wide.png") + " -o " + path("out.png"));
  EXPECT_EQ(wide.exit_code, 2) << wide.output;
  EXPECT_NE(wide.output.find("larger than a host frame can be"), std::string::npos) << wide.output;
}

// What a render needs follows its render mode. Under a limit of 1.5 GiB a 4000 x 4000 depth
// map (two float worlds and the depth) fits, and the whole effect's working layers do not.
TEST_F(Renderer, TheMemoryARenderNeedsFollowsItsRenderMode) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the sanitizer's shadow memory counts against the limit";
#endif
  write_png_header(path("big.png"), 4000, 4000);
  const std::string limit = "ulimit -d 1572864;";  // KiB
  const Result all = run(path("big.png") + " -o " + path("out.png"), limit);
  EXPECT_EQ(all.exit_code, 1) << all.output;
  EXPECT_NE(all.output.find("a 4000 x 4000 \"all\" render needs about "), std::string::npos)
      << all.output;

  // Accepted, the render goes on to read the pixels, which the file lacks.
  const Result depth =
      run(path("big.png") + " -o " + path("out.png") + " --set 'render mode=depthmap'", limit);
  EXPECT_EQ(depth.exit_code, 2) << depth.output;
  EXPECT_NE(depth.output.find("cannot read " + path("big.png")), std::string::npos) << depth.output;
}

TEST_F(Renderer, NamesMatchWithoutCaseOrBlanksAndMisspellingsGetSuggestions) {
  const lumbrix::Image plain = demo("plain.exr",
                                    "--set \"render mode=depthmap\" "
                                    "--set \"direct light/light intensity=0.5\"");
  const Result loose = run("--demo-size 96x54 --output=" + path("loose.exr") +
                           " --set \"  Render Mode =  DepthMap \" "
                           "--set \" _DIRECT LIGHT_ / Light  Intensity = 0.5\"");
  ASSERT_EQ(loose.exit_code, 0) << loose.output;
  EXPECT_EQ(lumbrix::read_image(path("loose.exr")).rgba, plain.rgba);

  struct Case {
    std::string setting;
    std::string message;
  };
  const Case cases[] = {
      {"deph factor=3", "no parameter is named \"deph factor\"; did you mean \"depth factor\"?"},
      {"render mode=normal map", "did you mean \"normalmap\"? choose one of \"all\""},
      {"zzzzzzzzzzzz=1", "no parameter is named \"zzzzzzzzzzzz\" (--list-params lists them)"},
  };
  for (const Case& c : cases) {
    const Result r = run("--set '" + c.setting + "' -o " + path("out.png"));
    EXPECT_EQ(r.exit_code, 2) << r.output;
    EXPECT_NE(r.output.find(c.message), std::string::npos) << c.setting << "\n" << r.output;
  }
}

TEST_F(Renderer, ASettingTheRenderModeGreysOutIsWarnedAbout) {
  const Result greyed = run("--demo-size 48x27 -o " + path("a.png") +
                            " --set \"render mode=depthmap\" --set \"glossiness=0.5\" "
                            "--set \"depth factor=20\"");
  ASSERT_EQ(greyed.exit_code, 0) << greyed.output;
  EXPECT_EQ(greyed.output,
            "lumbrix-render: warning: \"glossiness\" is greyed out with these settings and "
            "changes nothing\n");

  // The demo's own settings and the controls the mode uses pass without a word.
  const Result used = run("--demo-size 48x27 -o " + path("b.png") +
                          " --set \"render mode=all\" --set \"glossiness=0.5\"");
  ASSERT_EQ(used.exit_code, 0) << used.output;
  EXPECT_EQ(used.output, "");
}

TEST_F(Renderer, ConventionsOfTheCommandLine) {
  const Result version = run("--version");
  EXPECT_EQ(version.exit_code, 0);
  EXPECT_EQ(version.output.rfind("lumbrix-render ", 0), 0u) << version.output;
  EXPECT_EQ(lines_in(version.output), 1u);

  const Result help = run("--help");
  EXPECT_EQ(help.exit_code, 0);
  EXPECT_NE(help.output.find("Exit codes: 0 done; 2 a bad command line"), std::string::npos);

  // Without --quiet the times of every phase are reported, the total covering them all.
  const std::string command = std::string("HOME='") + folder_.path() +
                              "' " LUMBRIX_RENDER_PATH " --demo-size 48x27 -o " + path("t.png") +
                              " 2>&1";
  FILE* pipe = ::popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  char line[512] = {};
  ASSERT_NE(std::fgets(line, sizeof line, pipe), nullptr);
  ::pclose(pipe);
  double read = 0, render = 0, write = 0, total = 0;
  ASSERT_EQ(std::sscanf(line,
                        "lumbrix-render: read %lf s, render %lf s (%*[^)]), write %lf s, "
                        "total %lf s",
                        &read, &render, &write, &total),
            4)
      << line;
  EXPECT_GE(total, read + render + write);
}

TEST_F(Renderer, AnExrKeepsWhereItsPixelsLie) {
  lumbrix::Image offset(40, 30, 32);
  offset.origin_x = 50;
  offset.origin_y = 50;
  offset.display = lumbrix::Box{0, 0, 119, 99};
  for (size_t i = 0; i < offset.rgba.size(); i += 4) {
    offset.rgba[i] = offset.rgba[i + 1] = offset.rgba[i + 2] = (i % 37) / 37.0f;
    offset.rgba[i + 3] = 1.0f;
  }
  lumbrix::write_image(path("offset.exr"), offset);
  const Result r =
      run(path("offset.exr") + " -o " + path("out.exr") + " --set \"render mode=depthmap\"");
  ASSERT_EQ(r.exit_code, 0) << r.output;
  const lumbrix::Image back = lumbrix::read_image(path("out.exr"));
  EXPECT_EQ(back.width, 40);
  EXPECT_EQ(back.origin_x, 50);
  EXPECT_EQ(back.origin_y, 50);
  EXPECT_EQ(back.display, offset.display);
}

}  // namespace

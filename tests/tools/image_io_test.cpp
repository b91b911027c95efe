#include "image_io.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>

#include "support/temporary_folder.h"

namespace {

namespace fs = std::filesystem;

class Image_Files : public ::testing::Test {
 protected:
  std::string path(const std::string& name) const { return folder_.path() + "/" + name; }

  // Every representable level of the depth at least once, in all four channels.
  static lumbrix::Image ramp(int bits, float white_levels) {
    lumbrix::Image image(37, 5, bits);
    for (int64_t y = 0; y < image.height; ++y) {
      for (int64_t x = 0; x < image.width; ++x) {
        float* p = image.pixel(x, y);
        for (int c = 0; c < 4; ++c) {
          const int64_t level = (x * 7919 + y * 104729 + c * 31) % int64_t(white_levels + 1);
          p[c] = level / white_levels;
        }
      }
    }
    return image;
  }

  brel::test::Temporary_Folder folder_;
};

TEST_F(Image_Files, PngKeepsEveryLevelAtEightAndSixteenBits) {
  for (const auto& [bits, levels] : {std::pair{8, 255.0f}, std::pair{16, 65535.0f}}) {
    const lumbrix::Image original = ramp(bits, levels);
    const std::string file = path("ramp" + std::to_string(bits) + ".png");
    lumbrix::write_image(file, original);
    const lumbrix::Image read = lumbrix::read_image(file);
    ASSERT_EQ(read.width, original.width);
    ASSERT_EQ(read.height, original.height);
    EXPECT_EQ(read.bits, bits);
    for (size_t i = 0; i < original.rgba.size(); ++i) {
      ASSERT_EQ(std::lround(read.rgba[i] * levels), std::lround(original.rgba[i] * levels))
          << "sample " << i << " at " << bits << " bits";
    }
  }
}

TEST_F(Image_Files, ExrKeepsFloatExactlyAndHalfToItsPrecision) {
  lumbrix::Image original(4, 3, 32);
  for (size_t i = 0; i < original.rgba.size(); ++i) {
    original.rgba[i] = -1.5f + 0.3721f * static_cast<float>(i);  // outside 0..1 on purpose
  }
  lumbrix::write_image(path("float.exr"), original);
  const lumbrix::Image read_float = lumbrix::read_image(path("float.exr"));
  EXPECT_EQ(read_float.bits, 32);
  EXPECT_EQ(read_float.rgba, original.rgba);

  original.bits = 16;
  lumbrix::write_image(path("half.exr"), original);
  const lumbrix::Image read_half = lumbrix::read_image(path("half.exr"));
  EXPECT_EQ(read_half.bits, 16);
  for (size_t i = 0; i < original.rgba.size(); ++i) {
    // A half keeps 11 significant bits.
    EXPECT_NEAR(read_half.rgba[i], original.rgba[i], std::abs(original.rgba[i]) / 1024.0f);
  }
}

TEST_F(Image_Files, QuantisingSaturatesAndMapsNanToZero) {
  lumbrix::Image image(4, 1, 8);
  const float values[4] = {-0.5f, 2.0f, std::nanf(""), 0.5f};
  for (int x = 0; x < 4; ++x) {
    for (int c = 0; c < 4; ++c) {
      image.pixel(x, 0)[c] = values[x];
    }
  }
  lumbrix::write_image(path("clip.png"), image);
  const lumbrix::Image read = lumbrix::read_image(path("clip.png"));
  EXPECT_EQ(read.pixel(0, 0)[0], 0.0f);
  EXPECT_EQ(read.pixel(1, 0)[0], 1.0f);
  EXPECT_EQ(read.pixel(2, 0)[0], 0.0f);
  EXPECT_EQ(std::lround(read.pixel(3, 0)[0] * 255.0f), 128);
}

TEST_F(Image_Files, BadFilesAreRefusedWithTheirNameAndLeaveNothingBehind) {
  EXPECT_THROW(lumbrix::read_image(path("missing.png")), lumbrix::Image_Error);
  EXPECT_THROW(lumbrix::read_image(path("picture.tif")), lumbrix::Image_Error);

  std::ofstream(path("junk.png")) << "not an image at all";
  std::ofstream(path("junk.exr")) << "not an image at all";
  try {
    lumbrix::read_image(path("junk.png"));
    FAIL() << "a text file was read as PNG";
  } catch (const lumbrix::Image_Error& e) {
    EXPECT_NE(std::string(e.what()).find("junk.png"), std::string::npos) << e.what();
  }
  EXPECT_THROW(lumbrix::read_image(path("junk.exr")), lumbrix::Image_Error);

  // A PNG cut short in its pixel data.
  lumbrix::write_image(path("whole.png"), ramp(8, 255.0f));
  const auto size = fs::file_size(path("whole.png"));
  fs::copy_file(path("whole.png"), path("cut.png"));
  fs::resize_file(path("cut.png"), size / 2);
  EXPECT_THROW(lumbrix::read_image(path("cut.png")), lumbrix::Image_Error);

  // A depth the format cannot hold fails without leaving a file or its temporary.
  lumbrix::Image wrong(2, 2, 32);
  EXPECT_THROW(lumbrix::write_image(path("out.png"), wrong), lumbrix::Image_Error);
  wrong.bits = 8;
  EXPECT_THROW(lumbrix::write_image(path("out.exr"), wrong), lumbrix::Image_Error);
  EXPECT_THROW(lumbrix::write_image(path("nowhere/out.png"), ramp(8, 255.0f)),
               lumbrix::Image_Error);
  std::vector<std::string> left;
  for (const auto& entry : fs::directory_iterator(folder_.path())) {
    left.push_back(entry.path().filename().string());
  }
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<std::string>{"cut.png", "junk.exr", "junk.png", "whole.png"}));
}

}  // namespace

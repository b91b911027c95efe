#include "image_io.h"

#include <gtest/gtest.h>
#include <png.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <optional>

#include "support/temporary_folder.h"
#include "workers.h"

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
  try {
    lumbrix::read_image(path("cut.png"));
    FAIL() << "a cut PNG was read";
  } catch (const lumbrix::Image_Error& e) {
    EXPECT_EQ(
        std::string(e.what()).rfind("cannot read " + path("cut.png") + ": the file ends after " +
                                        std::to_string(size / 2) + " bytes",
                                    0),
        0u)
        << e.what();
  }

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

namespace {

// Writes one PNG through libpng itself, in a layout the renderer does not write.
void write_png_with_libpng(const std::string& file, int width, int height, int depth,
                           int color_type, bool interlaced, const std::vector<uint8_t>& bytes,
                           int filters = PNG_ALL_FILTERS) {
  FILE* out = std::fopen(file.c_str(), "wb");
  ASSERT_NE(out, nullptr);
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  png_init_io(png, out);
  png_set_IHDR(png, info, width, height, depth, color_type,
               interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
               PNG_FILTER_TYPE_DEFAULT);
  png_set_filter(png, PNG_FILTER_TYPE_BASE, filters);
  png_write_info(png, info);
  const size_t row = bytes.size() / height;
  std::vector<png_bytep> rows;
  for (int y = 0; y < height; ++y) {
    rows.push_back(const_cast<png_bytep>(bytes.data() + y * row));
  }
  png_write_image(png, rows.data());
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  std::fclose(out);
}

TEST_F(Image_Files, GreyGreyAlphaAndInterlacedPngsBecomeRgba) {
  // 16-bit grey, big-endian in the file: level 0x1234 in every pixel but the last.
  std::vector<uint8_t> grey(3 * 2 * 2);
  for (size_t i = 0; i < grey.size(); i += 2) {
    grey[i] = 0x12;
    grey[i + 1] = 0x34;
  }
  grey[grey.size() - 2] = grey[grey.size() - 1] = 0xFF;
  write_png_with_libpng(path("grey16.png"), 3, 2, 16, PNG_COLOR_TYPE_GRAY, false, grey);
  const lumbrix::Image g = lumbrix::read_image(path("grey16.png"));
  EXPECT_EQ(g.bits, 16);
  EXPECT_EQ(std::vector<float>(g.pixel(0, 0), g.pixel(0, 0) + 4),
            (std::vector<float>{0x1234 / 65535.0f, 0x1234 / 65535.0f, 0x1234 / 65535.0f, 1.0f}));
  EXPECT_EQ(g.pixel(2, 1)[2], 1.0f);

  // Grey with alpha at 8 bits, interlaced: every row comes back in its place.
  const int width = 9, height = 11;
  std::vector<uint8_t> grey_alpha;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      grey_alpha.push_back(static_cast<uint8_t>(y * 20 + x));
      grey_alpha.push_back(static_cast<uint8_t>(255 - x));
    }
  }
  write_png_with_libpng(path("ga.png"), width, height, 8, PNG_COLOR_TYPE_GRAY_ALPHA, true,
                        grey_alpha);
  const lumbrix::Image ga = lumbrix::read_image(path("ga.png"));
  EXPECT_EQ(ga.bits, 8);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const float* p = ga.pixel(x, y);
      ASSERT_EQ(std::lround(p[0] * 255.0f), y * 20 + x) << x << "," << y;
      ASSERT_EQ(p[0], p[2]);
      ASSERT_EQ(std::lround(p[3] * 255.0f), 255 - x);
    }
  }
}

// The samples of a PNG as libpng decodes them, row after row.
std::vector<uint8_t> decode_with_libpng(const std::string& file) {
  FILE* in = std::fopen(file.c_str(), "rb");
  EXPECT_NE(in, nullptr);
  if (in == nullptr) {
    return {};
  }
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  png_init_io(png, in);
  png_read_info(png, info);
  const size_t row = png_get_rowbytes(png, info);
  const uint32_t height = png_get_image_height(png, info);
  std::vector<uint8_t> bytes(row * height);
  for (uint32_t y = 0; y < height; ++y) {
    png_read_row(png, bytes.data() + y * row, nullptr);
  }
  png_read_end(png, nullptr);
  png_destroy_read_struct(&png, &info, nullptr);
  std::fclose(in);
  return bytes;
}

TEST_F(Image_Files, ParallelPngRunsJoinIntoOneExactStream) {
  // Tall enough that the rows fall into several runs compressed apart, at every level, and
  // written on any number of workers.
  lumbrix::Image image(2048, 300, 8);
  for (int64_t y = 0; y < image.height; ++y) {
    for (int64_t x = 0; x < image.width; ++x) {
      float* p = image.pixel(x, y);
      p[0] = ((x * 3 + y * 5) % 256) / 255.0f;
      p[1] = ((x ^ y) % 256) / 255.0f;
      p[2] = (y % 256) / 255.0f;
      p[3] = ((x * y) % 251) / 255.0f;
    }
  }
  const auto source = [&image](int64_t y, float* rgba) {
    std::copy_n(image.pixel(0, y), image.width * 4, rgba);
  };
  for (const int bits : {8, 16}) {
    image.bits = bits;
    // What libpng itself writes from the same samples is the reference.
    std::vector<uint8_t> samples;
    for (const float value : image.rgba) {
      const auto level = static_cast<uint16_t>(std::lround(value * (bits == 8 ? 255 : 65535)));
      if (bits == 16) {
        samples.push_back(static_cast<uint8_t>(level >> 8));
      }
      samples.push_back(static_cast<uint8_t>(level));
    }
    write_png_with_libpng(path("reference.png"), static_cast<int>(image.width),
                          static_cast<int>(image.height), bits, PNG_COLOR_TYPE_RGB_ALPHA, false,
                          samples);
    const std::vector<uint8_t> reference = decode_with_libpng(path("reference.png"));
    ASSERT_EQ(reference, samples);
    for (const int workers : {0, 1, 2, 8}) {
      std::optional<lumbrix::Workers> pool;
      if (workers > 0) {
        pool.emplace(workers);
      }
      uintmax_t fast_size = 0;
      // The slow level once with workers and once without.
      std::vector compressions{lumbrix::Png_Compression::fast};
      if (workers == 0 || workers == 8) {
        compressions.push_back(lumbrix::Png_Compression::smallest);
      }
      for (const auto compression : compressions) {
        lumbrix::write_image(path("runs.png"), image, source, pool ? &*pool : nullptr, compression);
        ASSERT_EQ(decode_with_libpng(path("runs.png")), reference)
            << bits << " bits, " << workers << " workers";
        // The level asked for is the level used.
        const uintmax_t size = fs::file_size(path("runs.png"));
        if (compression == lumbrix::Png_Compression::fast) {
          fast_size = size;
        } else {
          EXPECT_LT(size, fast_size) << bits << " bits, " << workers << " workers";
        }
      }
    }
  }
}

TEST_F(Image_Files, PngRowsReachTheReaderOnceAndInOrderOnAnyNumberOfWorkers) {
  // More pieces of rows than the decoding ring has slots at 8 workers, in both row layouts.
  const int width = 23, height = 601;
  std::vector<uint8_t> grey_alpha;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const int level = (x * 2711 + y * 977) % 65536;
      grey_alpha.insert(grey_alpha.end(),
                        {static_cast<uint8_t>(level >> 8), static_cast<uint8_t>(level),
                         static_cast<uint8_t>(y), static_cast<uint8_t>(x)});
    }
  }
  for (const bool interlaced : {false, true}) {
    write_png_with_libpng(path("tall.png"), width, height, 16, PNG_COLOR_TYPE_GRAY_ALPHA,
                          interlaced, grey_alpha);
    const lumbrix::Image expected = lumbrix::read_image(path("tall.png"));
    ASSERT_EQ(std::lround(expected.pixel(5, 7)[0] * 65535.0f), (5 * 2711 + 7 * 977) % 65536);
    for (const int workers : {1, 2, 8}) {
      lumbrix::Workers pool(workers);
      const auto reader = lumbrix::open_image(path("tall.png"), &pool);
      std::vector<float> rows(expected.rgba.size(), -1.0f);
      std::vector<std::atomic<int>> handed(height);
      // Calls of uneven sizes, as a caller reading bands would make.
      int64_t first = 0;
      for (const int64_t count : {int64_t{1}, int64_t{250}, int64_t{height - 251}}) {
        reader->read_rows(count, [&](int64_t y, const float* rgba) {
          ++handed[first + y];
          std::copy_n(rgba, width * 4, rows.data() + (first + y) * width * 4);
        });
        first += count;
      }
      for (int y = 0; y < height; ++y) {
        ASSERT_EQ(handed[y].load(), 1) << "row " << y << ", " << workers << " workers";
      }
      ASSERT_EQ(rows, expected.rgba) << workers << " workers, interlaced " << interlaced;
    }
  }

  // A file cut short fails the same way on many workers, with every worker released.
  write_png_with_libpng(path("tall.png"), width, height, 16, PNG_COLOR_TYPE_GRAY_ALPHA, false,
                        grey_alpha);
  fs::resize_file(path("tall.png"), fs::file_size(path("tall.png")) * 2 / 3);
  lumbrix::Workers pool(8);
  const auto reader = lumbrix::open_image(path("tall.png"), &pool);
  try {
    reader->read_rows(height, [](int64_t, const float*) {});
    FAIL() << "a cut PNG was read";
  } catch (const lumbrix::Image_Error& e) {
    EXPECT_NE(std::string(e.what()).find("the file ends after"), std::string::npos) << e.what();
  }
}

TEST_F(Image_Files, PlainPngsDecodeAlikeOnOneWorkerAndOnMany) {
  // On many workers such images are inflated and unfiltered apart from libpng: every channel
  // layout, both depths and every filter must give libpng's samples.
  const int width = 29, height = 300;
  for (const int colour_type : {PNG_COLOR_TYPE_GRAY, PNG_COLOR_TYPE_GRAY_ALPHA, PNG_COLOR_TYPE_RGB,
                                PNG_COLOR_TYPE_RGB_ALPHA}) {
    const int channels = colour_type == PNG_COLOR_TYPE_GRAY         ? 1
                         : colour_type == PNG_COLOR_TYPE_GRAY_ALPHA ? 2
                         : colour_type == PNG_COLOR_TYPE_RGB        ? 3
                                                                    : 4;
    for (const int depth : {8, 16}) {
      std::vector<uint8_t> bytes;
      for (int y = 0; y < height; ++y) {
        for (int i = 0; i < width * channels * depth / 8; ++i) {
          // Smooth in places, noisy in others, so that each filter meets both.
          bytes.push_back(static_cast<uint8_t>(y % 50 < 25 ? i + y : (i * 7919 + y * 104729) >> 3));
        }
      }
      for (const int filters : {PNG_FILTER_NONE, PNG_FILTER_SUB, PNG_FILTER_UP, PNG_FILTER_AVG,
                                PNG_FILTER_PAETH, PNG_ALL_FILTERS}) {
        write_png_with_libpng(path("plain.png"), width, height, depth, colour_type, false, bytes,
                              filters);
        const lumbrix::Image expected = lumbrix::read_image(path("plain.png"));
        for (const int workers : {3, 8}) {
          lumbrix::Workers pool(workers);
          std::vector<float> rows(expected.rgba.size());
          lumbrix::open_image(path("plain.png"), &pool)->read_rows(rows.data(), height);
          ASSERT_EQ(rows, expected.rgba) << "colour type " << colour_type << ", " << depth
                                         << " bits, filters " << filters << ", " << workers;
        }
      }
    }
  }

  // Damage is found either way: in the compressed data, or in the last chunk's checksum alone.
  std::vector<uint8_t> bytes(width * height * 4);
  for (size_t i = 0; i < bytes.size(); ++i) {
    bytes[i] = static_cast<uint8_t>(i * 31 / 7);
  }
  for (const bool in_checksum : {false, true}) {
    write_png_with_libpng(path("damaged.png"), width, height, 8, PNG_COLOR_TYPE_RGB_ALPHA, false,
                          bytes);
    const auto size = fs::file_size(path("damaged.png"));
    std::fstream file(path("damaged.png"), std::ios::in | std::ios::out | std::ios::binary);
    // The last image data chunk's checksum lies just before the 12 bytes of the end chunk.
    file.seekp(static_cast<std::streamoff>(in_checksum ? size - 13 : size / 2));
    file.put('\x5A');
    file.close();
    EXPECT_THROW(lumbrix::read_image(path("damaged.png")), lumbrix::Image_Error);
    lumbrix::Workers pool(8);
    try {
      lumbrix::open_image(path("damaged.png"), &pool)->read_rows(height, [](int64_t, const float*) {
      });
      FAIL() << "a damaged PNG was read";
    } catch (const lumbrix::Image_Error& e) {
      EXPECT_EQ(std::string(e.what()).rfind("cannot read " + path("damaged.png") + ": ", 0), 0u)
          << e.what();
      if (in_checksum) {
        EXPECT_NE(std::string(e.what()).find("CRC error"), std::string::npos) << e.what();
      }
    }
  }
}

TEST_F(Image_Files, ExrPlacementAndBandsSurviveARoundTrip) {
  // More rows than one band, placed away from the origin in a larger frame.
  lumbrix::Image original(7, 300, 32);
  original.origin_x = -3;
  original.origin_y = 50;
  original.display = lumbrix::Box{0, 0, 99, 399};
  for (size_t i = 0; i < original.rgba.size(); ++i) {
    original.rgba[i] = static_cast<float>(i) * 0.25f;
  }
  lumbrix::Workers pool(3);
  lumbrix::write_image(
      path("placed.exr"), original,
      [&](int64_t y, float* rgba) { std::copy_n(original.pixel(0, y), 28, rgba); }, &pool);
  const lumbrix::Image back = lumbrix::read_image(path("placed.exr"));
  EXPECT_EQ(back.origin_x, -3);
  EXPECT_EQ(back.origin_y, 50);
  EXPECT_EQ(back.display, original.display);
  EXPECT_EQ(back.rgba, original.rgba);
}

TEST_F(Image_Files, AnOutputThatCannotBeWrittenIsToldBeforeAnyWork) {
  const auto reason = [](const std::string& file) -> std::string {
    try {
      lumbrix::check_writable(file);
    } catch (const lumbrix::Image_Error& e) {
      return e.what();
    }
    return "";
  };
  EXPECT_EQ(reason(path("out.png")), "");
  EXPECT_EQ(reason(path("missing/out.png")), "cannot write " + path("missing/out.png") +
                                                 ": the folder " + path("missing") +
                                                 " does not exist");
  fs::create_directory(path("folder.exr"));
  EXPECT_EQ(reason(path("folder.exr")), "cannot write " + path("folder.exr") + ": it is a folder");
  EXPECT_EQ(reason(path("out.tif")),
            "unknown image format of " + path("out.tif") + " (use .png or .exr)");
  // The check leaves nothing behind.
  EXPECT_EQ(std::distance(fs::directory_iterator(folder_.path()), fs::directory_iterator()), 1);
}

}  // namespace

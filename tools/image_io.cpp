#include "image_io.h"

#include <Imath/half.h>
#include <OpenEXR/ImfChannelList.h>
#include <OpenEXR/ImfFrameBuffer.h>
#include <OpenEXR/ImfHeader.h>
#include <OpenEXR/ImfInputFile.h>
#include <OpenEXR/ImfOutputFile.h>
#include <png.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <memory>

namespace lumbrix {

namespace {

std::string lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

bool ends_with(const std::string& text, const std::string& suffix) {
  return text.size() >= suffix.size() &&
         text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// libpng reports errors through longjmp; turning them into C++ exceptions from the error
// callback would unwind through C frames, so the message is kept and setjmp catches it.
struct Png_Error_State {
  std::string message;
  // The layout read from the header lives here, in memory that libpng already knows, so a
  // longjmp cannot leave it clobbered in a register.
  png_uint_32 width = 0;
  png_uint_32 height = 0;
  int depth = 8;
};

void png_error_callback(png_structp png, png_const_charp message) {
  auto* state = static_cast<Png_Error_State*>(png_get_error_ptr(png));
  if (state != nullptr) {
    state->message = message;
  }
  png_longjmp(png, 1);
}

void png_warning_callback(png_structp, png_const_charp) {}

struct File_Closer {
  void operator()(std::FILE* file) const {
    if (file != nullptr) {
      std::fclose(file);
    }
  }
};
using File = std::unique_ptr<std::FILE, File_Closer>;

Image read_png(const std::string& path) {
  File file(std::fopen(path.c_str(), "rb"));
  if (!file) {
    throw Image_Error("cannot open " + path);
  }
  unsigned char signature[8] = {};
  if (std::fread(signature, 1, sizeof signature, file.get()) != sizeof signature ||
      png_sig_cmp(signature, 0, sizeof signature) != 0) {
    throw Image_Error(path + " is not a PNG file");
  }

  Png_Error_State state;
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &state, png_error_callback,
                                           png_warning_callback);
  png_infop info = png != nullptr ? png_create_info_struct(png) : nullptr;
  if (info == nullptr) {
    png_destroy_read_struct(&png, nullptr, nullptr);
    throw Image_Error("out of memory reading " + path);
  }

  if (setjmp(png_jmpbuf(png)) != 0) {
    png_destroy_read_struct(&png, &info, nullptr);
    throw Image_Error("cannot read " + path + ": " + state.message);
  }
  png_init_io(png, file.get());
  png_set_sig_bytes(png, sizeof signature);
  png_read_info(png, info);
  state.width = png_get_image_width(png, info);
  state.height = png_get_image_height(png, info);
  const int depth = png_get_bit_depth(png, info);
  const int color_type = png_get_color_type(png, info);

  // Everything becomes RGBA at 8 or 16 bits, 16-bit samples in the machine's byte order.
  if (color_type == PNG_COLOR_TYPE_PALETTE) {
    png_set_palette_to_rgb(png);
  }
  if (color_type == PNG_COLOR_TYPE_GRAY || color_type == PNG_COLOR_TYPE_GRAY_ALPHA) {
    if (depth < 8) {
      png_set_expand_gray_1_2_4_to_8(png);
    }
    png_set_gray_to_rgb(png);
  }
  if (png_get_valid(png, info, PNG_INFO_tRNS)) {
    png_set_tRNS_to_alpha(png);
  }
  state.depth = depth == 16 ? 16 : 8;
  if (depth == 16) {
    png_set_swap(png);
  }
  png_set_filler(png, state.depth == 16 ? 0xFFFF : 0xFF, PNG_FILLER_AFTER);
  png_read_update_info(png, info);
  if (png_get_rowbytes(png, info) != static_cast<size_t>(state.width) * 4 * (state.depth / 8)) {
    png_error(png, "unexpected row layout");
  }

  const png_uint_32 width = state.width;
  const png_uint_32 height = state.height;
  const int out_depth = state.depth;
  const size_t row_bytes = static_cast<size_t>(width) * 4 * (out_depth / 8);
  std::vector<unsigned char> pixels(row_bytes * height);
  std::vector<png_bytep> rows(height);
  for (png_uint_32 y = 0; y < height; ++y) {
    rows[y] = pixels.data() + y * row_bytes;
  }
  if (setjmp(png_jmpbuf(png)) != 0) {
    png_destroy_read_struct(&png, &info, nullptr);
    throw Image_Error("cannot read " + path + ": " + state.message);
  }
  png_read_image(png, rows.data());
  png_read_end(png, nullptr);
  png_destroy_read_struct(&png, &info, nullptr);

  Image image(width, height, out_depth);
  const size_t samples = static_cast<size_t>(width) * height * 4;
  if (out_depth == 8) {
    for (size_t i = 0; i < samples; ++i) {
      image.rgba[i] = pixels[i] / 255.0f;
    }
  } else {
    const auto* wide = reinterpret_cast<const uint16_t*>(pixels.data());
    for (size_t i = 0; i < samples; ++i) {
      image.rgba[i] = wide[i] / 65535.0f;
    }
  }
  return image;
}

template <typename T>
T quantise(float value, float white) {
  if (!(value > 0.0f)) {
    return 0;  // also NaN
  }
  const float scaled = value * white + 0.5f;
  return scaled >= white ? static_cast<T>(white) : static_cast<T>(scaled);
}

void write_png(const std::string& path, const Image& image) {
  if (image.bits != 8 && image.bits != 16) {
    throw Image_Error("PNG files hold 8 or 16 bits a channel, not " + std::to_string(image.bits));
  }
  File file(std::fopen(path.c_str(), "wb"));
  if (!file) {
    throw Image_Error("cannot create " + path);
  }
  Png_Error_State state;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &state, png_error_callback,
                                            png_warning_callback);
  png_infop info = png != nullptr ? png_create_info_struct(png) : nullptr;
  if (info == nullptr) {
    png_destroy_write_struct(&png, nullptr);
    throw Image_Error("out of memory writing " + path);
  }

  const size_t samples = static_cast<size_t>(image.width) * image.height * 4;
  std::vector<unsigned char> pixels(samples * (image.bits / 8));
  if (image.bits == 8) {
    for (size_t i = 0; i < samples; ++i) {
      pixels[i] = quantise<unsigned char>(image.rgba[i], 255.0f);
    }
  } else {
    auto* wide = reinterpret_cast<uint16_t*>(pixels.data());
    for (size_t i = 0; i < samples; ++i) {
      wide[i] = quantise<uint16_t>(image.rgba[i], 65535.0f);
    }
  }
  const size_t row_bytes = static_cast<size_t>(image.width) * 4 * (image.bits / 8);
  std::vector<png_bytep> rows(image.height);
  for (int64_t y = 0; y < image.height; ++y) {
    rows[y] = pixels.data() + y * row_bytes;
  }

  if (setjmp(png_jmpbuf(png)) != 0) {
    png_destroy_write_struct(&png, &info);
    throw Image_Error("cannot write " + path + ": " + state.message);
  }
  png_init_io(png, file.get());
  png_set_IHDR(png, info, static_cast<png_uint_32>(image.width),
               static_cast<png_uint_32>(image.height), image.bits, PNG_COLOR_TYPE_RGB_ALPHA,
               PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  if (image.bits == 16) {
    png_set_swap(png);
  }
  png_write_image(png, rows.data());
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  if (std::fflush(file.get()) != 0) {
    throw Image_Error("cannot write " + path);
  }
}

Image read_exr(const std::string& path) {
  try {
    Imf::InputFile file(path.c_str());
    const Imath::Box2i window = file.header().dataWindow();
    const int64_t width = int64_t{window.max.x} - window.min.x + 1;
    const int64_t height = int64_t{window.max.y} - window.min.y + 1;
    if (width <= 0 || height <= 0) {
      throw Image_Error(path + " has an empty data window");
    }

    const Imf::ChannelList& channels = file.header().channels();
    int bits = 16;
    for (auto it = channels.begin(); it != channels.end(); ++it) {
      if (it.channel().type == Imf::FLOAT) {
        bits = 32;
      }
    }
    const bool has_colour = channels.findChannel("R") != nullptr;
    const bool has_luminance = !has_colour && channels.findChannel("Y") != nullptr;
    if (!has_colour && !has_luminance) {
      throw Image_Error(path + " has neither R, G, B nor Y channels");
    }

    Image image(width, height, bits);
    const size_t x_stride = 4 * sizeof(float);
    const size_t y_stride = x_stride * width;
    // The frame buffer is addressed with data-window coordinates.
    char* base = reinterpret_cast<char*>(image.rgba.data()) -
                 (int64_t{window.min.x} * x_stride + int64_t{window.min.y} * y_stride);
    Imf::FrameBuffer frame;
    const char* names[3] = {"R", "G", "B"};
    for (int c = 0; c < 3; ++c) {
      frame.insert(has_colour ? names[c] : "Y",
                   Imf::Slice(Imf::FLOAT, base + c * sizeof(float), x_stride, y_stride, 1, 1, 0.0));
    }
    frame.insert("A",
                 Imf::Slice(Imf::FLOAT, base + 3 * sizeof(float), x_stride, y_stride, 1, 1, 1.0));
    file.setFrameBuffer(frame);
    file.readPixels(window.min.y, window.max.y);
    return image;
  } catch (const Image_Error&) {
    throw;
  } catch (const std::exception& e) {
    throw Image_Error("cannot read " + path + ": " + e.what());
  }
}

void write_exr(const std::string& path, const Image& image) {
  if (image.bits != 16 && image.bits != 32) {
    throw Image_Error("EXR files hold 16-bit half or 32-bit float channels, not " +
                      std::to_string(image.bits));
  }
  try {
    const Imf::PixelType type = image.bits == 32 ? Imf::FLOAT : Imf::HALF;
    Imf::Header header(static_cast<int>(image.width), static_cast<int>(image.height));
    const char* names[4] = {"R", "G", "B", "A"};
    for (const char* name : names) {
      header.channels().insert(name, Imf::Channel(type));
    }
    Imf::OutputFile file(path.c_str(), header);
    // The library writes half channels only from half slices.
    std::vector<Imath::half> halves;
    char* base = reinterpret_cast<char*>(const_cast<float*>(image.rgba.data()));
    size_t sample_size = sizeof(float);
    if (type == Imf::HALF) {
      halves.assign(image.rgba.begin(), image.rgba.end());
      base = reinterpret_cast<char*>(halves.data());
      sample_size = sizeof(Imath::half);
    }
    const size_t x_stride = 4 * sample_size;
    Imf::FrameBuffer frame;
    for (int c = 0; c < 4; ++c) {
      frame.insert(names[c],
                   Imf::Slice(type, base + c * sample_size, x_stride, x_stride * image.width));
    }
    file.setFrameBuffer(frame);
    file.writePixels(static_cast<int>(image.height));
  } catch (const std::exception& e) {
    throw Image_Error("cannot write " + path + ": " + e.what());
  }
}

}  // namespace

Image_Format image_format_of(const std::string& path) {
  const std::string name = lower(path);
  if (ends_with(name, ".png")) {
    return Image_Format::png;
  }
  if (ends_with(name, ".exr")) {
    return Image_Format::exr;
  }
  throw Image_Error("unknown image format of " + path + " (use .png or .exr)");
}

Image read_image(const std::string& path) {
  const Image_Format format = image_format_of(path);
  if (!std::filesystem::exists(path)) {
    throw Image_Error("no such file: " + path);
  }
  return format == Image_Format::png ? read_png(path) : read_exr(path);
}

void write_image(const std::string& path, const Image& image) {
  const Image_Format format = image_format_of(path);
  if (image.width <= 0 || image.height <= 0 ||
      image.rgba.size() != static_cast<size_t>(image.width * image.height * 4)) {
    throw Image_Error("no pixels to write to " + path);
  }
  // The temporary keeps the extension: the EXR library does not care, but a reader of the
  // folder sees what it is.
  const std::filesystem::path target(path);
  std::filesystem::path temporary = target;
  std::string partial_name = ".";
  partial_name += target.filename().string();
  partial_name += ".";
  partial_name += std::to_string(::getpid());
  partial_name += ".partial";
  temporary.replace_filename(partial_name);
  try {
    if (format == Image_Format::png) {
      write_png(temporary.string(), image);
    } else {
      write_exr(temporary.string(), image);
    }
    std::filesystem::rename(temporary, target);
  } catch (const std::exception& e) {
    std::error_code ignored;
    std::filesystem::remove(temporary, ignored);
    if (dynamic_cast<const Image_Error*>(&e) != nullptr) {
      throw;
    }
    throw Image_Error("cannot write " + path + ": " + e.what());
  }
}

}  // namespace lumbrix

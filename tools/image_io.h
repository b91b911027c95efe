#pragma once

// Image files for the command-line renderer: PNG (8 and 16 bits a channel) and OpenEXR (half
// and float). Pixels are held as interleaved RGBA floats with white at 1.0, together with the
// channel depth the file had, so integer files come back exactly when written at that depth.

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace lumbrix {

struct Image {
  int64_t width = 0;
  int64_t height = 0;
  // Channel depth of the file the image came from or goes to: 8 or 16 (PNG), 16 (EXR half)
  // or 32 (EXR float).
  int bits = 32;
  std::vector<float> rgba;  // width * height * 4, row after row, straight (not premultiplied)

  Image() = default;
  Image(int64_t w, int64_t h, int depth) : width(w), height(h), bits(depth), rgba(w * h * 4) {}
  float* pixel(int64_t x, int64_t y) { return rgba.data() + (y * width + x) * 4; }
  const float* pixel(int64_t x, int64_t y) const { return rgba.data() + (y * width + x) * 4; }
};

class Image_Error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

enum class Image_Format { png, exr };

// The format a file name asks for by its extension (".png", ".exr", any case).
Image_Format image_format_of(const std::string& path);

// Throws Image_Error naming the file and what is wrong with it.
Image read_image(const std::string& path);

// Writes through a temporary file beside the target and renames it into place, so a failed
// write leaves no partial file behind. PNG takes 8 or 16 bits, EXR 16 (half) or 32 (float).
void write_image(const std::string& path, const Image& image);

}  // namespace lumbrix

#pragma once

// Image files for the command-line renderer: PNG (8 and 16 bits a channel) and OpenEXR (half
// and float). Pixels travel as interleaved RGBA floats with white at 1.0, together with the
// channel depth the file had, so integer files come back exactly when written at that depth.
//
// Frames are read and written a band of rows at a time, so a 4K frame never exists as a whole
// file-side copy beside the host's worlds, and the encoders work on every core.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace lumbrix {

class Workers;

// A rectangle of pixel positions, both corners included.
struct Box {
  int64_t min_x = 0;
  int64_t min_y = 0;
  int64_t max_x = -1;
  int64_t max_y = -1;
  bool operator==(const Box&) const = default;
};

// Size and placement of an image. OpenEXR files place their pixels (the data window) anywhere
// in the frame they belong to (the display window); a file read with an offset is written back
// with the same one.
struct Image_Layout {
  int64_t width = 0;
  int64_t height = 0;
  // Channel depth of the file the image came from or goes to: 8 or 16 (PNG), 16 (EXR half)
  // or 32 (EXR float).
  int bits = 32;
  int64_t origin_x = 0;  // the top-left pixel's position
  int64_t origin_y = 0;
  std::optional<Box> display;  // none: the frame is exactly the pixels
};

struct Image : Image_Layout {
  std::vector<float> rgba;  // width * height * 4, row after row, straight (not premultiplied)

  Image() = default;
  Image(int64_t w, int64_t h, int depth) : rgba(w * h * 4) {
    width = w;
    height = h;
    bits = depth;
  }
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

// Where rows read from a file go: row `y` of the rows asked for (0 = the first of them), as
// straight RGBA floats, valid during the call. Called from several threads at once.
using Row_Sink = std::function<void(int64_t y, const float* rgba)>;

// An image file opened for reading, its header read.
class Image_Reader {
 public:
  virtual ~Image_Reader() = default;
  const Image_Layout& layout() const { return layout_; }
  // Hands the next `count` rows, top to bottom, to `take`, each row once, on every core when
  // the reader has a pool. Throws Image_Error naming the file and what is wrong with it.
  virtual void read_rows(int64_t count, const Row_Sink& take) = 0;
  // The next `count` rows into `rgba`, row after row.
  void read_rows(float* rgba, int64_t count);

 protected:
  Image_Layout layout_;
};

// Reads the header only; throws Image_Error naming the file and what is wrong with it. The pool
// (when given) converts rows on every core.
std::unique_ptr<Image_Reader> open_image(const std::string& path, Workers* pool = nullptr);

// The whole image at once.
Image read_image(const std::string& path);

// PNG compression: fast by default; `smallest` spends several times as long for the smallest
// file.
enum class Png_Compression { fast, smallest };

// Row `y` (0 = top) of the image to write, as straight RGBA floats. Called from several
// threads at once, each row once or twice.
using Row_Source = std::function<void(int64_t y, float* rgba)>;

// Checks before any work that `path` has a known format and can be created; throws Image_Error
// naming the path and the reason.
void check_writable(const std::string& path);

// Writes through a temporary file beside the target and renames it into place, so a failed
// write leaves no partial file behind; errors name `path` and the reason. PNG takes 8 or 16
// bits, EXR 16 (half) or 32 (float). The pool (when given) encodes on every core.
void write_image(const std::string& path, const Image_Layout& layout, const Row_Source& rows,
                 Workers* pool = nullptr, Png_Compression compression = Png_Compression::fast);
void write_image(const std::string& path, const Image& image,
                 Png_Compression compression = Png_Compression::fast);

}  // namespace lumbrix

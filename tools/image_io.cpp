#include "image_io.h"

#include <Imath/half.h>
#include <OpenEXR/ImfChannelList.h>
#include <OpenEXR/ImfFrameBuffer.h>
#include <OpenEXR/ImfHeader.h>
#include <OpenEXR/ImfInputFile.h>
#include <OpenEXR/ImfOutputFile.h>
#include <OpenEXR/ImfStdIO.h>
#include <OpenEXR/ImfThreading.h>
#include <fcntl.h>
#include <png.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>

#include "workers.h"

namespace lumbrix {

namespace {

namespace fs = std::filesystem;

std::string lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

bool ends_with(const std::string& text, const std::string& suffix) {
  return text.size() >= suffix.size() &&
         text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

std::string reason_of(int error) {
  return std::strerror(error);
}

// Calls `job(begin, end)` over [0, count) in pieces of `piece` on the pool's workers, or in
// order on the caller without a pool.
void for_pieces(Workers* pool, int64_t count, int64_t piece,
                const std::function<void(int64_t, int64_t)>& job) {
  const int64_t pieces = (count + piece - 1) / piece;
  if (pool == nullptr || pool->count() <= 1 || pieces <= 1) {
    for (int64_t begin = 0; begin < count; begin += piece) {
      job(begin, std::min(count, begin + piece));
    }
    return;
  }
  pool->run(pieces,
            [&](int64_t index) { job(index * piece, std::min(count, (index + 1) * piece)); });
}

int64_t workers_of(Workers* pool) {
  return pool != nullptr ? std::max<int64_t>(1, pool->count()) : 1;
}

// OpenEXR keeps one global pool of codec threads; it follows ours.
void use_codec_threads(Workers* pool) {
  const int wanted = pool != nullptr && pool->count() > 1 ? static_cast<int>(pool->count()) : 0;
  if (Imf::globalThreadCount() != wanted) {
    Imf::setGlobalThreadCount(wanted);
  }
}

struct File_Closer {
  void operator()(std::FILE* file) const {
    if (file != nullptr) {
      std::fclose(file);
    }
  }
};
using File = std::unique_ptr<std::FILE, File_Closer>;

// ---- PNG reading -------------------------------------------------------------------------

// libpng reports errors through longjmp; turning them into C++ exceptions from the error
// callback would unwind through C frames, so the message is kept and setjmp catches it. All
// the state a longjmp must not clobber lives here, in memory libpng already knows.
struct Png_Read_State {
  std::FILE* file = nullptr;
  uint64_t bytes_read = 0;
  std::array<char, 160> reason{};  // formatted before png_error, which never returns
  std::string message;
};

void png_error_callback(png_structp png, png_const_charp message) {
  auto* state = static_cast<Png_Read_State*>(png_get_error_ptr(png));
  if (state != nullptr) {
    state->message = message;
  }
  png_longjmp(png, 1);
}

void png_warning_callback(png_structp, png_const_charp) {}

// Reads through stdio, telling a file that ends early from one that cannot be read.
void png_read_callback(png_structp png, png_bytep data, size_t length) {
  auto* state = static_cast<Png_Read_State*>(png_get_io_ptr(png));
  const size_t got = std::fread(data, 1, length, state->file);
  state->bytes_read += got;
  if (got == length) {
    return;
  }
  if (std::ferror(state->file) != 0) {
    std::snprintf(state->reason.data(), state->reason.size(), "%s", std::strerror(errno));
  } else {
    std::snprintf(state->reason.data(), state->reason.size(),
                  "the file ends after %llu bytes, before its image data is complete (was it "
                  "cut short?)",
                  static_cast<unsigned long long>(state->bytes_read));
  }
  png_error(png, state->reason.data());
}

struct Png_Read_Handles {
  png_structp png = nullptr;
  png_infop info = nullptr;
  ~Png_Read_Handles() { png_destroy_read_struct(&png, &info, nullptr); }
};

// Raw rows (8 or 16 bits big-endian, 1 to 4 channels) to straight RGBA floats.
void raw_to_rgba(const unsigned char* raw, int channels, int depth, int64_t width, float* out) {
  const int64_t samples = width * channels;
  auto sample = [&](int64_t i) -> float {
    if (depth == 8) {
      return static_cast<float>(raw[i]) / 255.0f;
    }
    return static_cast<float>((raw[2 * i] << 8) | raw[2 * i + 1]) / 65535.0f;
  };
  for (int64_t i = 0, x = 0; i < samples; i += channels, ++x) {
    float* p = out + x * 4;
    if (channels <= 2) {
      p[0] = p[1] = p[2] = sample(i);
      p[3] = channels == 2 ? sample(i + 1) : 1.0f;
    } else {
      p[0] = sample(i);
      p[1] = sample(i + 1);
      p[2] = sample(i + 2);
      p[3] = channels == 4 ? sample(i + 3) : 1.0f;
    }
  }
}

unsigned char paeth_predictor(int left, int above, int above_left);

uint32_t big_endian_u32(const unsigned char* bytes) {
  return (uint32_t{bytes[0]} << 24) | (uint32_t{bytes[1]} << 16) | (uint32_t{bytes[2]} << 8) |
         uint32_t{bytes[3]};
}

// The image data of a plain PNG (not interlaced, 8 or 16 bits, no palette and no transparency
// key, so its rows need no expansion) decoded here rather than by libpng, so that inflating and
// unfiltering, the two halves of the work that must go in order, run on two threads. As strict
// as libpng: every chunk's checksum and the stream's are checked.
class Png_Image_Data {
 public:
  // `file` stands at the header of the first IDAT chunk, `offset` bytes into the file.
  Png_Image_Data(std::FILE* file, uint64_t offset, const std::string& path, size_t row_bytes,
                 size_t pixel_bytes)
      : file_(file),
        offset_(offset),
        path_(path),
        row_bytes_(row_bytes),
        pixel_bytes_(pixel_bytes),
        above_(row_bytes, 0) {
    if (inflateInit(&stream_) != Z_OK) {
      throw std::bad_alloc();
    }
    if (!next_chunk()) {
      fail("its image data is missing");
    }
  }
  ~Png_Image_Data() { inflateEnd(&stream_); }
  Png_Image_Data(const Png_Image_Data&) = delete;
  Png_Image_Data& operator=(const Png_Image_Data&) = delete;

  // Inflates the next `count` rows, each its filter byte and its bytes, to `out`; checks the
  // stream's end after the image's last row (`last`).
  void inflate_rows(unsigned char* out, int64_t count, bool last) {
    stream_.next_out = out;
    stream_.avail_out = static_cast<uInt>(static_cast<size_t>(count) * (row_bytes_ + 1));
    while (stream_.avail_out > 0) {
      if (!step() && stream_.avail_out > 0) {
        fail("its image data ends before its last row");
      }
    }
    unsigned char rest[256];
    while (last && !ended_) {
      stream_.next_out = rest;
      stream_.avail_out = sizeof rest;
      step();
    }
    // What follows the stream in the last chunk is not image data, but the chunk's checksum
    // still counts.
    while (last && read_data(input_.data(), input_.size()) > 0) {
    }
  }

  // Undoes the filter of each of `count` rows inflated to `rows`, in order, in place.
  void unfilter_rows(unsigned char* rows, int64_t count) {
    const size_t step = pixel_bytes_;
    for (int64_t y = 0; y < count; ++y) {
      unsigned char* row = rows + static_cast<size_t>(y) * (row_bytes_ + 1);
      unsigned char* r = row + 1;
      // Inside the piece the row above is the last one unfiltered here.
      const unsigned char* a = y == 0 ? above_.data() : r - (row_bytes_ + 1);
      switch (row[0]) {
        case 0:
          break;
        case 1:
          for (size_t i = step; i < row_bytes_; ++i) {
            r[i] = static_cast<unsigned char>(r[i] + r[i - step]);
          }
          break;
        case 2:
          for (size_t i = 0; i < row_bytes_; ++i) {
            r[i] = static_cast<unsigned char>(r[i] + a[i]);
          }
          break;
        case 3:
          for (size_t i = 0; i < row_bytes_; ++i) {
            const int left = i >= step ? r[i - step] : 0;
            r[i] = static_cast<unsigned char>(r[i] + ((left + a[i]) >> 1));
          }
          break;
        case 4:
          for (size_t i = 0; i < row_bytes_; ++i) {
            const bool inside = i >= step;
            r[i] = static_cast<unsigned char>(
                r[i] + paeth_predictor(inside ? r[i - step] : 0, a[i], inside ? a[i - step] : 0));
          }
          break;
        default:
          fail("a row has an unknown filter (" + std::to_string(row[0]) + ")");
      }
    }
    // The piece's last row is kept apart: its ring slot may be refilled before the next piece is
    // unfiltered.
    if (count > 0) {
      std::copy_n(rows + static_cast<size_t>(count - 1) * (row_bytes_ + 1) + 1, row_bytes_,
                  above_.begin());
    }
  }

 private:
  [[noreturn]] void fail(const std::string& what) const {
    throw Image_Error("cannot read " + path_ + ": " + what);
  }

  void read_exactly(unsigned char* out, size_t size) {
    const size_t got = std::fread(out, 1, size, file_);
    offset_ += got;
    if (got == size) {
      return;
    }
    if (std::ferror(file_) != 0) {
      fail(reason_of(errno));
    }
    fail("the file ends after " + std::to_string(offset_) +
         " bytes, before its image data is complete (was it cut short?)");
  }

  // Reads the next chunk's header: true for image data, whose checksum then begins.
  bool next_chunk() {
    unsigned char head[8];
    read_exactly(head, sizeof head);
    left_ = big_endian_u32(head);
    if (std::memcmp(head + 4, "IDAT", 4) != 0) {
      return false;
    }
    if (left_ > 0x7FFFFFFFu) {
      fail("an image data chunk is too long");
    }
    crc_ = crc32(0, head + 4, 4);
    return true;
  }

  // Up to `capacity` bytes of image data, 0 after the last IDAT chunk.
  size_t read_data(unsigned char* out, size_t capacity) {
    while (left_ == 0) {
      if (finished_) {
        return 0;
      }
      unsigned char stored[4];
      read_exactly(stored, sizeof stored);
      if (big_endian_u32(stored) != static_cast<uint32_t>(crc_)) {
        fail("IDAT: CRC error");
      }
      if (!next_chunk()) {
        finished_ = true;
        return 0;
      }
    }
    const size_t size = std::min<size_t>(capacity, left_);
    read_exactly(out, size);
    crc_ = crc32(crc_, out, static_cast<uInt>(size));
    left_ -= static_cast<uint32_t>(size);
    return size;
  }

  // One call of inflate, with more input first when it has none; false at the stream's end.
  bool step() {
    if (ended_) {
      return false;
    }
    if (stream_.avail_in == 0) {
      const size_t size = read_data(input_.data(), input_.size());
      if (size == 0) {
        fail("its image data ends early");
      }
      stream_.next_in = input_.data();
      stream_.avail_in = static_cast<uInt>(size);
    }
    const int status = inflate(&stream_, Z_NO_FLUSH);
    if (status == Z_STREAM_END) {
      ended_ = true;
      return false;
    }
    if (status != Z_OK) {
      fail(stream_.msg != nullptr ? stream_.msg : "its image data is damaged");
    }
    return true;
  }

  std::FILE* file_;
  uint64_t offset_;
  std::string path_;
  size_t row_bytes_;
  size_t pixel_bytes_;
  std::vector<unsigned char> above_;  // the last row unfiltered
  std::array<unsigned char, 1 << 16> input_{};
  z_stream stream_{};
  uint32_t left_ = 0;  // bytes of the current chunk not read yet
  uLong crc_ = 0;
  bool finished_ = false;  // the chunk after the image data has been reached
  bool ended_ = false;     // the compressed stream has ended, its checksum checked
};

class Png_Reader final : public Image_Reader {
 public:
  Png_Reader(const std::string& path, Workers* pool) : path_(path), pool_(pool) {
    file_.reset(std::fopen(path.c_str(), "rb"));
    if (!file_) {
      throw Image_Error("cannot open " + path + ": " + reason_of(errno));
    }
    unsigned char signature[8] = {};
    if (std::fread(signature, 1, sizeof signature, file_.get()) != sizeof signature ||
        png_sig_cmp(signature, 0, sizeof signature) != 0) {
      throw Image_Error(path + " is not a PNG file");
    }
    state_.file = file_.get();
    state_.bytes_read = sizeof signature;
    png_.png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &state_, png_error_callback,
                                      png_warning_callback);
    png_.info = png_.png != nullptr ? png_create_info_struct(png_.png) : nullptr;
    if (png_.info == nullptr) {
      throw Image_Error("out of memory reading " + path);
    }
    if (setjmp(png_jmpbuf(png_.png)) != 0) {
      fail();
    }
    read_header();
  }

  using Image_Reader::read_rows;

  // The file can only be decoded in order: one worker decodes pieces of rows into a ring of
  // slots (or two, one inflating and one unfiltering) while the others convert the pieces
  // already decoded and hand their rows on, so decoding never waits for a band's conversion.
  void read_rows(int64_t count, const Row_Sink& take) override {
    const int64_t first = next_row_;
    if (count <= 0 || first + count > layout_.height) {
      throw Image_Error("cannot read " + path_ + ": rows beyond its height were asked for");
    }
    if (interlaced_) {
      if (first == 0) {
        read_everything();
      }
      const unsigned char* raw = raw_.data() + first * row_bytes_;
      for_pieces(pool_, count, piece_rows, [&](int64_t begin, int64_t end) {
        convert(raw + begin * row_bytes_, row_bytes_, begin, end - begin, take);
      });
    } else if (workers_of(pool_) <= 1) {
      raw_.resize(static_cast<size_t>(std::min(count, piece_rows)) * row_bytes_);
      for (int64_t begin = 0; begin < count; begin += piece_rows) {
        const int64_t rows = std::min(piece_rows, count - begin);
        decode(raw_.data(), rows);
        convert(raw_.data(), row_bytes_, begin, rows, take);
      }
    } else {
      read_in_ring(count, take);
    }
    next_row_ += count;
    if (interlaced_ && next_row_ == layout_.height) {
      std::vector<unsigned char>().swap(raw_);
    }
  }

 private:
  [[noreturn]] void fail() const {
    throw Image_Error("cannot read " + path_ + ": " + state_.message);
  }

  // Everything becomes 8 or 16 bits a sample, palettes and transparency keys expanded; grey,
  // alpha and byte order are left to the parallel conversion.
  void read_header() {
    png_set_read_fn(png_.png, &state_, png_read_callback);
    png_set_sig_bytes(png_.png, 8);
    png_read_info(png_.png, png_.info);
    const int file_depth = png_get_bit_depth(png_.png, png_.info);
    const int colour_type = png_get_color_type(png_.png, png_.info);
    plain_ = png_get_interlace_type(png_.png, png_.info) == PNG_INTERLACE_NONE &&
             (file_depth == 8 || file_depth == 16) && (colour_type & PNG_COLOR_MASK_PALETTE) == 0 &&
             png_get_valid(png_.png, png_.info, PNG_INFO_tRNS) == 0;
    png_set_expand(png_.png);
    interlaced_ = png_get_interlace_type(png_.png, png_.info) != PNG_INTERLACE_NONE;
    if (interlaced_) {
      png_set_interlace_handling(png_.png);
    }
    png_read_update_info(png_.png, png_.info);
    layout_.width = png_get_image_width(png_.png, png_.info);
    layout_.height = png_get_image_height(png_.png, png_.info);
    channels_ = png_get_channels(png_.png, png_.info);
    depth_ = png_get_bit_depth(png_.png, png_.info);
    layout_.bits = depth_ == 16 ? 16 : 8;
    row_bytes_ = png_get_rowbytes(png_.png, png_.info);
    if (channels_ < 1 || channels_ > 4 || (depth_ != 8 && depth_ != 16) ||
        row_bytes_ != static_cast<size_t>(layout_.width) * channels_ * (depth_ / 8)) {
      png_error(png_.png, "unexpected row layout");
    }
  }

  static constexpr int64_t piece_rows = 8;

  // Rows [y, y + count) of the call, from `raw`, `stride` bytes apart, converted and handed on.
  void convert(const unsigned char* raw, size_t stride, int64_t y, int64_t count,
               const Row_Sink& take) const {
    std::vector<float> rgba(static_cast<size_t>(layout_.width) * 4);
    for (int64_t i = 0; i < count; ++i) {
      raw_to_rgba(raw + i * stride, channels_, depth_, layout_.width, rgba.data());
      take(y + i, rgba.data());
    }
  }

  // Decoding goes piece by piece into slot (piece % slots) of a ring, each piece once the piece
  // before it in that slot has been converted; job 0 decodes, with libpng, or inflates and job 1
  // unfilters when the image data is decoded here; each later job converts one piece once it is
  // decoded. Pieces are handed out in order, so the piece a wait depends on is always held by a
  // running job.
  void read_in_ring(int64_t count, const Row_Sink& take) {
    const bool split = open_image_data();
    const int64_t pieces = (count + piece_rows - 1) / piece_rows;
    const int64_t slots = std::min(pieces, 4 * workers_of(pool_));
    // Inflated rows keep their filter byte in front.
    const size_t stride = split ? row_bytes_ + 1 : row_bytes_;
    const size_t slot_bytes = static_cast<size_t>(piece_rows) * stride;
    raw_.resize(static_cast<size_t>(slots) * slot_bytes);
    const auto slot_of = [&](int64_t piece) {
      return raw_.data() + static_cast<size_t>(piece % slots) * slot_bytes;
    };
    const auto rows_of = [&](int64_t piece) {
      return std::min(piece_rows, count - piece * piece_rows);
    };
    std::atomic<int64_t> inflated{0};  // pieces inflated, when split
    std::atomic<int64_t> decoded{0};   // pieces ready to convert
    // Per slot, the last piece converted in it; the first round finds every slot free.
    std::vector<std::atomic<int64_t>> converted(static_cast<size_t>(slots));
    for (int64_t slot = 0; slot < slots; ++slot) {
      converted[slot].store(slot - slots);
    }
    std::atomic<bool> stopped{false};
    // Waits until `value` reaches `target`; false when a job failed meanwhile.
    const auto wait_for = [&stopped](std::atomic<int64_t>& value, int64_t target) {
      for (int64_t now = value.load(); now < target; now = value.load()) {
        if (stopped.load()) {
          return false;
        }
        value.wait(now);
      }
      return !stopped.load();
    };
    const auto publish = [](std::atomic<int64_t>& value, int64_t now) {
      value.store(now);
      value.notify_all();
    };
    const auto stop_everyone = [&] {
      stopped.store(true);
      publish(inflated, INT64_MAX);
      publish(decoded, INT64_MAX);
      for (std::atomic<int64_t>& slot : converted) {
        publish(slot, INT64_MAX);
      }
    };
    const bool last = next_row_ + count == layout_.height;
    const int64_t first_converter = split ? 2 : 1;
    pool_->run(pieces + first_converter, [&](int64_t job) {
      try {
        if (job == 0) {
          for (int64_t piece = 0; piece < pieces; ++piece) {
            if (!wait_for(converted[piece % slots], piece - slots)) {
              return;
            }
            if (split) {
              image_data_->inflate_rows(slot_of(piece), rows_of(piece),
                                        last && piece == pieces - 1);
              publish(inflated, piece + 1);
            } else {
              decode(slot_of(piece), rows_of(piece));
              publish(decoded, piece + 1);
            }
          }
        } else if (job == 1 && split) {
          for (int64_t piece = 0; piece < pieces; ++piece) {
            if (!wait_for(inflated, piece + 1)) {
              return;
            }
            image_data_->unfilter_rows(slot_of(piece), rows_of(piece));
            publish(decoded, piece + 1);
          }
        } else {
          const int64_t piece = job - first_converter;
          if (!wait_for(decoded, piece + 1)) {
            return;
          }
          convert(slot_of(piece) + (split ? 1 : 0), stride, piece * piece_rows, rows_of(piece),
                  take);
          publish(converted[piece % slots], piece);
        }
      } catch (...) {
        stop_everyone();
        throw;
      }
    });
  }

  // Whether this call decodes the image data itself: only a plain image, from its first row on,
  // with workers enough for inflating, unfiltering and converting at once.
  bool open_image_data() {
    if (image_data_ || next_row_ > 0 || !plain_ || workers_of(pool_) < 3) {
      return image_data_ != nullptr;
    }
    // libpng has read up to the first IDAT chunk's header and no further.
    const uint64_t offset = state_.bytes_read - 8;
    unsigned char head[8];
    if (std::fseek(file_.get(), static_cast<long>(offset), SEEK_SET) != 0 ||
        std::fread(head, 1, sizeof head, file_.get()) != sizeof head ||
        std::memcmp(head + 4, "IDAT", 4) != 0 ||
        std::fseek(file_.get(), static_cast<long>(offset), SEEK_SET) != 0) {
      std::fseek(file_.get(), static_cast<long>(state_.bytes_read), SEEK_SET);
      return false;
    }
    image_data_ = std::make_unique<Png_Image_Data>(file_.get(), offset, path_, row_bytes_,
                                                   static_cast<size_t>(channels_ * depth_ / 8));
    return true;
  }

  void decode(unsigned char* raw, int64_t count) {
    if (setjmp(png_jmpbuf(png_.png)) != 0) {
      fail();
    }
    for (int64_t y = 0; y < count; ++y) {
      png_read_row(png_.png, raw + y * row_bytes_, nullptr);
    }
  }

  // Interlaced rows come complete only after the last pass.
  void read_everything() {
    raw_.resize(static_cast<size_t>(layout_.height) * row_bytes_);
    std::vector<png_bytep> rows(static_cast<size_t>(layout_.height));
    for (int64_t y = 0; y < layout_.height; ++y) {
      rows[y] = raw_.data() + y * row_bytes_;
    }
    png_bytepp pointers = rows.data();
    if (setjmp(png_jmpbuf(png_.png)) != 0) {
      fail();
    }
    png_read_image(png_.png, pointers);
  }

  std::string path_;
  Workers* pool_;
  File file_;
  Png_Read_State state_;
  Png_Read_Handles png_;
  bool interlaced_ = false;
  int channels_ = 4;
  int depth_ = 8;
  size_t row_bytes_ = 0;
  int64_t next_row_ = 0;
  std::vector<unsigned char> raw_;  // decoded rows: the ring, or an interlaced image whole
  bool plain_ = false;              // rows need no expansion: the image data can be decoded here
  std::unique_ptr<Png_Image_Data> image_data_;
};

// ---- PNG writing -------------------------------------------------------------------------

template <typename T>
T quantise(float value, float white) {
  if (!(value > 0.0f)) {
    return 0;  // also NaN
  }
  const float scaled = value * white + 0.5f;
  return scaled >= white ? static_cast<T>(white) : static_cast<T>(scaled);
}

// One row as PNG samples: 8 bits, or 16 bits big-endian.
void quantise_row(const float* rgba, int64_t width, int bits, unsigned char* out) {
  const int64_t samples = width * 4;
  if (bits == 8) {
    for (int64_t i = 0; i < samples; ++i) {
      out[i] = quantise<unsigned char>(rgba[i], 255.0f);
    }
    return;
  }
  for (int64_t i = 0; i < samples; ++i) {
    const uint16_t value = quantise<uint16_t>(rgba[i], 65535.0f);
    out[2 * i] = static_cast<unsigned char>(value >> 8);
    out[2 * i + 1] = static_cast<unsigned char>(value & 0xFF);
  }
}

enum Png_Filter : unsigned char { none = 0, sub = 1, up = 2, average = 3, paeth = 4 };

unsigned char paeth_predictor(int left, int above, int above_left) {
  const int estimate = left + above - above_left;
  const int to_left = std::abs(estimate - left);
  const int to_above = std::abs(estimate - above);
  const int to_above_left = std::abs(estimate - above_left);
  if (to_left <= to_above && to_left <= to_above_left) {
    return static_cast<unsigned char>(left);
  }
  return static_cast<unsigned char>(to_above <= to_above_left ? above : above_left);
}

// Filters one row of `size` bytes with `step` bytes a pixel against the row above (zeros above
// the first row), as the format defines its five filters. One loop per filter, so each
// compiles to its own tight code.
template <Png_Filter filter>
void filter_row(const unsigned char* row, const unsigned char* above, size_t size, size_t step,
                unsigned char* out) {
  for (size_t i = 0; i < size; ++i) {
    const int left = i >= step ? row[i - step] : 0;
    int prediction = 0;
    if constexpr (filter == sub) {
      prediction = left;
    } else if constexpr (filter == up) {
      prediction = above[i];
    } else if constexpr (filter == average) {
      prediction = (left + above[i]) >> 1;
    } else if constexpr (filter == paeth) {
      prediction = paeth_predictor(left, above[i], i >= step ? above[i - step] : 0);
    }
    out[i] = static_cast<unsigned char>(row[i] - prediction);
  }
}

void filter_row(Png_Filter filter, const unsigned char* row, const unsigned char* above,
                size_t size, size_t step, unsigned char* out) {
  switch (filter) {
    case none:
      std::copy_n(row, size, out);
      return;
    case sub:
      return filter_row<sub>(row, above, size, step, out);
    case up:
      return filter_row<up>(row, above, size, step, out);
    case average:
      return filter_row<average>(row, above, size, step, out);
    case paeth:
      return filter_row<paeth>(row, above, size, step, out);
  }
}

// The usual choice of filter for the smallest file: the one whose bytes, read as signed, sum to
// the least magnitude.
Png_Filter best_filter(const unsigned char* row, const unsigned char* above, size_t size,
                       size_t step, std::vector<unsigned char>& scratch) {
  scratch.resize(size);
  Png_Filter best = none;
  uint64_t best_sum = UINT64_MAX;
  for (const Png_Filter filter : {none, sub, up, average, paeth}) {
    filter_row(filter, row, above, size, step, scratch.data());
    uint64_t sum = 0;
    for (size_t i = 0; i < size; ++i) {
      sum +=
          static_cast<uint64_t>(std::abs(static_cast<int>(static_cast<signed char>(scratch[i]))));
    }
    if (sum < best_sum) {
      best_sum = sum;
      best = filter;
    }
  }
  return best;
}

// A run of rows filtered and compressed on its own: a raw deflate stream that ends on a byte
// boundary (or ends the whole stream), so the runs of all threads concatenate into one.
struct Compressed_Rows {
  // Room for the zlib header, which only the first run writes, then the run's bytes.
  static constexpr size_t head_room = 2;
  std::unique_ptr<unsigned char[]> buffer;
  size_t size = 0;  // bytes after the head room
  uLong adler = 1;  // of the filtered rows
  size_t filtered_size = 0;
};

// Owns a raw deflate stream.
class Deflater {
 public:
  explicit Deflater(Png_Compression compression) {
    const int level = compression == Png_Compression::fast ? 1 : 9;
    if (deflateInit2(&stream_, level, Z_DEFLATED, -15, 9, Z_DEFAULT_STRATEGY) != Z_OK) {
      throw std::bad_alloc();
    }
  }
  ~Deflater() { deflateEnd(&stream_); }
  Deflater(const Deflater&) = delete;
  Deflater& operator=(const Deflater&) = delete;

  // The most that `size` bytes of input compress to, flushes included.
  size_t bound(size_t size) { return deflateBound(&stream_, size) + 64; }

  // Compresses `size` bytes into out[used, capacity), advancing `used`; `flush` as deflate
  // takes it. The capacity comes from `bound`, so the output always fits.
  void compress(const unsigned char* data, size_t size, int flush, unsigned char* out,
                size_t capacity, size_t& used) {
    stream_.next_in = const_cast<unsigned char*>(data);
    stream_.avail_in = static_cast<uInt>(size);
    stream_.next_out = out + used;
    stream_.avail_out = static_cast<uInt>(capacity - used);
    const int status = deflate(&stream_, flush);
    used = capacity - stream_.avail_out;
    const bool complete = flush == Z_FINISH
                              ? status == Z_STREAM_END
                              : status == Z_OK && stream_.avail_in == 0 && stream_.avail_out > 0;
    if (!complete) {
      throw std::runtime_error("the compressor stopped early");
    }
  }

 private:
  z_stream stream_{};
};

// Each row is quantised, filtered and compressed as soon as it is made, so a run holds only two
// rows and its compressed bytes.
Compressed_Rows compress_rows(const Image_Layout& layout, const Row_Source& rows, int64_t begin,
                              int64_t end, bool last, Png_Compression compression) {
  const size_t step = static_cast<size_t>(4 * layout.bits / 8);
  const size_t size = static_cast<size_t>(layout.width) * step;
  std::vector<float> floats(static_cast<size_t>(layout.width) * 4);
  std::vector<unsigned char> above(size, 0), row(size), filtered(size + 1), scratch;
  if (begin > 0) {
    rows(begin - 1, floats.data());
    quantise_row(floats.data(), layout.width, layout.bits, above.data());
  }
  Compressed_Rows result;
  result.filtered_size = filtered.size() * static_cast<size_t>(end - begin);
  result.adler = adler32(0, nullptr, 0);
  Deflater deflater(compression);
  // Not cleared: only what the compressor writes is touched.
  const size_t capacity = deflater.bound(result.filtered_size);
  result.buffer.reset(new unsigned char[Compressed_Rows::head_room + capacity]);
  unsigned char* out = result.buffer.get() + Compressed_Rows::head_room;
  for (int64_t y = begin; y < end; ++y) {
    rows(y, floats.data());
    quantise_row(floats.data(), layout.width, layout.bits, row.data());
    // Paeth predicts smooth images best at little cost: the fast choice.
    const Png_Filter filter = compression == Png_Compression::fast
                                  ? paeth
                                  : best_filter(row.data(), above.data(), size, step, scratch);
    filtered[0] = filter;
    filter_row(filter, row.data(), above.data(), size, step, filtered.data() + 1);
    std::swap(row, above);
    result.adler = adler32(result.adler, filtered.data(), static_cast<uInt>(filtered.size()));
    deflater.compress(filtered.data(), filtered.size(), Z_NO_FLUSH, out, capacity, result.size);
  }
  deflater.compress(nullptr, 0, last ? Z_FINISH : Z_SYNC_FLUSH, out, capacity, result.size);
  return result;
}

void put_u32(std::vector<unsigned char>& out, uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8) {
    out.push_back(static_cast<unsigned char>(value >> shift));
  }
}

class Png_Writer {
 public:
  Png_Writer(std::FILE* file, const std::string& path) : file_(file), path_(path) {}

  void chunk(const char type[4], const unsigned char* data, size_t size,
             const std::vector<unsigned char>& tail = {}) {
    std::vector<unsigned char> head;
    put_u32(head, static_cast<uint32_t>(size + tail.size()));
    head.insert(head.end(), type, type + 4);
    // zlib answers a null buffer with the initial value, so empty parts are skipped.
    uLong crc = crc32(0, reinterpret_cast<const Bytef*>(type), 4);
    if (size > 0) {
      crc = crc32(crc, data, static_cast<uInt>(size));
    }
    if (!tail.empty()) {
      crc = crc32(crc, tail.data(), static_cast<uInt>(tail.size()));
    }
    std::vector<unsigned char> crc_bytes;
    put_u32(crc_bytes, static_cast<uint32_t>(crc));
    write(head.data(), head.size());
    write(data, size);
    write(tail.data(), tail.size());
    write(crc_bytes.data(), crc_bytes.size());
  }

  void write(const unsigned char* data, size_t size) {
    if (size > 0 && std::fwrite(data, 1, size, file_) != size) {
      throw Image_Error("cannot write " + path_ + ": " + reason_of(errno));
    }
  }

 private:
  std::FILE* file_;
  std::string path_;
};

void write_png(std::FILE* file, const std::string& path, const Image_Layout& layout,
               const Row_Source& rows, Workers* pool, Png_Compression compression) {
  if (layout.bits != 8 && layout.bits != 16) {
    throw Image_Error("PNG files hold 8 or 16 bits a channel, not " + std::to_string(layout.bits));
  }
  if (layout.width > 0x7FFFFFFF || layout.height > 0x7FFFFFFF) {
    throw Image_Error("cannot write " + path + ": too large for a PNG file");
  }
  Png_Writer out(file, path);
  static const unsigned char signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  out.write(signature, sizeof signature);
  std::vector<unsigned char> header;
  put_u32(header, static_cast<uint32_t>(layout.width));
  put_u32(header, static_cast<uint32_t>(layout.height));
  header.insert(header.end(), {static_cast<unsigned char>(layout.bits), 6 /* RGBA */, 0, 0, 0});
  out.chunk("IHDR", header.data(), header.size());

  // Runs of about 1 MiB of pixels are compressed on every worker at once; each finished run is
  // written as soon as the runs before it are, by whichever worker finished last, so no worker
  // waits for a batch and only the runs that finished early wait in memory.
  const int64_t row_size = layout.width * 4 * layout.bits / 8;
  const int64_t run_rows = std::clamp<int64_t>((int64_t{1} << 20) / row_size, 1, layout.height);
  const int64_t runs = (layout.height + run_rows - 1) / run_rows;
  // The zlib header: a 32 KiB window and the level class, checked modulo 31.
  std::vector<unsigned char> stream_head = {
      0x78, static_cast<unsigned char>(compression == Png_Compression::fast ? 0x01 : 0xDA)};
  uLong adler = adler32(0, nullptr, 0);
  std::mutex mutex;
  std::map<int64_t, Compressed_Rows> finished;  // guarded by the mutex
  int64_t written = 0;                          // runs written, guarded by the mutex
  const auto write_run = [&](Compressed_Rows& part, bool last) {
    adler = adler32_combine(adler, part.adler, static_cast<z_off_t>(part.filtered_size));
    std::vector<unsigned char> tail;
    if (last) {
      put_u32(tail, static_cast<uint32_t>(adler));
    }
    unsigned char* bytes = part.buffer.get() + Compressed_Rows::head_room;
    size_t size = part.size;
    if (!stream_head.empty()) {
      bytes -= stream_head.size();
      size += stream_head.size();
      std::copy(stream_head.begin(), stream_head.end(), bytes);
      stream_head.clear();
    }
    out.chunk("IDAT", bytes, size, tail);
  };
  for_pieces(pool, runs, 1, [&](int64_t run, int64_t) {
    const int64_t begin = run * run_rows;
    Compressed_Rows part =
        compress_rows(layout, rows, begin, std::min(layout.height, begin + run_rows),
                      run == runs - 1, compression);
    const std::lock_guard lock(mutex);
    finished.emplace(run, std::move(part));
    for (auto next = finished.begin(); next != finished.end() && next->first == written;
         next = finished.erase(next)) {
      write_run(next->second, written == runs - 1);
      ++written;
    }
  });
  out.chunk("IEND", nullptr, 0);
}

// ---- OpenEXR -----------------------------------------------------------------------------

Box box_of(const Imath::Box2i& box) {
  return {box.min.x, box.min.y, box.max.x, box.max.y};
}

class Exr_Reader final : public Image_Reader {
 public:
  Exr_Reader(const std::string& path, Workers* pool) : path_(path), pool_(pool) {
    use_codec_threads(pool);
    guarded([&] {
      file_ = std::make_unique<Imf::InputFile>(path.c_str());
      const Imath::Box2i window = file_->header().dataWindow();
      layout_.origin_x = window.min.x;
      layout_.origin_y = window.min.y;
      layout_.width = int64_t{window.max.x} - window.min.x + 1;
      layout_.height = int64_t{window.max.y} - window.min.y + 1;
      layout_.display = box_of(file_->header().displayWindow());
      if (layout_.width <= 0 || layout_.height <= 0) {
        throw Image_Error(path + " has an empty data window");
      }
      const Imf::ChannelList& channels = file_->header().channels();
      layout_.bits = 16;
      for (auto it = channels.begin(); it != channels.end(); ++it) {
        if (it.channel().type != Imf::HALF) {
          layout_.bits = 32;
        }
      }
      has_colour_ = channels.findChannel("R") != nullptr;
      if (!has_colour_ && channels.findChannel("Y") == nullptr) {
        throw Image_Error(path + " has neither R, G, B nor Y channels");
      }
    });
  }

  using Image_Reader::read_rows;

  // The library decodes a band at a time on its own threads; each band is then handed out, so
  // no copy of the whole image exists beside the caller's.
  void read_rows(int64_t count, const Row_Sink& take) override {
    const int64_t width = layout_.width;
    const int64_t band_rows = std::min<int64_t>(count, 16 * 2 * workers_of(pool_));
    band_.resize(static_cast<size_t>(band_rows * width * 4));
    for (int64_t done = 0; done < count; done += band_rows) {
      const int64_t rows = std::min(band_rows, count - done);
      read_band(rows);
      for_pieces(pool_, rows, 4, [&](int64_t begin, int64_t end) {
        for (int64_t y = begin; y < end; ++y) {
          take(done + y, band_.data() + y * width * 4);
        }
      });
    }
  }

 private:
  // The next `count` rows into the band.
  void read_band(int64_t count) {
    guarded([&] {
      const size_t x_stride = 4 * sizeof(float);
      const size_t y_stride = x_stride * layout_.width;
      const int64_t first = layout_.origin_y + next_row_;
      // The frame buffer is addressed with the file's own pixel positions.
      char* base = reinterpret_cast<char*>(band_.data()) -
                   (layout_.origin_x * static_cast<int64_t>(x_stride) +
                    first * static_cast<int64_t>(y_stride));
      Imf::FrameBuffer frame;
      const char* names[3] = {"R", "G", "B"};
      for (int c = 0; c < 3; ++c) {
        frame.insert(has_colour_ ? names[c] : "Y", Imf::Slice(Imf::FLOAT, base + c * sizeof(float),
                                                              x_stride, y_stride, 1, 1, 0.0));
      }
      frame.insert("A",
                   Imf::Slice(Imf::FLOAT, base + 3 * sizeof(float), x_stride, y_stride, 1, 1, 1.0));
      file_->setFrameBuffer(frame);
      file_->readPixels(static_cast<int>(first), static_cast<int>(first + count - 1));
    });
    next_row_ += count;
  }

  template <class Work>
  void guarded(Work&& work) {
    try {
      work();
    } catch (const Image_Error&) {
      throw;
    } catch (const std::bad_alloc&) {
      throw;
    } catch (const std::exception& e) {
      throw Image_Error("cannot read " + path_ + ": " + e.what());
    }
  }

  std::string path_;
  Workers* pool_;
  std::unique_ptr<Imf::InputFile> file_;
  std::vector<float> band_;
  bool has_colour_ = true;
  int64_t next_row_ = 0;
};

void write_exr(std::ofstream& stream, const std::string& path, const Image_Layout& layout,
               const Row_Source& rows, Workers* pool) {
  if (layout.bits != 16 && layout.bits != 32) {
    throw Image_Error("EXR files hold 16-bit half or 32-bit float channels, not " +
                      std::to_string(layout.bits));
  }
  use_codec_threads(pool);
  const Imath::Box2i data(
      Imath::V2i(static_cast<int>(layout.origin_x), static_cast<int>(layout.origin_y)),
      Imath::V2i(static_cast<int>(layout.origin_x + layout.width - 1),
                 static_cast<int>(layout.origin_y + layout.height - 1)));
  Imath::Box2i display = data;
  if (layout.display) {
    display = Imath::Box2i(Imath::V2i(static_cast<int>(layout.display->min_x),
                                      static_cast<int>(layout.display->min_y)),
                           Imath::V2i(static_cast<int>(layout.display->max_x),
                                      static_cast<int>(layout.display->max_y)));
  }
  Imf::Header header(display, data);
  const Imf::PixelType type = layout.bits == 32 ? Imf::FLOAT : Imf::HALF;
  const char* names[4] = {"R", "G", "B", "A"};
  for (const char* name : names) {
    header.channels().insert(name, Imf::Channel(type));
  }
  // The library's messages name the user's file, not the temporary one.
  Imf::StdOFStream file_stream(stream, path.c_str());
  Imf::OutputFile file(file_stream, header);

  // Bands of whole compression blocks (16 rows for the default compression), enough of them
  // for every codec thread. The library writes half channels only from half slices.
  const int64_t band_rows = std::min<int64_t>(layout.height, 16 * 2 * workers_of(pool));
  const size_t sample_size = type == Imf::FLOAT ? sizeof(float) : sizeof(Imath::half);
  const int64_t row_samples = layout.width * 4;
  std::vector<char> band(static_cast<size_t>(band_rows * row_samples) * sample_size);
  const size_t x_stride = 4 * sample_size;
  const size_t y_stride = x_stride * layout.width;
  for (int64_t first = 0; first < layout.height; first += band_rows) {
    const int64_t count = std::min(band_rows, layout.height - first);
    for_pieces(pool, count, 8, [&](int64_t begin, int64_t end) {
      std::vector<float> floats(type == Imf::HALF ? row_samples : 0);
      for (int64_t y = begin; y < end; ++y) {
        char* row = band.data() + y * y_stride;
        if (type == Imf::FLOAT) {
          rows(first + y, reinterpret_cast<float*>(row));
          continue;
        }
        rows(first + y, floats.data());
        auto* halves = reinterpret_cast<Imath::half*>(row);
        for (int64_t i = 0; i < row_samples; ++i) {
          halves[i] = Imath::half(floats[i]);
        }
      }
    });
    char* base = band.data() - (layout.origin_x * static_cast<int64_t>(x_stride) +
                                (layout.origin_y + first) * static_cast<int64_t>(y_stride));
    Imf::FrameBuffer frame;
    for (int c = 0; c < 4; ++c) {
      frame.insert(names[c], Imf::Slice(type, base + c * sample_size, x_stride, y_stride));
    }
    file.setFrameBuffer(frame);
    file.writePixels(static_cast<int>(count));
  }
}

// The temporary file a write goes to first: hidden, beside the target, the extension kept.
fs::path temporary_for(const fs::path& target) {
  fs::path temporary = target;
  // Appended piece by piece: g++ 12 warns falsely about "." + string.
  std::string name = ".";
  name += target.filename().string();
  name += ".";
  name += std::to_string(::getpid());
  name += ".partial";
  temporary.replace_filename(name);
  return temporary;
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

void Image_Reader::read_rows(float* rgba, int64_t count) {
  const int64_t samples = layout_.width * 4;
  read_rows(count,
            [&](int64_t y, const float* row) { std::copy_n(row, samples, rgba + y * samples); });
}

std::unique_ptr<Image_Reader> open_image(const std::string& path, Workers* pool) {
  const Image_Format format = image_format_of(path);
  std::error_code error;
  if (!fs::exists(path, error)) {
    throw Image_Error("no such file: " + path);
  }
  if (fs::is_directory(path, error)) {
    throw Image_Error(path + " is a folder, not an image");
  }
  if (format == Image_Format::png) {
    return std::make_unique<Png_Reader>(path, pool);
  }
  return std::make_unique<Exr_Reader>(path, pool);
}

Image read_image(const std::string& path) {
  const std::unique_ptr<Image_Reader> reader = open_image(path);
  Image image;
  static_cast<Image_Layout&>(image) = reader->layout();
  image.rgba.resize(static_cast<size_t>(image.width * image.height * 4));
  reader->read_rows(image.rgba.data(), image.height);
  return image;
}

void check_writable(const std::string& path) {
  image_format_of(path);
  const fs::path target(path);
  const fs::path folder = target.has_parent_path() ? target.parent_path() : fs::path(".");
  std::error_code error;
  if (!fs::exists(folder, error)) {
    throw Image_Error("cannot write " + path + ": the folder " + folder.string() +
                      " does not exist");
  }
  if (!fs::is_directory(folder, error)) {
    throw Image_Error("cannot write " + path + ": " + folder.string() + " is not a folder");
  }
  if (fs::is_directory(target, error)) {
    throw Image_Error("cannot write " + path + ": it is a folder");
  }
  // Only creating a file proves it can be done (permissions, read-only file systems).
  const fs::path temporary = temporary_for(target);
  const int descriptor = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
  if (descriptor < 0 && errno != EEXIST) {
    throw Image_Error("cannot write " + path + ": " + reason_of(errno));
  }
  if (descriptor >= 0) {
    ::close(descriptor);
    ::unlink(temporary.c_str());
  }
}

void write_image(const std::string& path, const Image_Layout& layout, const Row_Source& rows,
                 Workers* pool, Png_Compression compression) {
  const Image_Format format = image_format_of(path);
  if (layout.width <= 0 || layout.height <= 0) {
    throw Image_Error("no pixels to write to " + path);
  }
  const fs::path target(path);
  const fs::path temporary = temporary_for(target);
  try {
    if (format == Image_Format::png) {
      File file(std::fopen(temporary.c_str(), "wb"));
      if (!file) {
        throw Image_Error("cannot write " + path + ": " + reason_of(errno));
      }
      write_png(file.get(), path, layout, rows, pool, compression);
      if (std::fclose(file.release()) != 0) {
        throw Image_Error("cannot write " + path + ": " + reason_of(errno));
      }
    } else {
      std::ofstream stream(temporary, std::ios::binary | std::ios::trunc);
      if (!stream) {
        throw Image_Error("cannot write " + path + ": " + reason_of(errno));
      }
      write_exr(stream, path, layout, rows, pool);
      stream.close();
      if (!stream) {
        throw Image_Error("cannot write " + path + ": " + reason_of(errno));
      }
    }
    std::error_code error;
    fs::rename(temporary, target, error);
    if (error) {
      throw Image_Error("cannot write " + path + ": " + error.message());
    }
  } catch (...) {
    std::error_code ignored;
    fs::remove(temporary, ignored);
    try {
      throw;
    } catch (const Image_Error&) {
      throw;
    } catch (const std::bad_alloc&) {
      throw;
    } catch (const std::exception& e) {
      throw Image_Error("cannot write " + path + ": " + e.what());
    }
  }
}

void write_image(const std::string& path, const Image& image, Png_Compression compression) {
  if (image.rgba.size() != static_cast<size_t>(image.width * image.height * 4)) {
    throw Image_Error("no pixels to write to " + path);
  }
  write_image(
      path, image,
      [&image](int64_t y, float* rgba) { std::copy_n(image.pixel(0, y), image.width * 4, rgba); },
      nullptr, compression);
}

}  // namespace lumbrix

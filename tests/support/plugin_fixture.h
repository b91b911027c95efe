#pragma once

// The plug-in library as a host sees it: loaded anew with dlopen (so with a fresh log) on a
// simulated host, with a home folder of its own for the log and the crash report.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "plugin_driver.h"
#include "simulated_host.h"
#include "support/temporary_folder.h"

namespace brel::test {

using sim::Host_Identity;
using sim::Plugin_Driver;
using sim::Simulated_Host;
using sim::World;

// A home folder of the test's own: global set-up points the library's log at
// $HOME/tarvolen/lumbrix_ae. The log writes only when "lumbrix_ae.log" exists there, and the
// crash report needs the folder.
class Home {
 public:
  Home() : old_home_(std::getenv("HOME") != nullptr ? std::getenv("HOME") : "") {
    setenv("HOME", folder_.path().c_str(), 1);
  }
  ~Home() { setenv("HOME", old_home_.c_str(), 1); }
  Home(const Home&) = delete;
  Home& operator=(const Home&) = delete;

  std::string log_folder() const { return folder_.path() + "/tarvolen"; }
  void create_log_folder() const { std::filesystem::create_directories(log_folder()); }
  void create_log_file() const {
    create_log_folder();
    folder_.write_file("tarvolen/lumbrix_ae.log");
  }
  std::string log() const { return folder_.read_file("tarvolen/lumbrix_ae.log"); }
  // The text of every crash report in the log folder.
  std::string crash_reports() const {
    std::string text;
    if (!std::filesystem::exists(log_folder())) {
      return text;
    }
    for (const auto& entry : std::filesystem::directory_iterator(log_folder())) {
      if (entry.path().extension() == ".crash") {
        text += folder_.read_file("tarvolen/" + entry.path().filename().string());
      }
    }
    return text;
  }
  bool log_folder_is_empty() const {
    return !std::filesystem::exists(log_folder()) ||
           std::filesystem::is_empty(std::filesystem::path(log_folder()));
  }

 private:
  Temporary_Folder folder_;
  std::string old_home_;
};

// The library loaded anew (so with a fresh log) on a simulated host, set up for rendering.
struct Loaded {
  explicit Loaded(Host_Identity identity = Host_Identity::after_effects(), int32_t threads = 4)
      : host(identity), driver(host, LUMBRIX_PLUGIN_PATH) {
    host.set_thread_count(threads);
    global_setup = driver.global_setup();
    params_setup = driver.params_setup();
  }
  ~Loaded() { EXPECT_EQ(driver.escaped_exceptions(), 0) << "an exception left the library"; }

  Home home;
  Simulated_Host host;
  Plugin_Driver driver;
  PF_Err global_setup;
  PF_Err params_setup;
};

// A channel of pixel (x, y) by its position in memory (0 .. 3), as stored: 0 .. 255 in 8-bit
// worlds, 0 .. 65535 in 16-bit worlds, float in 32-bit worlds of `bytes` per pixel.
inline uint8_t* channel_at(World& world, int32_t bytes, int32_t x, int32_t y, int32_t position) {
  PF_EffectWorld* w = world.get();
  return static_cast<uint8_t*>(w->data) + static_cast<int64_t>(y) * w->rowbytes + x * bytes +
         position * (bytes / 4);
}
inline void set_channel(World& world, int32_t bytes, int32_t x, int32_t y, int32_t position,
                        float value) {
  uint8_t* channel = channel_at(world, bytes, x, y, position);
  if (bytes == 16) {
    std::memcpy(channel, &value, 4);
  } else if (bytes == 8) {
    const auto v = static_cast<uint16_t>(value);
    std::memcpy(channel, &v, 2);
  } else {
    *channel = static_cast<uint8_t>(value);
  }
}
inline float channel(World& world, int32_t bytes, int32_t x, int32_t y, int32_t position) {
  const uint8_t* c = channel_at(world, bytes, x, y, position);
  if (bytes == 16) {
    float value;
    std::memcpy(&value, c, 4);
    return value;
  }
  if (bytes == 8) {
    uint16_t value;
    std::memcpy(&value, c, 2);
    return value;
  }
  return *c;
}

// Fills a world with a smooth ramp of opaque colour in the host's units.
inline void fill_ramp(World& world, bool premiere) {
  const int32_t bytes = World::pixel_bytes(world.format(), premiere);
  const float white = bytes == 4 ? 255.0f : (bytes == 8 ? 32768.0f : 1.0f);
  for (int32_t y = 0; y < world.get()->height; ++y) {
    for (int32_t x = 0; x < world.get()->width; ++x) {
      for (int32_t c = 0; c < 4; ++c) {
        const float value = c == 0 || c == 3 ? 1.0f : static_cast<float>(x + y + c) / 64.0f;
        set_channel(world, bytes, x, y, c, value * white);
      }
    }
  }
}

struct Format {
  PF_PixelFormat code;
  const char* pipeline;
};

inline const std::vector<Format> after_effects_formats = {
    {PF_PixelFormat_ARGB32, "8 bit argb uc - cpu"},
    {PF_PixelFormat_ARGB64, "16 bit argb uc - cpu"},
    {PF_PixelFormat_ARGB128, "32 bit argb float - cpu"},
    {PF_PixelFormat_BGRA128, "32 bit bgra float - cpu"},
};
inline const std::vector<Format> premiere_formats = {
    {PrPixelFormat_BGRA_4444_8u, "8 bit bgra uc - cpu"},
    {PrPixelFormat_BGRA_4444_16u, "16 bit bgra us - cpu"},
    {PrPixelFormat_BGRA_4444_32f, "32 bit bgra float - cpu"},
    {PrPixelFormat_ARGB_4444_8u, "8 bit argb uc - cpu"},
};

// Reads one pixel of a float ARGB world: alpha, red, green, blue.
inline std::vector<float> argb_float_pixel(World& world, int32_t x, int32_t y) {
  std::vector<float> pixel(4);
  for (int32_t c = 0; c < 4; ++c) {
    pixel[c] = channel(world, 16, x, y, c);
  }
  return pixel;
}

}  // namespace brel::test

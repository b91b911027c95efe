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

// Fills a world with a smooth ramp of opaque colour in the host's units.
inline void fill_ramp(World& world, bool premiere) {
  PF_EffectWorld* w = world.get();
  const int32_t bytes = World::pixel_bytes(world.format(), premiere);
  for (int32_t y = 0; y < w->height; ++y) {
    auto* row = static_cast<uint8_t*>(w->data) + static_cast<int64_t>(y) * w->rowbytes;
    for (int32_t x = 0; x < w->width; ++x) {
      for (int32_t c = 0; c < 4; ++c) {
        const float value = c == 0 || c == 3 ? 1.0f : static_cast<float>(x + y + c) / 64.0f;
        uint8_t* channel = row + x * bytes + c * (bytes / 4);
        if (bytes == 16) {
          std::memcpy(channel, &value, 4);
        } else if (bytes == 8) {
          const auto v = static_cast<uint16_t>(value * 32768.0f);
          std::memcpy(channel, &v, 2);
        } else {
          *channel = static_cast<uint8_t>(value * 255.0f);
        }
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
  const auto* row = static_cast<const uint8_t*>(world.get()->data) +
                    static_cast<int64_t>(y) * world.get()->rowbytes;
  std::vector<float> pixel(4);
  std::memcpy(pixel.data(), row + x * 16, 16);
  return pixel;
}

}  // namespace brel::test

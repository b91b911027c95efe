#pragma once

// The command line of lumbrix-render.

#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "image_io.h"

namespace lumbrix {

enum class Host_Kind { after_effects, premiere_pro };
enum class Channel_Order { argb, bgra };

struct Options {
  std::string input;   // empty: render the demo scene
  std::string output;  // required unless listing parameters
  Host_Kind host = Host_Kind::after_effects;
  int bits = 32;  // 8, 16 or 32 (float)
  Channel_Order order = Channel_Order::argb;
  bool order_given = false;  // else the host's own order
  int64_t threads = 0;       // 0: all cores
  bool classic_render = false;
  bool list_params = false;
  bool version = false;
  bool timing = false;
  Png_Compression png_compression = Png_Compression::fast;
  bool progress = true;
  int64_t demo_width = 960;
  int64_t demo_height = 540;
  std::vector<std::pair<std::string, std::string>> settings;  // --set NAME=VALUE, in order
  std::vector<std::pair<std::string, std::string>> layers;    // --layer NAME=FILE, in order
};

class Usage_Error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Exit codes, stable for scripts.
inline constexpr int exit_usage = 2;   // bad command line, input or output file
inline constexpr int exit_render = 1;  // the plug-in failed, or memory ran short

// Throws Usage_Error with a one-line reason; an empty reason asks for the usage text.
Options parse_options(const std::vector<std::string>& arguments);

// Whether the chosen host carries frames of this depth and channel order.
bool host_carries(Host_Kind host, int bits, Channel_Order order);

std::string usage_text();

std::string lower_case(std::string text);

}  // namespace lumbrix

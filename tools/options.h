#pragma once

// The command line of lumbrix-render.

#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

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
  bool timing = false;
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

// Throws Usage_Error with a one-line reason.
Options parse_options(const std::vector<std::string>& arguments);

// Whether the chosen host carries frames of this depth and channel order.
bool host_carries(Host_Kind host, int bits, Channel_Order order);

std::string usage_text();

}  // namespace lumbrix

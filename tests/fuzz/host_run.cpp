#include "host_run.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <functional>
#include <iostream>
#include <limits>
#include <memory>
#include <random>
#include <set>
#include <sstream>

#include "param_setting.h"
#include "plugin_driver.h"
#include "simulated_host.h"

namespace brel::fuzz {
namespace {

using sim::Host_Identity;
using sim::Plugin_Driver;
using sim::Simulated_Host;
using sim::Slot;
using sim::World;

constexpr std::byte padding_mark{0xA5};
constexpr float largest_float = std::numeric_limits<float>::max();

class Random {
 public:
  explicit Random(uint64_t seed) : engine_(seed) {}
  uint64_t bits() { return engine_(); }
  // An integer in [low, high].
  int64_t between(int64_t low, int64_t high) {
    return std::uniform_int_distribution<int64_t>(low, high)(engine_);
  }
  double real(double low, double high) {
    return std::uniform_real_distribution<double>(low, high)(engine_);
  }
  bool chance(double p) { return std::bernoulli_distribution(p)(engine_); }
  template <class T>
  const T& pick(const std::vector<T>& items) {
    return items[static_cast<size_t>(between(0, static_cast<int64_t>(items.size()) - 1))];
  }

 private:
  std::mt19937_64 engine_;
};

// ---- Values ----------------------------------------------------------------------------------

// A value for a parameter with slider range [slider_min, slider_max] and valid range
// [valid_min, valid_max]; `in_range` says whether it is finite and valid.
double parameter_value(Random& random, double valid_min, double valid_max, double slider_min,
                       double slider_max, bool& in_range) {
  double value = 0.0;
  switch (random.between(0, 11)) {
    case 0:
    case 1:
    case 2:
      value = random.real(slider_min, slider_max);
      break;
    case 3:
      value = random.real(valid_min, valid_max);
      break;
    case 4:
      value = random.chance(0.5) ? valid_min : valid_max;
      break;
    case 5: {  // just beyond a limit, or far beyond
      const double span = std::max(1.0, valid_max - valid_min);
      value = random.chance(0.5) ? valid_max + span * random.real(1e-6, 10.0)
                                 : valid_min - span * random.real(1e-6, 10.0);
      break;
    }
    case 6:
      value = std::numeric_limits<double>::quiet_NaN();
      break;
    case 7:
      value = random.chance(0.5) ? HUGE_VAL : -HUGE_VAL;
      break;
    case 8:
      value = random.pick(std::vector<double>{1e19, -1e19, 1e30, -1e30, 3.4e38, -3.4e38, 1e300});
      break;
    case 9:
      value = random.pick(std::vector<double>{1e-40, -1e-40, 1e-310, 1e-45, -0.0});
      break;
    case 10:
      value = random.chance(0.5) ? 0.0 : 1.0;
      break;
    default:
      value = std::round(random.real(slider_min, slider_max));
      break;
  }
  in_range = std::isfinite(value) && value >= valid_min && value <= valid_max;
  return value;
}

// A float channel: mostly ordinary colour, some of it wild.
enum class Content { ramp, colour, wide, special, bits };

float special_float(Random& random) {
  return random.pick(std::vector<float>{
      std::numeric_limits<float>::quiet_NaN(), HUGE_VALF, -HUGE_VALF, 1e19f, -1e19f, 1e30f, -1e30f,
      largest_float, -largest_float, 1e-40f, -1e-40f, 1e-45f, 0.0f, -0.0f, 1.0f, 2.0f});
}

struct Pixels_Record {
  bool finite = true;    // every float channel finite
  bool in_range = true;  // every channel within black .. white
};

// Fills a world of `bytes` per pixel (4, 8 or 16) with content of the given kind.
Pixels_Record fill_world(Random& random, World& world, int32_t bytes, Content content) {
  Pixels_Record record;
  PF_EffectWorld* w = world.get();
  const float white = bytes == 4 ? 255.0f : (bytes == 8 ? 32768.0f : 1.0f);
  const int32_t special_every = static_cast<int32_t>(random.between(1, 64));
  for (int32_t y = 0; y < w->height; ++y) {
    auto* row = static_cast<uint8_t*>(w->data) + static_cast<int64_t>(y) * w->rowbytes;
    for (int32_t x = 0; x < w->width; ++x) {
      for (int32_t c = 0; c < 4; ++c) {
        uint8_t* at = row + x * bytes + c * (bytes / 4);
        if (content == Content::bits) {
          const uint64_t b = random.bits();
          std::memcpy(at, &b, static_cast<size_t>(bytes / 4));
          continue;
        }
        float value = 0.0f;
        switch (content) {
          case Content::ramp:
            value = c == 0 || c == 3 ? 1.0f : static_cast<float>((x + y + c) % 64) / 64.0f;
            break;
          case Content::colour:
            value = static_cast<float>(random.real(0.0, 1.0));
            break;
          case Content::wide:
            value = static_cast<float>(random.real(-2.0, 3.0));
            break;
          default:
            value = (x + y * 7 + c) % special_every == 0 ? special_float(random)
                                                         : static_cast<float>(random.real(0, 1));
            break;
        }
        if (bytes == 16) {
          std::memcpy(at, &value, 4);
        } else {
          const float scaled = value * white;
          const float top = bytes == 8 ? 65535.0f : 255.0f;
          const float stored = scaled != scaled ? 0.0f : std::clamp(scaled, 0.0f, top);
          if (bytes == 8) {
            const auto v = static_cast<uint16_t>(stored);
            std::memcpy(at, &v, 2);
          } else {
            *at = static_cast<uint8_t>(stored);
          }
        }
      }
    }
  }
  // What the stored channels are, read back.
  for (int32_t y = 0; y < w->height; ++y) {
    const auto* row = static_cast<const uint8_t*>(w->data) + static_cast<int64_t>(y) * w->rowbytes;
    for (int64_t k = 0; k < int64_t{w->width} * 4; ++k) {
      float value = 0.0f;
      if (bytes == 16) {
        std::memcpy(&value, row + k * 4, 4);
      } else if (bytes == 8) {
        uint16_t v;
        std::memcpy(&v, row + k * 2, 2);
        value = v;
      } else {
        value = row[k];
      }
      record.finite = record.finite && std::isfinite(value);
      record.in_range = record.in_range && value >= 0.0f && value <= white;
    }
  }
  return record;
}

uint64_t checksum(const World* world) {
  if (world == nullptr) {
    return 0;
  }
  const PF_EffectWorld* w = world->get();
  uint64_t hash = 1469598103934665603ull;
  const auto* bytes = static_cast<const uint8_t*>(w->data);
  const int64_t size = static_cast<int64_t>(w->rowbytes) * w->height;
  for (int64_t k = 0; k < size; ++k) {
    hash = (hash ^ bytes[k]) * 1099511628211ull;
  }
  return hash;
}

// ---- The run -----------------------------------------------------------------------------

const std::vector<PF_PixelFormat> after_effects_formats = {
    PF_PixelFormat_ARGB32, PF_PixelFormat_ARGB64, PF_PixelFormat_ARGB128, PF_PixelFormat_BGRA128};
const std::vector<PF_PixelFormat> premiere_formats = {
    PrPixelFormat_BGRA_4444_8u, PrPixelFormat_BGRA_4444_16u, PrPixelFormat_BGRA_4444_32f,
    PrPixelFormat_ARGB_4444_8u};

// The fault a run injects and what a command answers when it strikes.
struct Fault {
  std::string description;
  PF_Err answer = PF_Err_NONE;  // 0: no fault
};

// Host callbacks whose error codes the effect hands back as they are.
const std::vector<const char*> coded_callbacks = {
    sim::fn::checkout_param, sim::fn::iterate_generic, sim::fn::get_pixel_format, sim::fn::abort,
    sim::fn::progress,       sim::fn::update_param_ui, sim::fn::float_color};
const std::vector<PF_Err> host_codes = {PF_Err_INTERNAL_STRUCT_DAMAGED, PF_Err_INVALID_INDEX,
                                        PF_Err_BAD_CALLBACK_PARAM, PF_Interrupt_CANCEL,
                                        PF_Err_CANNOT_PARSE_KEYFRAME_TEXT};

struct Suite_Name {
  const char* name;
  int32_t version;
};
const std::vector<Suite_Name> after_effects_suites = {{kPFHandleSuite, 2},
                                                      {kPFWorldSuite, 2},
                                                      {kPFColorParamSuite, 1},
                                                      {kPFParamUtilsSuite, 2},
                                                      {kAEGPUtilitySuite, 7}};
const std::vector<Suite_Name> premiere_suites = {{kPFHandleSuite, 2},
                                                 {kPFParamUtilsSuite, 2},
                                                 {kPFPixelFormatSuite, 1},
                                                 {kPFUtilitySuite, 4},
                                                 {kPrSDKAppInfoSuite, 2}};

class Host_Run {
 public:
  Host_Run(uint64_t seed, const Run_Options& options)
      : seed_(seed), options_(options), random_(seed) {}

  Run_Result run();

 private:
  void say(const std::string& text) {
    if (options_.verbose) {
      std::cout << "  " << text << std::endl;
    }
  }
  void fail(const std::string& text) {
    result_.failures.push_back("seed " + std::to_string(seed_) + ", command " +
                               std::to_string(result_.commands) + " (" + command_ + "): " + text);
  }

  Host_Identity choose_host();
  void set_parameters();
  void set_frame();
  void set_textures();
  void inject_fault();
  // The effect panel as a host runs it: contexts opened and closed, and events with data that
  // is plausible or hostile.
  void panel_session();
  void event();
  void arbitrary_data();
  // The host closes every context still open, as when the panel goes away.
  void close_contexts();
  // Handles the effect holds between commands: one state block for each open context.
  int64_t expected_live_handles() const;
  // Sends one command and checks everything after it; `valid` is false for a render the
  // effect must refuse.
  void command(const std::string& name, const std::function<PF_Err()>& send, PF_Err expected,
               bool render);
  void check_output();

  uint64_t seed_;
  Run_Options options_;
  Random random_;
  Run_Result result_;
  std::string command_;

  std::unique_ptr<Simulated_Host> host_;
  std::unique_ptr<Plugin_Driver> driver_;
  bool premiere_ = false;
  bool old_api_ = false;
  bool utils_present_ = true;
  PF_PixelFormat format_ = 0;
  PF_PixelFormat output_format_ = 0;
  int32_t bytes_ = 16;
  bool frame_valid_ = true;  // a render of this frame must succeed
  bool parameters_in_range_ = true;
  Pixels_Record pixels_;
  std::vector<World*> textures_;
  Fault fault_;
  // The event contexts of the panel; the effect keeps its state in their records.
  std::vector<std::unique_ptr<PF_ContextRecord>> contexts_;
};

Host_Identity Host_Run::choose_host() {
  const int64_t kind = random_.between(0, 19);
  if (kind < 13) {
    const std::vector<std::pair<A_short, A_short>> versions = {{13, 28}, {13, 28}, {13, 0},
                                                               {12, 5},  {18, 2},  {12, 4}};
    const auto version = random_.pick(versions);
    old_api_ = version.first == 12 && version.second < 5;
    return Host_Identity::after_effects(version.first, version.second);
  }
  if (kind < 19) {
    premiere_ = true;
    return Host_Identity::premiere(13, 4,
                                   {static_cast<uint32_t>(random_.between(12, 25)),
                                    static_cast<uint32_t>(random_.between(0, 5)), 0});
  }
  return Host_Identity::other(0x58585858, 13, 28);
}

void Host_Run::set_parameters() {
  sim::Parameter_Store& store = host_->parameters();
  const double change = random_.chance(0.2) ? 0.6 : 0.12;
  for (int32_t slot = 0; slot < store.size(); ++slot) {
    const PF_ParamDef& d = store.at(slot).definition;
    const std::string name = d.name;
    if (slot == 0) {  // the render mode: every run picks one
      const int32_t mode = static_cast<int32_t>(random_.between(0, d.u.pd.num_choices - 1));
      store.set_popup(Slot{slot}, mode);
      say("render mode " + std::to_string(mode));
      continue;
    }
    if (!random_.chance(change)) {
      continue;
    }
    bool in_range = true;
    std::ostringstream text;
    text << name << " = ";
    switch (d.param_type) {
      case PF_Param_FLOAT_SLIDER: {
        const double value = parameter_value(random_, d.u.fs_d.valid_min, d.u.fs_d.valid_max,
                                             d.u.fs_d.slider_min, d.u.fs_d.slider_max, in_range);
        store.set_float(Slot{slot}, value);
        // Settings where the curve itself is infinite: the output is what the formula gives.
        if ((name == "gamma correction" && value == 0.0) ||
            (name == "depth gain" && value == 1.0)) {
          in_range = false;
        }
        text << value;
        break;
      }
      case PF_Param_SLIDER: {
        // Counts of passes and samples: huge ones only make a run take hours.
        const int64_t limit_max =
            std::min<int64_t>(d.u.sd.valid_max, std::max<int64_t>(d.u.sd.slider_max, 32));
        int64_t value = random_.between(d.u.sd.slider_min, d.u.sd.slider_max);
        switch (random_.between(0, 5)) {
          case 0:
            value = random_.chance(0.5) ? d.u.sd.valid_min : limit_max;
            break;
          case 1:
            value = random_.chance(0.5) ? d.u.sd.valid_min - random_.between(1, 3)
                                        : limit_max + random_.between(1, 3);
            break;
          default:
            break;
        }
        const auto integer = static_cast<int32_t>(value);
        in_range = integer >= d.u.sd.valid_min && integer <= d.u.sd.valid_max;
        store.set_int(Slot{slot}, integer);
        text << integer;
        break;
      }
      case PF_Param_POPUP: {
        const auto index = static_cast<int32_t>(random_.between(0, d.u.pd.num_choices - 1));
        store.set_popup(Slot{slot}, index);
        text << "item " << index;
        break;
      }
      case PF_Param_CHECKBOX: {
        const bool value = random_.chance(0.5);
        store.set_checkbox(Slot{slot}, value);
        text << value;
        break;
      }
      case PF_Param_ANGLE: {
        const double degrees =
            random_.chance(0.8) ? random_.real(-720.0, 720.0) : random_.real(-32000.0, 32000.0);
        store.set_angle(Slot{slot}, degrees);
        text << degrees << " degrees";
        break;
      }
      case PF_Param_COLOR: {
        PF_PixelFloat colour{1.0f, 0.0f, 0.0f, 0.0f};
        for (float* channel : {&colour.red, &colour.green, &colour.blue}) {
          *channel = random_.chance(0.8) ? static_cast<float>(random_.real(0.0, 1.0))
                                         : static_cast<float>(random_.real(-2.0, 50.0));
          in_range = in_range && *channel >= 0.0f && *channel <= 1.0f;
        }
        store.set_color_float(Slot{slot}, colour);
        text << colour.red << " " << colour.green << " " << colour.blue;
        break;
      }
      case PF_Param_POINT: {
        const double x =
            random_.chance(0.8) ? random_.real(-100.0, 2100.0) : random_.real(-3e4, 3e4);
        const double y =
            random_.chance(0.8) ? random_.real(-100.0, 2100.0) : random_.real(-3e4, 3e4);
        store.set_point(Slot{slot}, x, y);
        text << x << ", " << y;
        break;
      }
      default:
        continue;
    }
    parameters_in_range_ = parameters_in_range_ && in_range;
    say(text.str() + (in_range ? "" : " (out of range)"));
  }
}

void Host_Run::set_frame() {
  const std::vector<PF_PixelFormat>& formats = premiere_ ? premiere_formats : after_effects_formats;
  format_ = random_.pick(formats);
  output_format_ = format_;
  const int64_t odd = random_.between(0, 49);
  if (odd == 0) {  // a format this host does not carry
    format_ = random_.pick(premiere_ ? after_effects_formats : premiere_formats);
    output_format_ = format_;
    frame_valid_ = false;
  } else if (odd == 1) {  // input and output differ
    output_format_ = random_.pick(formats);
    frame_valid_ = output_format_ == format_;
  }
  const int64_t size_kind = random_.between(0, 99);
  int32_t width = 0;
  int32_t height = 0;
  if (size_kind < 3) {
    width = static_cast<int32_t>(random_.between(0, 3));
    height = random_.chance(0.5) ? 0 : static_cast<int32_t>(random_.between(0, 3));
  } else if (size_kind < 75) {
    width = static_cast<int32_t>(random_.between(1, 40));
    height = static_cast<int32_t>(random_.between(1, 40));
  } else if (size_kind < 99) {
    width = static_cast<int32_t>(random_.between(1, 300));
    height = static_cast<int32_t>(random_.between(1, 300));
  } else {
    width = static_cast<int32_t>(random_.between(1, 2000));
    height = static_cast<int32_t>(random_.between(1, 2000));
  }
  driver_->set_output_format(output_format_);
  World& input = driver_->set_frame(width, height, format_);
  bytes_ = World::pixel_bytes(format_, premiere_);
  // Codes of the other host's formats can name one this host carries too.
  frame_valid_ = bytes_ > 0 && output_format_ == format_;
  const Content content = static_cast<Content>(random_.between(0, 4));
  pixels_ = fill_world(random_, input, bytes_ > 0 ? bytes_ : 16, content);
  say("frame " + std::to_string(width) + " x " + std::to_string(height) + ", format " +
      std::to_string(format_) +
      (output_format_ != format_ ? ", output format " + std::to_string(output_format_)
                                 : std::string()) +
      ", content " + std::to_string(static_cast<int>(content)));
}

void Host_Run::set_textures() {
  sim::Parameter_Store& store = host_->parameters();
  const double share = random_.chance(0.3) ? 0.5 : 0.1;
  for (int32_t slot = 0; slot < store.size(); ++slot) {
    if (store.at(slot).definition.param_type != PF_Param_LAYER || !random_.chance(share)) {
      continue;
    }
    const int32_t width = static_cast<int32_t>(random_.chance(0.1) ? 0 : random_.between(1, 80));
    const int32_t height = static_cast<int32_t>(random_.chance(0.1) ? 0 : random_.between(1, 80));
    PF_PixelFormat format = format_;
    if (random_.chance(0.1)) {
      format = random_.pick(premiere_ ? premiere_formats : after_effects_formats);
    }
    World& texture = driver_->set_texture(Slot{slot}, width, height, format);
    const int32_t bytes = World::pixel_bytes(format, premiere_);
    const Content content = static_cast<Content>(random_.between(0, 4));
    const Pixels_Record record = fill_world(random_, texture, bytes > 0 ? bytes : 16, content);
    if (format == format_) {  // textures in another format are left out of the render
      pixels_.finite = pixels_.finite && record.finite;
      pixels_.in_range = pixels_.in_range && record.in_range;
    }
    textures_.push_back(&texture);
    say(std::string("texture ") + store.at(slot).definition.name + " " + std::to_string(width) +
        " x " + std::to_string(height) + ", format " + std::to_string(format) + ", content " +
        std::to_string(static_cast<int>(content)));
  }
}

void Host_Run::inject_fault() {
  const int64_t kind = random_.between(0, 19);
  const int64_t at = random_.chance(0.5) ? random_.between(1, 8) : random_.between(1, 400);
  const int64_t times = random_.chance(0.7) ? 1 : -1;
  const auto at_call = [&](const char* function) { return host_->calls(function) + at; };
  std::ostringstream text;
  switch (kind) {
    case 0:
    case 1:
    case 2:
      host_->inject(sim::fn::abort, PF_Interrupt_CANCEL, at_call(sim::fn::abort), times);
      fault_ = {"abort at poll " + std::to_string(at), PF_Interrupt_CANCEL};
      break;
    case 3:
    case 4:
      host_->inject(sim::fn::suite_new_handle, 1, at_call(sim::fn::suite_new_handle), times);
      fault_ = {"allocation " + std::to_string(at) + " fails", PF_Err_OUT_OF_MEMORY};
      break;
    case 5:
      host_->inject(sim::fn::suite_lock_handle, 1, at_call(sim::fn::suite_lock_handle), times);
      fault_ = {"lock " + std::to_string(at) + " fails", PF_Err_OUT_OF_MEMORY};
      break;
    case 6:
    case 7:
    case 8: {
      const char* function = random_.pick(coded_callbacks);
      const PF_Err code = random_.pick(host_codes);
      host_->inject(function, code, at_call(function), times);
      // Any answer but 0 from the abort poll means the render is to stop.
      fault_ = {std::string(function) + " answers " + std::to_string(code) + " at call " +
                    std::to_string(at),
                function == sim::fn::abort ? PF_Interrupt_CANCEL : code};
      break;
    }
    case 9:
    case 10: {
      const char* function = random_.pick(std::vector<const char*>{
          sim::fn::checkout_layer, sim::fn::checkout_layer_pixels, sim::fn::checkout_output});
      const PF_Err code = random_.pick(host_codes);
      driver_->inject(function, code, driver_->calls(function) + at, times);
      fault_ = {std::string(function) + " answers " + std::to_string(code) + " at call " +
                    std::to_string(at),
                code};
      break;
    }
    case 12:
    case 13: {
      // The handles of the utility callbacks, which hold the event contexts' state.
      // Only the panel's events use them, a few calls a run.
      const char* function = kind == 12 ? sim::fn::new_handle : sim::fn::lock_handle;
      const int64_t early = random_.between(1, 4);
      host_->inject(function, 1, host_->calls(function) + early, times);
      fault_ = {std::string(function) + " fails at call " + std::to_string(early),
                PF_Err_OUT_OF_MEMORY};
      break;
    }
    case 11: {
      const Suite_Name suite = random_.pick(premiere_ ? premiere_suites : after_effects_suites);
      const int64_t how = random_.between(0, 3);
      if (how == 0) {
        host_->remove_suite(suite.name, suite.version);
      } else if (how == 1) {
        host_->null_suite(suite.name, suite.version);
      } else if (how == 2) {
        host_->fail_suite(suite.name, suite.version, kSPOutOfMemoryError);
      } else {
        host_->fail_suite(suite.name, suite.version, kSPBadParameterError);
      }
      fault_ = {std::string(suite.name) + " " + std::to_string(how),
                how == 2 ? PF_Err_OUT_OF_MEMORY : PF_Err_INTERNAL_STRUCT_DAMAGED};
      break;
    }
    default:
      break;
  }
  if (fault_.answer != PF_Err_NONE) {
    say("fault: " + fault_.description + (times < 0 ? " and after" : ""));
  }
}

void Host_Run::command(const std::string& name, const std::function<PF_Err()>& send,
                       PF_Err expected, bool render) {
  command_ = name;
  ++result_.commands;
  const uint64_t input_before = checksum(driver_->input_if_set());
  std::vector<uint64_t> textures_before;
  for (const World* texture : textures_) {
    textures_before.push_back(checksum(texture));
  }
  const PF_Err answer = send();
  say(name + " -> " + std::to_string(answer));
  if (answer == Plugin_Driver::escaped || driver_->escaped_exceptions() != 0) {
    fail("an exception left the library");
  }
  std::set<PF_Err> allowed = {expected};
  if (fault_.answer != PF_Err_NONE) {
    allowed.insert(fault_.answer);
    allowed.insert(PF_Err_NONE);  // the fault may not be reached, or be only a warning
  }
  if (allowed.count(answer) == 0) {
    fail("answered " + std::to_string(answer) + ", expected " + std::to_string(expected) +
         (fault_.answer != PF_Err_NONE ? " or " + std::to_string(fault_.answer) : std::string()));
  }
  const std::string imbalance = host_->imbalance();
  if (!imbalance.empty()) {
    fail("the host's books do not balance: " + imbalance);
  }
  if (host_->live_handles() != expected_live_handles()) {
    fail(std::to_string(host_->live_handles()) + " host handles live, " +
         std::to_string(expected_live_handles()) + " held for open event contexts");
  }
  if (checksum(driver_->input_if_set()) != input_before) {
    fail("the input world was written");
  }
  for (size_t k = 0; k < textures_.size(); ++k) {
    if (checksum(textures_[k]) != textures_before[k]) {
      fail("a texture world was written");
    }
  }
  if (render) {
    if (!driver_->output().padding_is(padding_mark)) {
      fail("the padding after an output row was written");
    }
    if (answer == PF_Err_NONE) {
      check_output();
    }
  }
}

void Host_Run::check_output() {
  if (!parameters_in_range_ || output_format_ != format_) {
    return;
  }
  World& output = driver_->output();
  const int32_t bytes = World::pixel_bytes(output_format_, premiere_);
  const bool float_output = bytes == 16;
  const bool deep_output = bytes == 8;
  if (!(float_output && pixels_.finite) && !(deep_output && pixels_.in_range)) {
    return;
  }
  // The surface colour view adds the frame's colour to the surface colour in additive mix:
  // there 16-bit channels above white are what the view defines.
  const sim::Parameter_Store& store = host_->parameters();
  const bool above_white_defined =
      lumbrix::current_item(store, store.slot("render mode")) == "surface color" &&
      store.at(store.slot("additive mix")).value.bd.value != 0;
  const PF_EffectWorld* w = output.get();
  for (int32_t y = 0; y < w->height; ++y) {
    const auto* row = static_cast<const uint8_t*>(w->data) + static_cast<int64_t>(y) * w->rowbytes;
    for (int32_t k = 0; k < w->width * 4; ++k) {
      if (float_output) {
        float value;
        std::memcpy(&value, row + k * 4, 4);
        if (!std::isfinite(value)) {
          fail("output channel " + std::to_string(k % 4) + " of pixel (" + std::to_string(k / 4) +
               ", " + std::to_string(y) + ") is " + std::to_string(value) + " from finite input");
          return;
        }
      } else if (!above_white_defined) {
        uint16_t value;
        std::memcpy(&value, row + k * 2, 2);
        if (value > 32768) {
          fail("16-bit output channel " + std::to_string(k % 4) + " of pixel (" +
               std::to_string(k / 4) + ", " + std::to_string(y) + ") is " + std::to_string(value) +
               " from input in range");
          return;
        }
      }
    }
  }
}

// ---- The effect panel ------------------------------------------------------------------------

int64_t Host_Run::expected_live_handles() const {
  return std::count_if(contexts_.begin(), contexts_.end(),
                       [](const auto& context) { return context->effect_stateH != nullptr; });
}

void Host_Run::panel_session() {
  if (contexts_.empty()) {
    // One to three panels: mostly effect-controls windows, some of another kind.
    const int64_t count = random_.between(1, 3);
    for (int64_t k = 0; k < count; ++k) {
      auto context = std::make_unique<PF_ContextRecord>();
      context->magic = static_cast<A_long>(random_.bits());
      context->w_type =
          random_.chance(0.8) ? PF_Window_EFFECT : static_cast<A_long>(random_.between(-1, 9));
      contexts_.push_back(std::move(context));
    }
  }
  const int64_t events = random_.between(1, 6);
  for (int64_t k = 0; k < events; ++k) {
    if (random_.chance(0.15)) {
      arbitrary_data();
    } else {
      event();
    }
  }
}

void Host_Run::event() {
  const int64_t which = random_.between(0, static_cast<int64_t>(contexts_.size()) - 1);
  PF_ContextRecord* context = random_.chance(0.05) ? nullptr : contexts_[which].get();
  A_long type = 0;
  const int64_t kind = random_.between(0, 19);
  if (kind < 6) {
    type = PF_Event_NEW_CONTEXT;
  } else if (kind < 10) {
    type = PF_Event_CLOSE_CONTEXT;
  } else if (kind < 17) {
    type = static_cast<A_long>(random_.between(1, 9));
  } else {  // no event type the interface knows
    type = random_.pick(std::vector<A_long>{-1, 10, 11, 255, 100000, INT32_MIN, INT32_MAX,
                                            static_cast<A_long>(random_.bits())});
  }

  PF_EventExtra extra{};
  extra.contextH = context;
  extra.e_type = type;
  // Whatever the host's union holds, and a control the effect never registered.
  for (size_t k = 0; k < sizeof extra.u; k += sizeof(uint64_t)) {
    const uint64_t bits = random_.bits();
    std::memcpy(reinterpret_cast<std::byte*>(&extra.u) + k, &bits,
                std::min(sizeof bits, sizeof extra.u - k));
  }
  extra.effect_win.area =
      random_.chance(0.8) ? PF_EA_CONTROL : static_cast<A_long>(random_.between(-1, 5));
  extra.effect_win.index = static_cast<PF_ParamIndex>(random_.between(-2, 100));
  extra.effect_win.refconPV = random_.chance(0.3)
                                  ? nullptr
                                  : reinterpret_cast<void*>(static_cast<uintptr_t>(random_.bits()));
  extra.draw_origin = {static_cast<A_long>(random_.between(-40000, 40000)),
                       static_cast<A_long>(random_.between(-40000, 40000))};
  extra.evt_out_flags = static_cast<A_long>(random_.bits());
  const bool without_record = random_.chance(0.03);

  // The effect declares no custom control: events that must find one fail its assertion, and
  // opening a context needs the context and the host's handles.
  PF_Err expected = PF_Err_NONE;
  if (without_record) {
    expected = PF_Err_INTERNAL_STRUCT_DAMAGED;
  } else if (type == PF_Event_NEW_CONTEXT) {
    expected = context != nullptr && utils_present_ ? PF_Err_NONE : PF_Err_INTERNAL_STRUCT_DAMAGED;
  } else if (type == PF_Event_DO_CLICK || type == PF_Event_DRAG || type == PF_Event_DRAW ||
             type == PF_Event_ADJUST_CURSOR) {
    expected = PF_Err_INTERNAL_STRUCT_DAMAGED;
  }
  command(
      "event " + std::to_string(type) + (context == nullptr ? " without a context" : "") +
          (without_record ? " without its record" : ""),
      [&] {
        const PF_Err answer = driver_->send(PF_Cmd_EVENT, without_record ? nullptr : &extra);
        if (type == PF_Event_CLOSE_CONTEXT && context != nullptr && !without_record) {
          // The host lets go of a closed context whatever the effect answered: what the effect
          // left in it is lost, and shows in the books.
          context->effect_stateH = nullptr;
        }
        return answer;
      },
      expected, false);
}

void Host_Run::arbitrary_data() {
  PF_ArbParamsExtra extra{};
  extra.which_function = random_.chance(0.8) ? static_cast<A_long>(random_.between(0, 10))
                                             : static_cast<A_long>(random_.bits());
  extra.id = static_cast<A_short>(random_.between(-5, 100));
  for (size_t k = 0; k < sizeof extra.u; k += sizeof(uint64_t)) {
    const uint64_t bits = random_.bits();
    std::memcpy(reinterpret_cast<std::byte*>(&extra.u) + k, &bits,
                std::min(sizeof bits, sizeof extra.u - k));
  }
  const bool without_record = random_.chance(0.05);
  // No control of the effect owns arbitrary data: every request fails the control's lookup.
  command(
      "arbitrary data " + std::to_string(extra.which_function) +
          (without_record ? " without its record" : ""),
      [&] { return driver_->send(PF_Cmd_ARBITRARY_CALLBACK, without_record ? nullptr : &extra); },
      PF_Err_INTERNAL_STRUCT_DAMAGED, false);
}

void Host_Run::close_contexts() {
  for (size_t k = 0; k < contexts_.size(); ++k) {
    if (contexts_[k]->effect_stateH == nullptr) {
      continue;
    }
    PF_EventExtra extra{};
    extra.contextH = contexts_[k].get();
    extra.e_type = PF_Event_CLOSE_CONTEXT;
    command(
        "closing the panel",
        [&] {
          const PF_Err answer = driver_->send(PF_Cmd_EVENT, &extra);
          contexts_[k]->effect_stateH = nullptr;
          return answer;
        },
        PF_Err_NONE, false);
  }
}

Run_Result Host_Run::run() {
  const Host_Identity identity = choose_host();
  host_ = std::make_unique<Simulated_Host>(identity);
  // Mostly few threads: every parallel loop of the simulated host starts threads of its own.
  const int64_t threads = random_.between(0, 9);
  host_->set_thread_count(static_cast<int32_t>(
      threads < 4 ? 1 : (threads < 8 ? random_.between(2, 4) : random_.between(5, 16))));
  if (random_.chance(0.2)) {
    const std::vector<A_u_long> factors = {1, 2, 3, 4, 8};
    host_->set_downsample(1, random_.pick(factors), 1, random_.pick(factors));
  }
  if (random_.chance(0.05)) {
    host_->set_register_ui_present(false);
  }
  if (random_.chance(0.03)) {
    utils_present_ = false;
    host_->set_utils_present(false);
  }
  say(std::string(premiere_ ? "Premiere Pro" : "After Effects") + " api " +
      std::to_string(identity.api_major) + "." + std::to_string(identity.api_minor) + ", app id " +
      std::to_string(identity.appl_id));
  driver_ = std::make_unique<Plugin_Driver>(*host_, options_.library);
  driver_->fill_output_padding(padding_mark);

  command(
      "global set-up", [&] { return driver_->global_setup(); }, PF_Err_NONE, false);
  command(
      "parameter set-up", [&] { return driver_->params_setup(); }, PF_Err_NONE, false);
  set_parameters();
  set_frame();
  set_textures();
  inject_fault();

  const int64_t commands = random_.between(1, 5);
  for (int64_t k = 0; k < commands; ++k) {
    switch (random_.between(0, 11)) {
      case 0:
      case 1:
      case 2:
      case 3:
        command(
            "smart pre-render", [&] { return driver_->smart_pre_render(); }, PF_Err_NONE, false);
        command(
            "smart render", [&] { return driver_->smart_render(); },
            frame_valid_ ? PF_Err_NONE : PF_Err_INTERNAL_STRUCT_DAMAGED, true);
        break;
      case 4:
      case 5:
      case 6:
        command(
            "render", [&] { return driver_->render(); },
            frame_valid_ && !old_api_ ? PF_Err_NONE : PF_Err_INTERNAL_STRUCT_DAMAGED, true);
        break;
      case 7:
        command(
            "update parameter UI", [&] { return driver_->update_params_ui(); }, PF_Err_NONE, false);
        break;
      case 8: {
        const auto index = static_cast<PF_ParamIndex>(random_.between(0, 96));
        command(
            "user changed parameter " + std::to_string(index),
            [&] { return driver_->user_changed_param(index); }, PF_Err_NONE, false);
        break;
      }
      case 10:
      case 11:
        panel_session();
        break;
      default:
        if (random_.chance(0.5)) {
          command(
              "about", [&] { return driver_->about(); },
              utils_present_ ? PF_Err_NONE : PF_Err_INTERNAL_STRUCT_DAMAGED, false);
        } else {
          command(
              "dynamic flags", [&] { return driver_->query_dynamic_flags(); }, PF_Err_NONE, false);
        }
        break;
    }
  }
  close_contexts();
  driver_.reset();
  host_.reset();
  return result_;
}

}  // namespace

Run_Result run_seed(uint64_t seed, const Run_Options& options) {
  if (options.verbose) {
    std::cout << "seed " << seed << "\n";
  }
  return Host_Run(seed, options).run();
}

}  // namespace brel::fuzz

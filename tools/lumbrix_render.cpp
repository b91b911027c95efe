// lumbrix-render: renders image files, or the built-in demo scene, through the Lumbrix plug-in
// library, driving it through the simulated host exactly as a host would.

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/after_effects/helper/ae_exception.h"
#include "demo_scene.h"
#include "frame_io.h"
#include "image_io.h"
#include "options.h"
#include "param_setting.h"
#include "plugin_driver.h"
#include "simulated_host.h"

namespace {

namespace fs = std::filesystem;
using brel::sim::Host_Identity;
using brel::sim::Plugin_Driver;
using brel::sim::Simulated_Host;
using lumbrix::Image;
using lumbrix::Options;
using lumbrix::Usage_Error;

constexpr const char* program = "lumbrix-render";

// A failure of the render itself, after the input was accepted.
class Render_Error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Where the plug-in reads its log switch: the log is written only when this file exists.
fs::path log_file_in(const fs::path& home) {
  return home / "tarvolen" / "lumbrix_ae.log";
}

std::string tail_of(const fs::path& file, size_t lines) {
  std::ifstream in(file);
  std::deque<std::string> last;
  for (std::string line; std::getline(in, line);) {
    last.push_back(line);
    if (last.size() > lines) {
      last.pop_front();
    }
  }
  std::string text;
  for (const std::string& line : last) {
    text += "  " + line + "\n";
  }
  return text;
}

// Timing reports begin with two empty lines and a header naming the duration column.
std::string last_timing_report(const fs::path& file) {
  std::ifstream in(file);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) {
    lines.push_back(line);
  }
  size_t start = lines.size();
  for (size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].find("duration (s)") != std::string::npos) {
      start = i;
    }
  }
  std::string text;
  for (size_t i = start; i < lines.size(); ++i) {
    text += lines[i] + "\n";
  }
  return text;
}

// Shows how far a render is: parallel passes begun and rows polled on the host's own thread
// (the thread that asks the host whether to abort, once a row).
class Progress {
 public:
  // Live updates go to a terminal only; the summary line is written whenever `show` is set.
  Progress(Simulated_Host& host, bool show)
      : report_(show), show_(show && ::isatty(STDERR_FILENO) != 0) {
    host.set_call_observer([this](const std::string& function) {
      if (function == brel::sim::fn::iterate_generic) {
        ++passes_;
      } else if (function == brel::sim::fn::abort) {
        ++rows_;
      } else {
        return;
      }
      if (show_) {
        print(false);
      }
    });
  }

  void finish(double seconds) {
    if (show_) {
      print(true);
      std::fprintf(stderr, "\n");
    }
    if (!report_) {
      return;
    }
    std::fprintf(stderr,
                 "%s: rendered in %.3f s (%lld parallel passes, %lld rows on the host thread)\n",
                 program, seconds, static_cast<long long>(passes_.load()),
                 static_cast<long long>(rows_.load()));
  }

 private:
  void print(bool always) {
    const auto now = std::chrono::steady_clock::now();
    std::lock_guard lock(mutex_);
    if (!always && now - last_ < std::chrono::milliseconds(100)) {
      return;
    }
    last_ = now;
    std::fprintf(stderr, "\r%s: %lld parallel passes, %lld rows on the host thread", program,
                 static_cast<long long>(passes_.load()), static_cast<long long>(rows_.load()));
  }

  const bool report_;
  const bool show_;
  std::atomic<int64_t> passes_{0};
  std::atomic<int64_t> rows_{0};
  std::mutex mutex_;
  std::chrono::steady_clock::time_point last_{};
};

// Sets the home folder for this process and the plug-in loaded into it.
class Home_Override {
 public:
  explicit Home_Override(const fs::path& home) {
    const char* old = std::getenv("HOME");
    had_ = old != nullptr;
    if (had_) {
      old_ = old;
    }
    ::setenv("HOME", home.c_str(), 1);
  }
  ~Home_Override() {
    if (had_) {
      ::setenv("HOME", old_.c_str(), 1);
    } else {
      ::unsetenv("HOME");
    }
  }

 private:
  bool had_ = false;
  std::string old_;
};

void check(PF_Err err, const std::string& command, const fs::path& log_file) {
  if (err == PF_Err_NONE) {
    return;
  }
  std::string text = "the plug-in answered " + command + " with ";
  if (err == Plugin_Driver::escaped) {
    text += "an exception that escaped it";
  } else {
    text += brel::pf_err_name(err) + " (" + std::to_string(err) + ")";
  }
  if (fs::exists(log_file)) {
    text += "; the log's last lines:\n" + tail_of(log_file, 12);
  }
  throw Render_Error(text);
}

std::string plugin_path() {
  if (const char* path = std::getenv("LUMBRIX_PLUGIN"); path != nullptr && *path != '\0') {
    return path;
  }
  // Installed beside the renderer, or where the build puts it.
  std::error_code ignored;
  const fs::path self = fs::read_symlink("/proc/self/exe", ignored);
  for (const fs::path& candidate :
       {self.parent_path() / "liblumbrix.so", self.parent_path() / "../src/liblumbrix.so"}) {
    if (fs::exists(candidate)) {
      return candidate.string();
    }
  }
  return LUMBRIX_DEFAULT_PLUGIN_PATH;
}

// The demo scene's settings: the whole effect, with both lights casting shadows, reflections
// and illumination from the environment, and the background refracted through a partly
// transparent surface with caustics.
const std::vector<std::pair<std::string, std::string>> demo_settings = {
    {"render mode", "all"},
    {"depth factor", "40"},
    {"pre blur iterations", "2"},
    {"discontinuity detection", "on"},
    {"direct light/light intensity", "0.7"},
    {"point light/light intensity", "0.5"},
    {"glossiness", "0.4"},
    {"reflection amount", "0.2"},
    {"illumination amount", "0.2"},
    {"surface tint amount", "0.8"},
    {"transparency", "0.35"},
    {"refraction", "1.3"},
    {"caustix", "0.6"},
};

int run(const Options& options) {
  const auto start = std::chrono::steady_clock::now();

  // Inputs first, so a bad file is refused before anything is loaded.
  Image input;
  std::vector<std::pair<std::string, Image>> textures;
  std::vector<std::pair<std::string, std::string>> settings;
  if (options.input.empty()) {
    lumbrix::Demo_Scene scene = lumbrix::make_demo_scene(options.demo_width, options.demo_height);
    input = std::move(scene.depth_pass);
    textures.emplace_back("surface color texture", std::move(scene.surface));
    textures.emplace_back("environmental layer", std::move(scene.environment));
    textures.emplace_back("background", std::move(scene.background));
    settings = demo_settings;
  } else {
    input = lumbrix::read_image(options.input);
  }
  for (const auto& [name, file] : options.layers) {
    textures.emplace_back(name, lumbrix::read_image(file));
  }
  settings.insert(settings.end(), options.settings.begin(), options.settings.end());
  if (!options.list_params) {
    lumbrix::image_format_of(options.output);  // refuse an unknown format before rendering
  }
  if (input.width > 32767 || input.height > 32767) {
    throw Usage_Error("the input is larger than a host frame can be (32767 pixels a side)");
  }

  // With --timing the plug-in logs into a folder of our own, where its timing report is read.
  fs::path timing_home;
  std::unique_ptr<Home_Override> home;
  if (options.timing) {
    timing_home = fs::temp_directory_path() / ("lumbrix-render-" + std::to_string(::getpid()));
    fs::create_directories(timing_home / "tarvolen");
    std::ofstream(log_file_in(timing_home)).flush();
    home = std::make_unique<Home_Override>(timing_home);
  }
  const char* home_text = std::getenv("HOME");
  const fs::path log_file = log_file_in(home_text != nullptr ? home_text : "");

  struct Cleanup {
    fs::path folder;
    ~Cleanup() {
      if (!folder.empty()) {
        std::error_code ignored;
        fs::remove_all(folder, ignored);
      }
    }
  } cleanup{timing_home};

  Simulated_Host host(options.host == lumbrix::Host_Kind::after_effects
                          ? Host_Identity::after_effects()
                          : Host_Identity::premiere());
  const int64_t threads = options.threads > 0
                              ? options.threads
                              : std::max<int64_t>(1, std::thread::hardware_concurrency());
  host.set_thread_count(static_cast<int32_t>(threads));
  Progress progress(host, options.progress && !options.list_params);

  std::unique_ptr<Plugin_Driver> driver;
  try {
    driver = std::make_unique<Plugin_Driver>(host, plugin_path());
  } catch (const std::exception& e) {
    throw Render_Error(std::string("cannot load the plug-in: ") + e.what());
  }
  check(driver->global_setup(), "global set-up", log_file);
  check(driver->params_setup(), "parameter set-up", log_file);

  if (options.list_params) {
    std::cout << lumbrix::describe_parameters(host.parameters());
    return 0;
  }

  for (const auto& [key, value] : settings) {
    lumbrix::apply_setting(host.parameters(), key, value);
  }

  const PF_PixelFormat format =
      lumbrix::pixel_format_for(options.host, options.bits, options.order);
  brel::sim::World& frame = driver->set_frame(static_cast<int32_t>(input.width),
                                              static_cast<int32_t>(input.height), format);
  lumbrix::fill_world(*frame.get(), options.bits, options.order, input);
  for (const auto& [name, image] : textures) {
    const int32_t slot = lumbrix::find_slot(host.parameters(), name);
    if (host.parameters().at(slot).definition.param_type != PF_Param_LAYER) {
      throw Usage_Error("\"" + name + "\" is not a layer parameter");
    }
    brel::sim::World& world =
        driver->set_texture(brel::sim::Slot{slot}, static_cast<int32_t>(image.width),
                            static_cast<int32_t>(image.height));
    lumbrix::fill_world(*world.get(), options.bits, options.order, image);
  }

  if (options.classic_render) {
    check(driver->render(), "the render", log_file);
  } else {
    check(driver->smart_pre_render(), "the smart pre-render", log_file);
    check(driver->smart_render(), "the smart render", log_file);
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  progress.finish(seconds);

  Image result = lumbrix::read_world(*driver->output().get(), options.bits, options.order);
  if (lumbrix::image_format_of(options.output) == lumbrix::Image_Format::png) {
    result.bits = options.bits == 8 ? 8 : 16;
  } else {
    result.bits = 32;
  }
  lumbrix::write_image(options.output, result);

  if (options.timing) {
    std::cout << last_timing_report(log_file_in(timing_home));
  }
  const std::string imbalance = host.imbalance();
  if (!imbalance.empty()) {
    std::fprintf(stderr, "%s: warning: the plug-in did not give back everything:\n%s", program,
                 imbalance.c_str());
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    const Options options = lumbrix::parse_options(std::vector<std::string>(argv + 1, argv + argc));
    return run(options);
  } catch (const Usage_Error& e) {
    if (std::string(e.what()).empty()) {
      std::cout << lumbrix::usage_text();
      return 0;
    }
    std::fprintf(stderr, "%s: %s\n", program, e.what());
    return 2;
  } catch (const lumbrix::Image_Error& e) {
    std::fprintf(stderr, "%s: %s\n", program, e.what());
    return 2;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s: %s\n", program, e.what());
    return 1;
  }
}

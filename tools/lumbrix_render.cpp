// lumbrix-render: renders image files, or the built-in demo scene, through the Lumbrix plug-in
// library, driving it through the simulated host exactly as a host would.

#include <sys/resource.h>
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

#include "demo_scene.h"
#include "frame_io.h"
#include "host_api.h"
#include "image_io.h"
#include "options.h"
#include "param_setting.h"
#include "plugin_driver.h"
#include "simulated_host.h"
#include "workers.h"

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

  // Ends the live line; the summary names each phase's wall time.
  void finish(double read, double render, double write, double total) {
    if (show_) {
      print(true);
      std::fprintf(stderr, "\n");
    }
    if (!report_) {
      return;
    }
    std::fprintf(stderr,
                 "%s: read %.3f s, render %.3f s (%lld parallel passes, %lld rows on the host "
                 "thread), write %.3f s, total %.3f s\n",
                 program, read, render, static_cast<long long>(passes_.load()),
                 static_cast<long long>(rows_.load()), write, total);
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
    text += PF_Err_name(err) + std::string(" (") + std::to_string(err) + ")";
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

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// The render needs more memory than the machine can give it.
class Memory_Error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Where one world's pixels come from: an image file, or one of the demo scene's images.
struct Layer_Source {
  std::string parameter;  // the layer parameter it is given to; empty for the effect's own
  std::unique_ptr<lumbrix::Image_Reader> file;
  lumbrix::Demo_Layer demo = lumbrix::Demo_Layer::depth_pass;
  lumbrix::Image_Layout layout;

  // Hands the next `count` rows, from `first` on, to `take` on the pool's workers.
  void read(lumbrix::Workers& pool, int64_t first, int64_t count,
            const lumbrix::Row_Sink& take) const {
    if (file) {
      file->read_rows(count, take);
      return;
    }
    const int64_t width = layout.width;
    pool.run(count, [&](int64_t index) {
      thread_local std::vector<float> rgba;  // one row of a worker's, kept for its next
      rgba.resize(static_cast<size_t>(width) * 4);
      lumbrix::demo_row(demo, width, layout.height, first + index, rgba.data());
      take(index, rgba.data());
    });
  }
};

Layer_Source open_layer(const std::string& parameter, const std::string& file,
                        lumbrix::Workers& pool) {
  Layer_Source source;
  source.parameter = parameter;
  source.file = lumbrix::open_image(file, &pool);
  source.layout = source.file->layout();
  if (source.layout.width > 32767 || source.layout.height > 32767) {
    throw Usage_Error(file + " is " + std::to_string(source.layout.width) + " x " +
                      std::to_string(source.layout.height) +
                      " pixels, larger than a host frame can be (32767 pixels a side)");
  }
  return source;
}

Layer_Source demo_layer(const std::string& parameter, lumbrix::Demo_Layer layer, int64_t width,
                        int64_t height) {
  Layer_Source source;
  source.parameter = parameter;
  source.demo = layer;
  source.layout.width = width;
  source.layout.height = height;
  return source;
}

// Streams a source into a world, each row converted on into the world by the worker that read
// it, so no whole-frame copy exists beside the world.
void fill_from(const Layer_Source& source, PF_EffectWorld& world, int bits,
               lumbrix::Channel_Order order, lumbrix::Workers& pool) {
  source.read(pool, 0, source.layout.height, [&](int64_t y, const float* rgba) {
    lumbrix::fill_world_rows(world, bits, order, y, 1, rgba);
  });
}

int64_t world_bytes(int64_t width, int64_t height, int bits) {
  return (width * lumbrix::world_pixel_bytes(bits) + 63) / 64 * 64 * height;
}

// One figure of /proc/self/status, in bytes; 0 when absent.
uint64_t own_status_bytes(const std::string& field) {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind(field + ":", 0) == 0) {
      return std::stoull(line.substr(field.size() + 1)) * 1024;
    }
  }
  return 0;
}

// Memory the process may still take: what the system has available, within what the process's
// own limits leave beside what it holds already.
uint64_t available_memory() {
  uint64_t available = UINT64_MAX;
  std::ifstream meminfo("/proc/meminfo");
  for (std::string line; std::getline(meminfo, line);) {
    if (line.rfind("MemAvailable:", 0) == 0) {
      available = std::stoull(line.substr(13)) * 1024;
    }
  }
  for (const auto& [resource, held] : {std::pair{RLIMIT_AS, "VmSize"}, {RLIMIT_DATA, "VmData"}}) {
    rlimit limit{};
    if (::getrlimit(resource, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
      const uint64_t used = own_status_bytes(held);
      available = std::min<uint64_t>(available, limit.rlim_cur > used ? limit.rlim_cur - used : 0);
    }
  }
  std::ifstream cgroup_max("/sys/fs/cgroup/memory.max");
  std::ifstream cgroup_current("/sys/fs/cgroup/memory.current");
  uint64_t max = 0, current = 0;
  if ((cgroup_max >> max) && (cgroup_current >> current) && max > current) {
    available = std::min(available, max - current);
  }
  return available;
}

std::string gibibytes(uint64_t bytes) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f GiB", static_cast<double>(bytes) / (1 << 30));
  return text;
}

// The effect's working layers at their peak, in float RGBA layers of the frame's size, for each
// render mode: the peak resident memory beside the worlds with every stage of the mode at work
// (both lights with soft shadows and translucency, caustics, refraction, occlusion, the
// environment lighting and reflecting in each gather mode), rounded up. The layers built from
// textures grow with them, so the layer size is that of the frame or of the largest texture.
// An unknown mode counts as the costliest.
double working_layers(const std::string& render_mode) {
  static const std::pair<const char*, double> peaks[] = {
      {"refraction only", 5.5}, {"caustix only", 4.5}, {"shadow only", 3.0},
      {"highlights only", 5.5}, {"normalmap", 1.25},   {"depthmap", 0.5},
      {"surface color", 0.5}};
  for (const auto& [mode, layers] : peaks) {
    if (render_mode == mode) {
      return layers;
    }
  }
  return 7.0;  // "all"
}
// Reading and writing bands, the encoders' pieces, thread stacks and the loaded libraries.
constexpr int64_t io_reserve = int64_t{64} << 20;

// Refuses, before any world is allocated, a render whose worlds and working layers cannot fit.
void check_memory(const Layer_Source& frame, const std::vector<Layer_Source>& textures, int bits,
                  const std::string& render_mode) {
  const int64_t width = frame.layout.width;
  const int64_t height = frame.layout.height;
  int64_t needed = 2 * world_bytes(width, height, bits);  // the input and the output
  int64_t layer_pixels = width * height;
  for (const Layer_Source& texture : textures) {
    needed += world_bytes(texture.layout.width, texture.layout.height, bits);
    layer_pixels = std::max(layer_pixels, texture.layout.width * texture.layout.height);
  }
  needed +=
      static_cast<int64_t>(working_layers(render_mode) * static_cast<double>(layer_pixels * 16)) +
      io_reserve;
  const uint64_t available = available_memory();
  if (static_cast<uint64_t>(needed) > available) {
    throw Memory_Error("a " + std::to_string(width) + " x " + std::to_string(height) + " \"" +
                       render_mode + "\" render needs about " + gibibytes(needed) +
                       " of memory, more than the " + gibibytes(available) + " available");
  }
}

// The controls the effect greys out with the settings as they are, by host index: the last
// word of its own enabling rules, as a host's panel shows them. A plug-in that fails the update
// greys out nothing; the render itself tells what is wrong with it.
std::vector<bool> greyed_out(Plugin_Driver& driver) {
  std::vector<bool> disabled(static_cast<size_t>(driver.host().parameters().size() + 1), false);
  if (driver.update_params_ui() != PF_Err_NONE) {
    return disabled;
  }
  for (const auto& call : driver.host().update_ui_calls()) {
    if (call.index >= 0 && static_cast<size_t>(call.index) < disabled.size()) {
      disabled[call.index] = (call.ui_flags & PF_PUI_DISABLED) != 0;
    }
  }
  return disabled;
}

int run(const Options& options, Clock::time_point start) {
  if (options.version) {
    std::cout << program << " " << LUMBRIX_VERSION << "\n";
    return 0;
  }
  if (!options.list_params) {
    lumbrix::check_writable(options.output);
  }
  const int64_t threads = options.threads > 0
                              ? options.threads
                              : std::max<int64_t>(1, std::thread::hardware_concurrency());
  lumbrix::Workers pool(threads);

  // Inputs first, headers only, so a bad file is refused before anything is loaded.
  Layer_Source frame;
  std::vector<Layer_Source> textures;
  std::vector<std::pair<std::string, std::string>> settings;
  if (options.input.empty()) {
    const int64_t w = options.demo_width, h = options.demo_height;
    frame = demo_layer("", lumbrix::Demo_Layer::depth_pass, w, h);
    textures.push_back(demo_layer("surface color texture", lumbrix::Demo_Layer::surface, w, h));
    textures.push_back(demo_layer("environmental layer", lumbrix::Demo_Layer::environment, w, h));
    textures.push_back(demo_layer("background", lumbrix::Demo_Layer::background, w, h));
    settings = lumbrix::demo_settings();
  } else if (!options.list_params) {
    frame = open_layer("", options.input, pool);
  }
  for (const auto& [name, file] : options.layers) {
    textures.push_back(open_layer(name, file, pool));
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
  host.set_thread_count(static_cast<int32_t>(threads));
  Progress progress(host, options.progress && !options.list_params);

  std::unique_ptr<Plugin_Driver> driver;
  try {
    driver = std::make_unique<Plugin_Driver>(host, plugin_path());
  } catch (const std::exception& e) {
    throw Render_Error(std::string("cannot load the plug-in: ") + e.what());
  }
  // Every world is written whole before it is read: the frame and textures here, the output
  // by the effect.
  driver->set_clear_worlds(false);
  check(driver->global_setup(), "global set-up", log_file);
  check(driver->params_setup(), "parameter set-up", log_file);

  if (options.list_params) {
    std::cout << lumbrix::describe_parameters(host.parameters());
    return 0;
  }

  settings.insert(settings.end(), options.settings.begin(), options.settings.end());
  for (const auto& [key, value] : settings) {
    lumbrix::apply_setting(host.parameters(), key, value, frame.layout.width, frame.layout.height);
  }
  std::vector<int32_t> texture_slots;
  for (const Layer_Source& texture : textures) {
    const int32_t slot = lumbrix::find_slot(host.parameters(), texture.parameter);
    if (host.parameters().at(slot).definition.param_type != PF_Param_LAYER) {
      throw Usage_Error("\"" + lumbrix::label_of(host.parameters(), slot) +
                        "\" is not a layer parameter");
    }
    texture_slots.push_back(slot);
  }
  check_memory(frame, textures, options.bits,
               lumbrix::current_item(host.parameters(),
                                     lumbrix::find_slot(host.parameters(), "render mode")));

  const auto read_start = Clock::now();
  const PF_PixelFormat format =
      lumbrix::pixel_format_for(options.host, options.bits, options.order);
  brel::sim::World& input = driver->set_frame(static_cast<int32_t>(frame.layout.width),
                                              static_cast<int32_t>(frame.layout.height), format);
  fill_from(frame, *input.get(), options.bits, options.order, pool);
  frame.file.reset();
  for (size_t i = 0; i < textures.size(); ++i) {
    brel::sim::World& world = driver->set_texture(brel::sim::Slot{texture_slots[i]},
                                                  static_cast<int32_t>(textures[i].layout.width),
                                                  static_cast<int32_t>(textures[i].layout.height));
    fill_from(textures[i], *world.get(), options.bits, options.order, pool);
    textures[i].file.reset();
  }
  const double read_seconds = seconds_since(read_start);

  // A setting the effect greys out changes nothing: say so rather than let it pass silently.
  const std::vector<bool> disabled = greyed_out(*driver);
  for (const auto& [key, value] : options.settings) {
    const int32_t slot = lumbrix::find_slot(host.parameters(), key);
    if (disabled[brel::sim::Parameter_Store::host_index(slot)]) {
      std::fprintf(stderr,
                   "%s: warning: \"%s\" is greyed out with these settings and changes nothing\n",
                   program, key.c_str());
    }
  }

  const auto render_start = Clock::now();
  if (options.classic_render) {
    check(driver->render(), "the render", log_file);
  } else {
    check(driver->smart_pre_render(), "the smart pre-render", log_file);
    check(driver->smart_render(), "the smart render", log_file);
  }
  const double render_seconds = seconds_since(render_start);

  const auto write_start = Clock::now();
  const PF_EffectWorld& output = *driver->output().get();
  lumbrix::Image_Layout layout = frame.layout;  // an EXR input's placement is kept
  layout.bits = lumbrix::image_format_of(options.output) == lumbrix::Image_Format::png
                    ? (options.bits == 8 ? 8 : 16)
                    : 32;
  lumbrix::write_image(
      options.output, layout,
      [&](int64_t y, float* rgba) {
        lumbrix::read_world_row(output, options.bits, options.order, y, rgba);
      },
      &pool, options.png_compression);
  const double write_seconds = seconds_since(write_start);
  progress.finish(read_seconds, render_seconds, write_seconds, seconds_since(start));

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
  const auto start = Clock::now();
  try {
    const Options options = lumbrix::parse_options(std::vector<std::string>(argv + 1, argv + argc));
    return run(options, start);
  } catch (const Usage_Error& e) {
    if (std::string(e.what()).empty()) {
      std::cout << lumbrix::usage_text();
      return 0;
    }
    std::fprintf(stderr, "%s: %s\n", program, e.what());
    return lumbrix::exit_usage;
  } catch (const lumbrix::Image_Error& e) {
    std::fprintf(stderr, "%s: %s\n", program, e.what());
    return lumbrix::exit_usage;
  } catch (const std::bad_alloc&) {
    std::fprintf(stderr, "%s: out of memory: the render needs more memory than there is\n",
                 program);
    return lumbrix::exit_render;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s: %s\n", program, e.what());
    return lumbrix::exit_render;
  }
}

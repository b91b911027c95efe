#pragma once

// Which host interface and which host application a command comes from, as the effect object
// sees it. The host adapter builds one per command (brel::ae::host_context); the effect's code
// asks it instead of looking at host records.

#include <cstdint>
#include <functional>
#include <string>

namespace brel {

// The plug-in interface the host speaks. Only one exists.
enum class Plugin_Api : int32_t {
  After_Effects = 0,
};

// The application behind the interface.
enum class Plugin_Host : int32_t {
  After_Effects = 0,
  Premiere_Pro = 1,
  Other = 4,
};

// Four services, in this order: the interface, the application, and the names under which the
// effect's input and output layers are known ("Source" and "Output"). Copyable memberwise.
struct Host_Context {
  std::function<Plugin_Api()> plugin_api;
  std::function<Plugin_Host()> plugin_host;
  std::function<std::string()> input_layer_name;
  std::function<std::string()> output_layer_name;
};

}  // namespace brel

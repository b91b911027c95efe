#pragma once

// What the effect says about itself: its name, version and about string. Built anew for every
// host command.

#include <cstdint>
#include <string>

namespace brel {

struct Plugin_Description {
  std::string name;
  std::string category;
  std::string name_suffix;  // always empty
  uint32_t major = 0;
  uint32_t minor = 0;
  uint32_t bug_fix = 0;
  uint32_t stage = 0;  // 0 pre-alpha, 1 alpha, 2 beta, 3 release
  std::string about;
  std::string last_text;
};

// The record with an empty name suffix.
Plugin_Description build_plugin_description(const std::string& name, const std::string& category,
                                            uint32_t major, uint32_t minor, uint32_t bug_fix,
                                            uint32_t stage, const std::string& about,
                                            const std::string& last_text);

}  // namespace brel

#pragma once

// The texts that tell the user and the support desk what runs: the about text, the environment
// report written at global set-up, and the timing report written at the end of a render command.

#include <string>

#include "base/plugin_description.h"

namespace brel {

class Timing_Table;

// Name and version, the about string, the build date (and, before release, the build time).
std::string make_about_text(const Plugin_Description& description);

// Seven lines to the global log: host, effect, installation folder, processors, system.
void write_environment_report(const std::string& host_version_line,
                              const Plugin_Description& description);

// Writes the command's timing report to the global log when it goes out of scope, whether the
// render returned or threw. Nothing escapes its destructor.
class Timing_Report_Guard {
 public:
  explicit Timing_Report_Guard(Timing_Table* timing_table) : timing_table_(timing_table) {}
  ~Timing_Report_Guard();
  Timing_Report_Guard(const Timing_Report_Guard&) = delete;
  Timing_Report_Guard& operator=(const Timing_Report_Guard&) = delete;

 private:
  Timing_Table* timing_table_;
};

}  // namespace brel

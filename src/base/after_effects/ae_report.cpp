#include "base/after_effects/ae_report.h"

#include "base/log.h"
#include "base/system_dependencies.h"
#include "base/timing_table.h"

namespace brel {
namespace {

const char* stage_suffix(uint32_t stage) {
  switch (stage) {
    case 0:
      return " - pre alpha";
    case 1:
      return " - alpha";
    case 2:
      return " - beta";
    default:
      return "";
  }
}

std::string version_text(const Plugin_Description& description) {
  return std::to_string(description.major) + "." + std::to_string(description.minor) + "." +
         std::to_string(description.bug_fix);
}

}  // namespace

Plugin_Description build_plugin_description(const std::string& name, const std::string& category,
                                            uint32_t major, uint32_t minor, uint32_t bug_fix,
                                            uint32_t stage, const std::string& about,
                                            const std::string& last_text) {
  Plugin_Description description;
  description.name = name;
  description.category = category;
  description.major = major;
  description.minor = minor;
  description.bug_fix = bug_fix;
  description.stage = stage;
  description.about = about;
  description.last_text = last_text;
  return description;
}

std::string make_about_text(const Plugin_Description& description) {
  std::string text = description.name + " - V" + version_text(description) +
                     stage_suffix(description.stage) + "\n";
  if (!description.about.empty()) {
    text += description.about + "\n";
  }
  text += std::string("build date: ") + __DATE__ + "\n";
  if (description.stage != 3) {
    text += std::string("build date: ") + __DATE__ + " - " + __TIME__;
  }
  return text;
}

void write_environment_report(const std::string& host_version_line,
                              const Plugin_Description& description) {
  Log& log = global_log();
  log.write("*** Environment Information ***\n", Log::information);
  log.write("    Plugin Host: " + host_version_line + "\n", Log::information);
  log.write("    Plugin: " + description.name + " " + version_text(description) + "\n",
            Log::information);
  log.write("    Installation folder: " + module_folder() + "\n", Log::information);
  log.write("    Cpu Count: " + std::to_string(cpu_count(0)) + "\n", Log::information);
  log.write("    Operating System: " + os_name() + "\n", Log::information);
  log.write("----------------------------------\n", Log::information);
}

Timing_Report_Guard::~Timing_Report_Guard() {
  // A report that cannot be built or written is dropped: the render's result matters more.
  try {
    global_log().write(timing_table_->report() + "\n", Log::information);
  } catch (...) {
  }
}

}  // namespace brel

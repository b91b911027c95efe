#pragma once

// The process-wide diagnostic log. It writes to "<base path>.log" only when that file already
// exists (a user switches logging on by creating it), keeps the most recent messages in memory,
// and turns them into a crash report when an unexpected exception escapes.

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <deque>
#include <mutex>
#include <sstream>
#include <string>

namespace brel {

class Log {
 public:
  enum Level : int32_t { information = 1, warning = 2, error = 3 };

  static constexpr int64_t default_message_limit = 2000;

  Log();
  ~Log();
  Log(const Log&) = delete;
  Log& operator=(const Log&) = delete;

  // Writes one message exactly as given (callers end it with "\n" and add the prefix of a
  // warning or an error themselves). The level does not change what is written.
  void write(const std::ostringstream& message, int32_t level);
  void write(const std::string& message, int32_t level);

  // True while timing is worth measuring: the verbose switch is on or the log file is open.
  bool is_enabled() const;

  void set_base_path(const std::string& path);
  std::string base_path() const;
  void set_verbose(bool verbose);
  void set_echo(bool echo);

  std::string log_file_name() const;
  // The crash report's name for the current local time.
  std::string crash_file_name() const;
  // The crash report's name for the given local time: base path + "(year_month_day-hour_minute_
  // second).crash", no number padded.
  std::string crash_file_name(const std::tm& local_time) const;
  // Writes the kept messages into the crash report (opening it on the first call) and
  // returns the name made for the current time.
  std::string write_crash_file();

  // The messages the ring holds now, oldest first.
  std::deque<std::string> recent_messages() const;

 private:
  void open_if_exists();    // the probe; caller holds the mutex
  void flush_crash_file();  // moves the ring into the crash file; caller holds the mutex

  // The base path is a string, so it is guarded by its own mutex rather than the log mutex:
  // readers never wait on a file write.
  mutable std::mutex path_mutex_;
  std::string base_path_;
  std::FILE* log_file_ = nullptr;
  std::FILE* crash_file_ = nullptr;
  std::atomic<bool> verbose_{false};
  std::atomic<bool> echo_{false};
  std::atomic<bool> log_file_open_{false};
  mutable std::mutex mutex_;
  int64_t message_limit_ = default_message_limit;  // negative: keep every message
  std::deque<std::string> ring_;
};

// The one log of the process, made on first use.
Log& global_log();

}  // namespace brel

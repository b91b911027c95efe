#include "base/log.h"

#include <ctime>

namespace brel {

Log::Log() {
  std::lock_guard lock(mutex_);
  open_if_exists();
}

Log::~Log() {
  std::lock_guard lock(mutex_);
  if (log_file_ != nullptr) {
    std::fclose(log_file_);
    log_file_ = nullptr;
  }
  if (crash_file_ != nullptr) {
    std::fclose(crash_file_);
    crash_file_ = nullptr;
  }
}

void Log::open_if_exists() {
  if (log_file_ != nullptr) {
    return;
  }
  const std::string name = log_file_name();
  std::FILE* probe = std::fopen(name.c_str(), "r");
  if (probe == nullptr) {
    return;  // no log file: nothing is created
  }
  std::fclose(probe);
  // A failed open leaves the handle empty; the next probe tries again.
  log_file_ = std::fopen(name.c_str(), "a+");
  log_file_open_.store(log_file_ != nullptr, std::memory_order_release);
}

void Log::write(const std::ostringstream& message, int32_t level) {
  write(message.str(), level);
}

void Log::write(const std::string& message, int32_t /*level*/) {
  std::lock_guard lock(mutex_);
  open_if_exists();
  ring_.push_back(message);
  if (message_limit_ >= 0) {
    while (static_cast<int64_t>(ring_.size()) > message_limit_) {
      ring_.pop_front();
    }
  }
  if (log_file_ != nullptr) {
    std::fputs(message.c_str(), log_file_);
    std::fflush(log_file_);
  }
  if (echo_.load(std::memory_order_relaxed)) {
    std::fputs(message.c_str(), stdout);
  }
  flush_crash_file();
}

void Log::flush_crash_file() {
  if (crash_file_ == nullptr) {
    return;
  }
  for (const std::string& message : ring_) {
    std::fputs(message.c_str(), crash_file_);
  }
  ring_.clear();
  std::fflush(crash_file_);
}

std::string Log::write_crash_file() {
  std::lock_guard lock(mutex_);
  const std::string name = crash_file_name();
  if (crash_file_ == nullptr) {
    // A report that cannot be opened keeps the ring; the next report tries again.
    crash_file_ = std::fopen(name.c_str(), "a+");
  }
  flush_crash_file();
  return name;
}

bool Log::is_enabled() const {
  return verbose_.load(std::memory_order_relaxed) || log_file_open_.load(std::memory_order_acquire);
}

void Log::set_base_path(const std::string& path) {
  std::lock_guard lock(path_mutex_);
  base_path_ = path;
}

std::string Log::base_path() const {
  std::lock_guard lock(path_mutex_);
  return base_path_;
}

void Log::set_verbose(bool verbose) {
  verbose_.store(verbose, std::memory_order_relaxed);
}

void Log::set_echo(bool echo) {
  echo_.store(echo, std::memory_order_relaxed);
}

std::string Log::log_file_name() const {
  return base_path() + ".log";
}

std::string Log::crash_file_name() const {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  return crash_file_name(local);
}

std::string Log::crash_file_name(const std::tm& local) const {
  return base_path() + "(" + std::to_string(local.tm_year + 1900) + "_" +
         std::to_string(local.tm_mon + 1) + "_" + std::to_string(local.tm_mday) + "-" +
         std::to_string(local.tm_hour) + "_" + std::to_string(local.tm_min) + "_" +
         std::to_string(local.tm_sec) + ")" + ".crash";
}

std::deque<std::string> Log::recent_messages() const {
  std::lock_guard lock(mutex_);
  return ring_;
}

Log& global_log() {
  static Log log;
  return log;
}

}  // namespace brel

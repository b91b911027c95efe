#include "base/exception.h"

#include <cxxabi.h>
#include <dlfcn.h>
#include <execinfo.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "base/log.h"

namespace brel {

namespace {

constexpr int max_frames = 128;
constexpr size_t line_buffer_size = 4098;

// The first captured frame inside our own code. A sanitizer runtime that intercepts backtrace()
// puts a frame of its own in front of ours; without one this is always frame 0.
int first_own_frame(void* const* frames, int count) {
  Dl_info self{};
  if (dladdr(reinterpret_cast<void*>(&write_backtrace), &self) == 0) {
    return 0;
  }
  for (int i = 0; i < count; ++i) {
    Dl_info info{};
    if (dladdr(frames[i], &info) != 0 && info.dli_fbase == self.dli_fbase) {
      return i;
    }
  }
  return 0;
}

}  // namespace

__attribute__((noinline)) std::string write_backtrace(int32_t skip) {
  void* captured[max_frames];
  const int captured_count = backtrace(captured, max_frames);
  // Frame 0 is this function; the skip and the frame numbers count from it.
  const int first = first_own_frame(captured, captured_count);
  void** frames = captured + first;
  const int count = captured_count - first;
  char** symbols = backtrace_symbols(frames, count);

  std::string text;
  char line[line_buffer_size];
  for (int i = skip; i < count; ++i) {
    const char* raw = symbols != nullptr ? symbols[i] : "";
    std::puts(raw);

    Dl_info info{};
    if (dladdr(frames[i], &info) != 0 && info.dli_sname != nullptr) {
      const char* name = info.dli_sname;
      char* demangled = nullptr;
      if (name[0] == '_') {
        int status = -1;
        demangled = abi::__cxa_demangle(name, nullptr, nullptr, &status);
        if (status == 0 && demangled != nullptr) {
          name = demangled;
        }
      }
      const auto offset = static_cast<ptrdiff_t>(static_cast<char*>(frames[i]) -
                                                 static_cast<char*>(info.dli_saddr));
      std::snprintf(line, sizeof line, "%-3d %*p %s + %zd\n", i, 18, frames[i], name, offset);
      std::free(demangled);
    } else {
      std::snprintf(line, sizeof line, "%-3d %*p %s\n", i, 18, frames[i], raw);
    }
    text += line;
  }
  std::free(symbols);

  if (captured_count == max_frames) {
    text += "[truncated]\n";
  }
  return text;
}

__attribute__((noinline))
Exception_Assert::Exception_Assert(const std::string& message, const std::string& condition,
                                   const std::string& file, int32_t line)
    : Exception_Runtime(message) {
  std::ostringstream report;
  report << "-**###  ERROR  ###**-: "
         << "-**### ASSERTION FAILED ###** (" << condition << ") in " << file << " line " << line
         << ". " << message << "\n"
         << write_backtrace(3) << "\n";
  global_log().write(report, Log::error);
}

__attribute__((noinline)) void throw_assert(const std::string& condition,
                                            const std::string& message, const std::string& file,
                                            int32_t line) {
  throw Exception_Assert(message, condition, file, line);
}

}  // namespace brel

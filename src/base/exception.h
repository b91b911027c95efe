#pragma once

// Every failure inside the effect is an exception derived from Exception_Runtime; there are
// no error codes inside the system. The host adapter turns them into host codes at its barrier.

#include <cstdint>
#include <stdexcept>
#include <string>

#include "base/report_position.h"

namespace brel {

// Base of every exception the effect throws; carries only its message.
class Exception_Runtime : public std::runtime_error {
 public:
  explicit Exception_Runtime(const std::string& message) : std::runtime_error(message) {}
};

// A broken invariant. Its constructor writes the full report (condition, source position,
// message and backtrace) to the global log, so the report survives a caller that swallows it.
class Exception_Assert : public Exception_Runtime {
 public:
  Exception_Assert(const std::string& message, const std::string& condition,
                   const std::string& file, int32_t line);
};

// The user or the host asked the render to stop.
class Exception_Abort : public Exception_Runtime {
 public:
  Exception_Abort() : Exception_Runtime("abort computation exception") {}
};

// Throws an Exception_Assert; every assertion site goes through here.
[[noreturn]] void throw_assert(const std::string& condition, const std::string& message,
                               const std::string& file, int32_t line);
// The same at a fixed position; always inlined, so that the report's backtrace still starts at
// the asserting function.
[[noreturn]] __attribute__((always_inline)) inline void throw_assert(const std::string& condition,
                                                                     const std::string& message,
                                                                     Report_Position at) {
  throw_assert(condition, message, at.file, at.line);
}

// The calling thread's backtrace, one line a frame, leaving out the `skip` innermost frames.
// Each raw frame is echoed on standard output as well.
std::string write_backtrace(int32_t skip);

}  // namespace brel

// Assertion forms. The build maps __FILE__ to the path below the source root; sites whose
// reported position is fixed for the log's readers pass their entry of base/report_position.h
// (or a file and a line) as the position of the *_AT forms.
#define BREL_SOURCE __FILE__

#define BREL_ASSERT_AT(condition, ...)                                                    \
  do {                                                                                    \
    if (!(condition)) {                                                                   \
      ::brel::throw_assert(#condition, "ASSERT()", ::brel::Report_Position{__VA_ARGS__}); \
    }                                                                                     \
  } while (false)

#define BREL_ASSERT_MSG_AT(condition, message, ...)                                    \
  do {                                                                                 \
    if (!(condition)) {                                                                \
      ::brel::throw_assert(#condition, message, ::brel::Report_Position{__VA_ARGS__}); \
    }                                                                                  \
  } while (false)

#define BREL_ASSERT_FAIL_AT(message, ...) \
  ::brel::throw_assert("ASSERT_FAIL", message, ::brel::Report_Position{__VA_ARGS__})

#define BREL_ASSERT_INCOMPLETE_AT(...)                                                   \
  ::brel::throw_assert("ASSERT_INCOMPLETE", "found something that needs implementation", \
                       ::brel::Report_Position{__VA_ARGS__})

#define BREL_ASSERT(condition) BREL_ASSERT_AT(condition, BREL_SOURCE, __LINE__)
#define BREL_ASSERT_MSG(condition, message) \
  BREL_ASSERT_MSG_AT(condition, message, BREL_SOURCE, __LINE__)
#define BREL_ASSERT_FAIL(message) BREL_ASSERT_FAIL_AT(message, BREL_SOURCE, __LINE__)
#define BREL_ASSERT_INCOMPLETE() BREL_ASSERT_INCOMPLETE_AT(BREL_SOURCE, __LINE__)

#pragma once

// Every failure inside the effect is an exception derived from Exception_Runtime; there are
// no error codes inside the system. The host adapter turns them into host codes at its barrier.

#include <cstdint>
#include <stdexcept>
#include <string>

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

// The calling thread's backtrace, one line a frame, leaving out the `skip` innermost frames.
// Each raw frame is echoed on standard output as well.
std::string write_backtrace(int32_t skip);

}  // namespace brel

// Assertion forms. The build maps __FILE__ to the path below the source root; sites whose
// reported position is fixed for the log's readers pass file and line through the *_AT forms.
#define BREL_SOURCE __FILE__

#define BREL_ASSERT_AT(condition, file, line)                   \
  do {                                                          \
    if (!(condition)) {                                         \
      ::brel::throw_assert(#condition, "ASSERT()", file, line); \
    }                                                           \
  } while (false)

#define BREL_ASSERT_MSG_AT(condition, message, file, line)   \
  do {                                                       \
    if (!(condition)) {                                      \
      ::brel::throw_assert(#condition, message, file, line); \
    }                                                        \
  } while (false)

#define BREL_ASSERT_FAIL_AT(message, file, line) \
  ::brel::throw_assert("ASSERT_FAIL", message, file, line)

#define BREL_ASSERT_INCOMPLETE_AT(file, line) \
  ::brel::throw_assert("ASSERT_INCOMPLETE", "found something that needs implementation", file, line)

#define BREL_ASSERT(condition) BREL_ASSERT_AT(condition, BREL_SOURCE, __LINE__)
#define BREL_ASSERT_MSG(condition, message) \
  BREL_ASSERT_MSG_AT(condition, message, BREL_SOURCE, __LINE__)
#define BREL_ASSERT_FAIL(message) BREL_ASSERT_FAIL_AT(message, BREL_SOURCE, __LINE__)
#define BREL_ASSERT_INCOMPLETE() BREL_ASSERT_INCOMPLETE_AT(BREL_SOURCE, __LINE__)

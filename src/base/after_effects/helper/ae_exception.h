#pragma once

// Host error codes as exceptions. Every host call's result is checked at once; a failure becomes
// one of these, carrying the host's code, and announces itself with a warning line in the log
// naming the code, the source position and what was being done. The command barrier turns them
// back into host codes.

#include <cstdint>
#include <string>

#include "base/exception.h"

namespace brel {

// A failing call of the effect interface or of an AEGP suite; the code goes back to the host.
// A cancel (517) writes no warning: it is the user's choice, not a fault.
class Exception_After_Effects : public Exception_Runtime {
 public:
  Exception_After_Effects(const std::string& message, int32_t code, const std::string& file,
                          int32_t line);
  Exception_After_Effects(const std::string& message, int32_t code, Report_Position at)
      : Exception_After_Effects(message, code, at.file, at.line) {}
  int32_t code() const { return code_; }

 private:
  int32_t code_;
};

// A suite the host could not hand out (a suite-broker error code).
class Exception_Ae_Suite : public Exception_Runtime {
 public:
  Exception_Ae_Suite(const std::string& message, int32_t code, const std::string& file,
                     int32_t line);
  Exception_Ae_Suite(const std::string& message, int32_t code, Report_Position at)
      : Exception_Ae_Suite(message, code, at.file, at.line) {}
  int32_t code() const { return code_; }

 private:
  int32_t code_;
};

// A failing Premiere Pro suite call.
class Exception_Premiere : public Exception_Runtime {
 public:
  Exception_Premiere(const std::string& message, int32_t code, const std::string& file,
                     int32_t line);
  Exception_Premiere(const std::string& message, int32_t code, Report_Position at)
      : Exception_Premiere(message, code, at.file, at.line) {}
  int32_t code() const { return code_; }

 private:
  int32_t code_;
};

// Symbolic names of host codes, for log lines only.
// Effect-interface codes; "unknown error" for a code not in the table.
std::string pf_err_name(int32_t code);
// Suite-broker codes; "unknown error" for a code not in the table.
std::string sp_err_name(int32_t code);
// Premiere Pro suite codes; empty for a code not in the table.
std::string premiere_suite_err_name(int32_t code);

}  // namespace brel

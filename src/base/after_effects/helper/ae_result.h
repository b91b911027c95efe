#pragma once

// A host call's result, checked at once: 517 is the user's abort, any other non-zero code a
// host error carrying that code and the call site.

#include <cstdint>

#include "base/after_effects/helper/ae_exception.h"
#include "base/exception.h"
#include "host_api.h"

namespace brel::ae {

inline void throw_on_host_error(PF_Err result, const char* file, int32_t line) {
  if (result == PF_Err_NONE) {
    return;
  }
  if (result == PF_Interrupt_CANCEL) {
    throw Exception_Abort();
  }
  throw Exception_After_Effects("After Effects api Error (PF_Err)", result, file, line);
}

inline void throw_on_host_error(PF_Err result, Report_Position at) {
  throw_on_host_error(result, at.file, at.line);
}

}  // namespace brel::ae

#pragma once

// Host suites are acquired per use and never kept: a Suite_Guard acquires one suite for the
// lifetime of one operation and gives it back on every way out, exceptions included.

#include <cstdint>
#include <string>

#include "host_api.h"

namespace brel {

namespace detail {
// Acquires `name` in `version`; returns the table or throws Exception_Ae_Suite.
const void* acquire_suite(SPBasicSuite* basic_suite, const std::string& name, int32_t version);
}  // namespace detail

// One acquired suite of table type SuiteT. Neither copied nor shared; lives on one stack.
template <class SuiteT>
class Suite_Guard {
 public:
  Suite_Guard(SPBasicSuite* basic_suite, std::string name, int32_t version)
      : basic_suite_(basic_suite),
        name_(std::move(name)),
        version_(version),
        suite_(static_cast<const SuiteT*>(detail::acquire_suite(basic_suite_, name_, version_))) {}

  // Release failures are not reported: nothing could be done about them here.
  ~Suite_Guard() { basic_suite_->ReleaseSuite(name_.c_str(), version_); }

  Suite_Guard(const Suite_Guard&) = delete;
  Suite_Guard& operator=(const Suite_Guard&) = delete;

  // Never null.
  const SuiteT* get() const { return suite_; }
  const SuiteT* operator->() const { return suite_; }

 private:
  SPBasicSuite* basic_suite_;
  std::string name_;
  int32_t version_;
  const SuiteT* suite_;
};

// True when the host offers the suite in that version. The suite is given back at once; a
// missing suite is an answer here, not a failure, so nothing is thrown or logged.
bool suite_available(SPBasicSuite* basic_suite, const std::string& name, int32_t version);

}  // namespace brel

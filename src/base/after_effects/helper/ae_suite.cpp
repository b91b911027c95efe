#include "base/after_effects/helper/ae_suite.h"

#include "base/after_effects/helper/ae_exception.h"

namespace brel {

namespace detail {

const void* acquire_suite(SPBasicSuite* basic_suite, const std::string& name, int32_t version) {
  const void* suite = nullptr;
  // Without a broker (a host that handed none over) the suite is as missing as any other.
  const SPErr err = basic_suite != nullptr
                        ? basic_suite->AcquireSuite(name.c_str(), version, &suite)
                        : kSPBadParameterError;
  if (err != kSPNoError || suite == nullptr) {
    // A host that answers success without a table reports code 0.
    throw Exception_Ae_Suite("Can't AcquireSuite (" + name + ", " + std::to_string(version) + ")",
                             err, report::acquire_suite);
  }
  return suite;
}

}  // namespace detail

bool suite_available(SPBasicSuite* basic_suite, const std::string& name, int32_t version) {
  if (basic_suite == nullptr) {
    return false;
  }
  const void* suite = nullptr;
  const SPErr err = basic_suite->AcquireSuite(name.c_str(), version, &suite);
  if (err != kSPNoError || suite == nullptr) {
    return false;
  }
  basic_suite->ReleaseSuite(name.c_str(), version);
  return true;
}

}  // namespace brel

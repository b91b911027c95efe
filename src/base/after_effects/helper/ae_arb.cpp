#include "base/after_effects/helper/ae_arb.h"

#include "base/exception.h"

namespace brel {

namespace {

constexpr const char* source = "base/after_effects/helper/ae_arb";

}  // namespace

void arb_new(const Data_Functions* data_functions, PF_InData* in_data, PF_Handle* result) {
  BREL_ASSERT_AT(data_functions, source, 12);
  const int64_t size = data_functions->size(in_data);
  const PF_UtilCallbacks* utils = in_data->utils;
  PF_Handle handle = utils != nullptr && size >= 0
                         ? utils->host_new_handle(static_cast<A_u_longlong>(size))
                         : nullptr;
  void* memory = handle != nullptr ? utils->host_lock_handle(handle) : nullptr;
  if (memory == nullptr) {
    // Give the handle back rather than leak it.
    if (handle != nullptr) {
      utils->host_dispose_handle(handle);
    }
    BREL_ASSERT_AT(false, source, 29);
  }
  data_functions->write_default(memory);
  utils->host_unlock_handle(handle);
  *result = handle;
}

}  // namespace brel

#pragma once

// Arbitrary (custom-control) data held in host handles.

#include "ae_effect.h"
#include "base/parameter_description.h"

namespace brel {

// A host handle locked for one scope; std::bad_alloc when it cannot be locked.
class Locked_Handle {
 public:
  Locked_Handle(const PF_UtilCallbacks* utils, PF_Handle handle);
  ~Locked_Handle();
  Locked_Handle(const Locked_Handle&) = delete;
  Locked_Handle& operator=(const Locked_Handle&) = delete;

  void* get() const { return memory_; }

 private:
  const PF_UtilCallbacks* utils_;
  PF_Handle handle_;
  void* memory_;
};

// Makes a host handle of the data's size holding its default value, unlocked, in `result`;
// std::bad_alloc when the host cannot make or lock it.
void arb_new(const Data_Functions* data_functions, PF_InData* in_data, PF_Handle* result);

// Answers one of the host's arbitrary-data requests (new, dispose, copy, flat size, flatten,
// unflatten, interpolate, compare, print size, print, scan) for data made of `data_functions`.
// New handles reach the host only when the request succeeds; a handle that cannot be made or
// locked throws std::bad_alloc.
void arb_callback(const Data_Functions* data_functions, PF_InData* in_data,
                  PF_ArbParamsExtra* extra);

}  // namespace brel

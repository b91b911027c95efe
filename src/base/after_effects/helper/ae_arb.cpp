#include "base/after_effects/helper/ae_arb.h"

#include <cstring>
#include <new>
#include <string>

#include "base/after_effects/helper/ae_result.h"
#include "base/exception.h"

namespace brel {

namespace {

constexpr const char* source = report::arb_file;

// The host's print buffers; the effect answers the print-size request with it.
constexpr A_u_long print_size = 1024;

// A new handle holding the default value, written by `fill`; given to `*result` only when
// filling succeeds, disposed of otherwise.
template <class Fill>
void new_filled(const Data_Functions* data_functions, PF_InData* in_data, PF_Handle* result,
                Fill fill) {
  BREL_ASSERT_MSG(result != nullptr, "arbitrary-data request without a result handle");
  PF_Handle handle = nullptr;
  arb_new(data_functions, in_data, &handle);
  try {
    Locked_Handle memory(in_data->utils, handle);
    fill(memory.get());
  } catch (...) {
    in_data->utils->host_dispose_handle(handle);
    throw;
  }
  *result = handle;
}

std::string text_of(const Data_Functions* data_functions, const PF_UtilCallbacks* utils,
                    PF_Handle handle) {
  Locked_Handle memory(utils, handle);
  return data_functions->text(memory.get());
}

}  // namespace

Locked_Handle::Locked_Handle(const PF_UtilCallbacks* utils, PF_Handle handle)
    : utils_(utils), handle_(handle) {
  memory_ = handle != nullptr ? utils->host_lock_handle(handle) : nullptr;
  if (memory_ == nullptr) {
    throw std::bad_alloc();
  }
}

Locked_Handle::~Locked_Handle() {
  utils_->host_unlock_handle(handle_);
}

void arb_new(const Data_Functions* data_functions, PF_InData* in_data, PF_Handle* result) {
  BREL_ASSERT_AT(data_functions, report::arb_new_functions);
  const int64_t size = data_functions->size(in_data);
  const PF_UtilCallbacks* utils = in_data->utils;
  PF_Handle handle = utils != nullptr && size >= 0
                         ? utils->host_new_handle(static_cast<A_u_longlong>(size))
                         : nullptr;
  void* memory = handle != nullptr ? utils->host_lock_handle(handle) : nullptr;
  if (memory == nullptr) {
    // Give the handle back rather than leak it. The host is out of memory, and hears so.
    if (handle != nullptr) {
      utils->host_dispose_handle(handle);
    }
    throw std::bad_alloc();
  }
  data_functions->write_default(memory);
  utils->host_unlock_handle(handle);
  *result = handle;
}

void arb_callback(const Data_Functions* data_functions, PF_InData* in_data,
                  PF_ArbParamsExtra* extra) {
  BREL_ASSERT_AT(data_functions, report::arb_callback_functions);
  BREL_ASSERT_MSG(in_data->utils != nullptr, "arbitrary data without the host's handles");
  const PF_UtilCallbacks* utils = in_data->utils;
  switch (extra->which_function) {
    case PF_Arbitrary_NEW_FUNC:
      new_filled(data_functions, in_data, extra->u.new_func_params.arbPH, [](void*) {});
      break;
    case PF_Arbitrary_DISPOSE_FUNC:
      if (extra->u.dispose_func_params.arbH != nullptr) {
        utils->host_dispose_handle(extra->u.dispose_func_params.arbH);
      }
      break;
    case PF_Arbitrary_COPY_FUNC: {
      const auto& p = extra->u.copy_func_params;
      Locked_Handle source_memory(utils, p.src_arbH);
      new_filled(data_functions, in_data, p.dst_arbPH,
                 [&](void* memory) { data_functions->copy(source_memory.get(), memory); });
      break;
    }
    case PF_Arbitrary_FLAT_SIZE_FUNC: {
      const auto& p = extra->u.flat_size_func_params;
      BREL_ASSERT_MSG(p.flat_data_sizePLu != nullptr, "flat-size request without its answer");
      *p.flat_data_sizePLu =
          static_cast<A_u_long>(text_of(data_functions, utils, p.arbH).size() + 1);
      break;
    }
    case PF_Arbitrary_FLATTEN_FUNC: {
      const auto& p = extra->u.flatten_func_params;
      const std::string text = text_of(data_functions, utils, p.arbH);
      // A buffer of another size than the flat size asked before would store a cut or stale
      // value in the project: the host hears of it instead.
      if (p.flat_dataPV == nullptr || p.buf_sizeLu != text.size() + 1) {
        throw Exception_After_Effects("After Effects api Error (PF_Err)", PF_Err_BAD_CALLBACK_PARAM,
                                      source, __LINE__);
      }
      std::memcpy(p.flat_dataPV, text.c_str(), text.size() + 1);
      break;
    }
    case PF_Arbitrary_UNFLATTEN_FUNC: {
      const auto& p = extra->u.unflatten_func_params;
      // The text ends at its zero or at the buffer's end, whichever comes first.
      const char* flat = static_cast<const char*>(p.flat_dataPV);
      const std::string text =
          flat != nullptr ? std::string(flat, strnlen(flat, p.buf_sizeLu)) : std::string();
      new_filled(data_functions, in_data, p.arbPH,
                 [&](void* memory) { data_functions->read_text(text, memory); });
      break;
    }
    case PF_Arbitrary_INTERP_FUNC: {
      const auto& p = extra->u.interp_func_params;
      Locked_Handle left(utils, p.left_arbH);
      Locked_Handle right(utils, p.right_arbH);
      new_filled(data_functions, in_data, p.interpPH, [&](void* memory) {
        data_functions->interpolate(left.get(), right.get(), p.tF, memory);
      });
      break;
    }
    case PF_Arbitrary_COMPARE_FUNC: {
      const auto& p = extra->u.compare_func_params;
      BREL_ASSERT_MSG(p.compareP != nullptr, "compare request without its answer");
      Locked_Handle a(utils, p.a_arbH);
      Locked_Handle b(utils, p.b_arbH);
      *p.compareP =
          data_functions->equal(a.get(), b.get()) ? PF_ArbCompare_EQUAL : PF_ArbCompare_NOT_EQUAL;
      break;
    }
    case PF_Arbitrary_PRINT_SIZE_FUNC:
      extra->u.print_func_params.print_sizeLu = print_size;
      break;
    default:  // print and scan: nothing to do once the data functions exist
      break;
  }
}

}  // namespace brel

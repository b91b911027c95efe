#include "simulated_host.h"

#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <exception>
#include <new>
#include <thread>

namespace brel::sim {

namespace {

constexpr uint64_t host_magic = 0x4C554D4252495848ull;
constexpr A_long world_magic = 0x57524C44;  // marks worlds this library made

std::atomic<Simulated_Host*> active_host{nullptr};

// Backs the untouched interior of a large block with huge pages where the system gives them on
// request: a 4K float frame then costs a few dozen page faults instead of tens of thousands,
// which on virtual machines took longer than rendering it.
void advise_huge_pages(void* block, size_t size) {
  constexpr uintptr_t huge_page = uintptr_t{2} << 20;
  const uintptr_t start = reinterpret_cast<uintptr_t>(block);
  const uintptr_t begin = (start + huge_page - 1) / huge_page * huge_page;
  const uintptr_t end = (start + size) / huge_page * huge_page;
  if (end > begin) {
    ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
  }
}

}  // namespace

// ---- Identity ----------------------------------------------------------------------------

Host_Identity Host_Identity::after_effects(A_short api_major, A_short api_minor) {
  return {PF_APPL_ID_AFTER_EFFECTS, api_major, api_minor, {0, 0, 0}};
}

Host_Identity Host_Identity::premiere(A_short api_major, A_short api_minor,
                                      PrAppVersion app_version) {
  return {PF_APPL_ID_PREMIERE, api_major, api_minor, app_version};
}

Host_Identity Host_Identity::other(A_long appl_id, A_short api_major, A_short api_minor) {
  return {appl_id, api_major, api_minor, {0, 0, 0}};
}

// ---- Worlds ------------------------------------------------------------------------------

int32_t World::pixel_bytes(PF_PixelFormat format, bool premiere) {
  if (premiere) {
    switch (format) {
      case PrPixelFormat_BGRA_4444_32f:
        return 16;
      case PrPixelFormat_BGRA_4444_16u:
        return 8;
      case PrPixelFormat_BGRA_4444_8u:
      case PrPixelFormat_ARGB_4444_8u:
        return 4;
      default:
        return 0;
    }
  }
  switch (format) {
    case PF_PixelFormat_ARGB128:
    case PF_PixelFormat_BGRA128:
      return 16;
    case PF_PixelFormat_ARGB64:
      return 8;
    case PF_PixelFormat_ARGB32:
      return 4;
    default:
      return 0;
  }
}

World::World(int32_t width, int32_t height, PF_PixelFormat format, int32_t bytes_per_pixel,
             int32_t extra_row_bytes, bool cleared, std::shared_ptr<Handle_Memory> memory)
    : memory_(std::move(memory)), bytes_per_pixel_(bytes_per_pixel) {
  if (width < 0 || height < 0 || bytes_per_pixel <= 0 || extra_row_bytes < 0) {
    throw Sim_Error("a world needs a size of at least 0 x 0 and a pixel size above 0");
  }
  const int64_t row_bytes = (int64_t{width} * bytes_per_pixel + 63) / 64 * 64 + extra_row_bytes;
  const int64_t bytes = row_bytes * height;
  const size_t size = static_cast<size_t>(bytes > 0 ? bytes : 1);
  if (memory_ != nullptr) {
    Handle_Memory::Taken taken = memory_->take(size);
    if (!taken.block) {
      throw std::bad_alloc();
    }
    pixels_ = std::move(taken.block);
    capacity_ = taken.capacity;
  } else {
    pixels_.reset(new std::byte[size]);
    advise_huge_pages(pixels_.get(), size);
  }
  if (cleared) {
    std::memset(pixels_.get(), 0, size);
  }
  world_.data = pixels_.get();
  world_.rowbytes = static_cast<A_long>(row_bytes);
  world_.width = width;
  world_.height = height;
  world_.extent_hint = {0, 0, width, height};
  world_.pix_aspect_ratio = {1, 1};
  world_.host_reserved[0] = format;
  world_.host_reserved[1] = world_magic;
}

World::~World() {
  if (memory_ != nullptr) {
    memory_->give_back(std::move(pixels_), capacity_);
  }
}

void World::fill_padding(std::byte value) {
  const int64_t used = int64_t{world_.width} * bytes_per_pixel_;
  for (int32_t y = 0; y < world_.height; ++y) {
    std::byte* row = pixels_.get() + int64_t{y} * world_.rowbytes;
    std::fill(row + used, row + world_.rowbytes, value);
  }
}

bool World::padding_is(std::byte value) const {
  const int64_t used = int64_t{world_.width} * bytes_per_pixel_;
  for (int32_t y = 0; y < world_.height; ++y) {
    const std::byte* row = pixels_.get() + int64_t{y} * world_.rowbytes;
    if (std::any_of(row + used, row + world_.rowbytes,
                    [value](std::byte b) { return b != value; })) {
      return false;
    }
  }
  return true;
}

bool World::format_of(const PF_EffectWorld* world, PF_PixelFormat* format) {
  if (world == nullptr || world->host_reserved[1] != world_magic) {
    return false;
  }
  *format = world->host_reserved[0];
  return true;
}

// ---- Callbacks ---------------------------------------------------------------------------

struct Host_Callbacks {
  // inter

  static PF_Err add_param(PF_ProgPtr effect_ref, PF_ParamIndex index, PF_ParamDefPtr def) {
    int32_t err = 0;
    Simulated_Host* host = Simulated_Host::entered(Simulated_Host::from(effect_ref), fn::add_param,
                                                   PF_Err_BAD_CALLBACK_PARAM, &err);
    if (err != 0) {
      return err;
    }
    if (def == nullptr) {
      host->violation("add_param without a definition");
      return PF_Err_BAD_CALLBACK_PARAM;
    }
    std::lock_guard lock(host->mutex_);
    host->store_.add(*def, index);
    return PF_Err_NONE;
  }

  static PF_Err checkout_param(PF_ProgPtr effect_ref, PF_ParamIndex index, A_long what_time,
                               A_long time_step, A_u_long time_scale, PF_ParamDef* param) {
    Simulated_Host* host = Simulated_Host::from(effect_ref);
    if (host == nullptr) {
      return PF_Err_BAD_CALLBACK_PARAM;
    }
    const int32_t err = host->enter(fn::checkout_param);
    std::lock_guard lock(host->mutex_);
    host->checkout_calls_.push_back({index, what_time, time_step, time_scale});
    if (err != 0) {
      return err;
    }
    if (param == nullptr) {
      host->violation("checkout_param without a record");
      return PF_Err_BAD_CALLBACK_PARAM;
    }
    if (index < 0 || index > host->store_.size()) {
      return PF_Err_INVALID_INDEX;
    }
    *param = host->store_.deliver(index, host->delivery());
    ++host->checked_out_[index];
    return PF_Err_NONE;
  }

  static PF_Err checkin_param(PF_ProgPtr effect_ref, PF_ParamDef* param) {
    int32_t err = 0;
    Simulated_Host* host = Simulated_Host::entered(
        Simulated_Host::from(effect_ref), fn::checkin_param, PF_Err_BAD_CALLBACK_PARAM, &err);
    if (err != 0) {
      return err;
    }
    if (param == nullptr) {
      host->violation("checkin_param without a record");
      return PF_Err_BAD_CALLBACK_PARAM;
    }
    std::lock_guard lock(host->mutex_);
    // The input layer comes back as a layer record without an id or a name.
    const int32_t slot = host->store_.slot_of_record(*param);
    const int32_t index = slot >= 0 ? Parameter_Store::host_index(slot)
                                    : (param->param_type == PF_Param_LAYER ? 0 : -1);
    auto it = host->checked_out_.find(index);
    if (index < 0 || it == host->checked_out_.end() || it->second == 0) {
      host->violation("checkin_param of a record that is not checked out (id " +
                      std::to_string(param->uu.id) + ")");
      return PF_Err_BAD_CALLBACK_PARAM;
    }
    --it->second;
    return PF_Err_NONE;
  }

  static PF_Err abort(PF_ProgPtr effect_ref) {
    Simulated_Host* host = Simulated_Host::from(effect_ref);
    return host == nullptr ? PF_Err_BAD_CALLBACK_PARAM : host->enter(fn::abort);
  }

  static PF_Err progress(PF_ProgPtr effect_ref, A_long, A_long) {
    Simulated_Host* host = Simulated_Host::from(effect_ref);
    return host == nullptr ? PF_Err_BAD_CALLBACK_PARAM : host->enter(fn::progress);
  }

  static PF_Err register_ui(PF_ProgPtr effect_ref, PF_CustomUIInfo*) {
    Simulated_Host* host = Simulated_Host::from(effect_ref);
    return host == nullptr ? PF_Err_BAD_CALLBACK_PARAM : host->enter(fn::register_ui);
  }

  // handles (the utility callbacks and "PF Handle Suite" share one table)

  static PF_Handle new_handle_as(const char* function, A_u_longlong size) {
    Simulated_Host* host = Simulated_Host::active();
    if (host == nullptr || host->enter(function) != 0) {
      return nullptr;
    }
    Handle_Memory::Taken taken;
    try {
      taken = host->handle_memory_.take(static_cast<size_t>(size));
    } catch (...) {
      // No room for the books of the kept memory: as good as no memory.
    }
    if (!taken.block) {
      return nullptr;
    }
    auto handle = reinterpret_cast<PF_Handle>(new void*(taken.block.get()));
    std::lock_guard lock(host->mutex_);
    host->handles_[handle] = {std::move(taken.block), size, 0, taken.capacity};
    return handle;
  }

  static void* lock_handle_as(const char* function, PF_Handle handle) {
    Simulated_Host* host = Simulated_Host::active();
    if (host == nullptr || host->enter(function) != 0) {
      return nullptr;
    }
    std::lock_guard lock(host->mutex_);
    auto it = host->handles_.find(handle);
    if (it == host->handles_.end()) {
      host->violation("lock of a handle the host never made");
      return nullptr;
    }
    ++it->second.locks;
    return *handle;
  }

  static PF_Handle new_handle(A_u_longlong size) { return new_handle_as(fn::new_handle, size); }
  static void* lock_handle(PF_Handle handle) { return lock_handle_as(fn::lock_handle, handle); }
  static PF_Handle suite_new_handle(A_u_longlong size) {
    return new_handle_as(fn::suite_new_handle, size);
  }
  static void* suite_lock_handle(PF_Handle handle) {
    return lock_handle_as(fn::suite_lock_handle, handle);
  }

  static void unlock_handle(PF_Handle handle) {
    Simulated_Host* host = Simulated_Host::active();
    if (host == nullptr) {
      return;
    }
    host->enter(fn::unlock_handle);
    std::lock_guard lock(host->mutex_);
    auto it = host->handles_.find(handle);
    if (it == host->handles_.end() || it->second.locks == 0) {
      host->violation("unlock of a handle that is not locked");
      return;
    }
    --it->second.locks;
  }

  static void dispose_handle(PF_Handle handle) {
    Simulated_Host* host = Simulated_Host::active();
    if (host == nullptr) {
      return;
    }
    host->enter(fn::dispose_handle);
    std::lock_guard lock(host->mutex_);
    auto it = host->handles_.find(handle);
    if (it == host->handles_.end()) {
      host->violation("dispose of a handle the host never made");
      return;
    }
    host->handle_memory_.give_back(std::move(it->second.block), it->second.capacity);
    host->handles_.erase(it);
    delete reinterpret_cast<void**>(handle);
  }

  static A_u_longlong handle_size(PF_Handle handle) {
    Simulated_Host* host = Simulated_Host::active();
    if (host == nullptr) {
      return 0;
    }
    std::lock_guard lock(host->mutex_);
    auto it = host->handles_.find(handle);
    return it == host->handles_.end() ? 0 : it->second.size;
  }

  static PF_Err resize_handle(A_u_longlong, PF_Handle*) { return PF_Err_UNRECOGNIZED_PARAM_TYPE; }

  // iterate_generic: iteration 0 on the calling thread, the others on the host's render threads.
  // The result is iteration 0's code if it failed, else the first failing code.

  static PF_Err iterate_generic(A_long iterations, void* refcon, PF_IterateGenericFunc fn_func) {
    int32_t err = 0;
    Simulated_Host* host = Simulated_Host::entered(Simulated_Host::active(), fn::iterate_generic,
                                                   PF_Err_BAD_CALLBACK_PARAM, &err);
    if (err != 0) {
      return err;
    }
    const A_long count =
        iterations == PF_Iterations_ONCE_PER_PROCESSOR ? host->thread_count_ : iterations;
    if (count <= 0 || fn_func == nullptr) {
      return count < 0 || fn_func == nullptr ? PF_Err_BAD_CALLBACK_PARAM : PF_Err_NONE;
    }
    std::vector<PF_Err> results(static_cast<size_t>(count), PF_Err_NONE);
    std::vector<std::exception_ptr> escaped(static_cast<size_t>(count));
    // Thread 0 is called first; the others follow once it runs. Without that order the new
    // threads could finish a short loop before thread 0 (the command's own thread, the only one
    // that polls the host for an abort) is called at all.
    std::atomic<bool> zero_started{false};
    const auto run = [&](A_long i) {
      if (i == 0) {
        zero_started.store(true);
        zero_started.notify_all();
      } else {
        zero_started.wait(false);
      }
      try {
        results[static_cast<size_t>(i)] = fn_func(refcon, i, i, count);
      } catch (...) {
        escaped[static_cast<size_t>(i)] = std::current_exception();
      }
    };
    host->render_threads_.run(count, run);
    // An exception crossing into a host is a fault of the effect; a real host would die of it.
    for (A_long i = 0; i < count; ++i) {
      if (escaped[static_cast<size_t>(i)]) {
        host->violation("an exception escaped iterate_generic on thread " + std::to_string(i));
        std::rethrow_exception(escaped[static_cast<size_t>(i)]);
      }
    }
    for (const PF_Err err : results) {
      if (err != PF_Err_NONE) {
        return err;
      }
    }
    return PF_Err_NONE;
  }

  // Bounded: PF_OutData::return_msg of the host, any other buffer as if it were as large.
  static A_long sprintf(A_char* buffer, const A_char* format, ...) {
    Simulated_Host* host = Simulated_Host::active();
    if (host == nullptr || buffer == nullptr || format == nullptr) {
      return 0;
    }
    host->enter(fn::sprintf);
    constexpr size_t capacity = sizeof(PF_OutData{}.return_msg);
    va_list args;
    va_start(args, format);
    const int wanted = std::vsnprintf(buffer, capacity, format, args);
    va_end(args);
    if (wanted < 0) {
      buffer[0] = '\0';
      return 0;
    }
    if (static_cast<size_t>(wanted) >= capacity) {
      std::lock_guard lock(host->mutex_);
      ++host->sprintf_truncations_;
      return static_cast<A_long>(capacity - 1);
    }
    return wanted;
  }

  static A_long strcpy(A_char* dest, const A_char* src) {
    constexpr size_t capacity = sizeof(PF_OutData{}.return_msg);
    std::snprintf(dest, capacity, "%s", src);
    return static_cast<A_long>(strnlen(dest, capacity));
  }

  // suite broker

  static SPErr acquire_suite(const char* name, A_long version, const void** suite) {
    Simulated_Host* host = Simulated_Host::active();
    if (host == nullptr || name == nullptr || suite == nullptr) {
      return kSPBadParameterError;
    }
    *suite = nullptr;
    std::lock_guard lock(host->mutex_);
    const Simulated_Host::Suite_Key key{name, version};
    if (auto err = host->suite_errors_.find(key); err != host->suite_errors_.end()) {
      return err->second;
    }
    auto it = host->offered_.find(key);
    if (it == host->offered_.end()) {
      return kSPSuiteNotFoundError;
    }
    *suite = it->second;
    if (*suite != nullptr) {
      ++host->acquires_[key];
    }
    return kSPNoError;
  }

  static SPErr release_suite(const char* name, A_long version) {
    Simulated_Host* host = Simulated_Host::active();
    if (host == nullptr || name == nullptr) {
      return kSPBadParameterError;
    }
    std::lock_guard lock(host->mutex_);
    const Simulated_Host::Suite_Key key{name, version};
    if (host->releases_[key] >= host->acquires_[key]) {
      host->violation(std::string("\"") + name + "\" " + std::to_string(version) +
                      " released more often than acquired");
      return kSPSuiteAlreadyReleasedError;
    }
    ++host->releases_[key];
    return kSPNoError;
  }

  static A_Boolean is_equal(const char* a, const char* b) {
    return a != nullptr && b != nullptr && std::strcmp(a, b) == 0;
  }
  static SPErr allocate_block(size_t, void**) { return kSPUnimplementedError; }
  static SPErr free_block(void*) { return kSPUnimplementedError; }
  static SPErr reallocate_block(void*, size_t, void**) { return kSPUnimplementedError; }
  static SPErr undefined() { return kSPUnimplementedError; }

  // suites

  // Both hosts' format queries: the format of a world this library made.
  static PF_Err world_format_as(const char* function, const PF_EffectWorld* world, A_long* format) {
    int32_t err = 0;
    Simulated_Host::entered(Simulated_Host::active(), function, PF_Err_BAD_CALLBACK_PARAM, &err);
    if (err != 0) {
      return err;
    }
    return format != nullptr && World::format_of(world, format) ? PF_Err_NONE
                                                                : PF_Err_BAD_CALLBACK_PARAM;
  }
  static PF_Err get_pixel_format(const PF_EffectWorld* world, PF_PixelFormat* format) {
    return world_format_as(fn::get_pixel_format, world, format);
  }
  static PF_Err pr_get_pixel_format(const PF_EffectWorld* world, PrPixelFormat* format) {
    return world_format_as(fn::pr_get_pixel_format, world, format);
  }

  static PF_Err pr_add_pixel_format(PF_ProgPtr effect_ref, PrPixelFormat format) {
    int32_t err = 0;
    Simulated_Host* host = Simulated_Host::entered(
        Simulated_Host::from(effect_ref), fn::pr_add_pixel_format, PF_Err_BAD_CALLBACK_PARAM, &err);
    if (err != 0) {
      return err;
    }
    std::lock_guard lock(host->mutex_);
    host->supported_formats_.push_back(format);
    return PF_Err_NONE;
  }

  static PF_Err pr_clear_pixel_formats(PF_ProgPtr effect_ref) {
    int32_t err = 0;
    Simulated_Host* host =
        Simulated_Host::entered(Simulated_Host::from(effect_ref), fn::pr_clear_pixel_formats,
                                PF_Err_BAD_CALLBACK_PARAM, &err);
    if (err != 0) {
      return err;
    }
    std::lock_guard lock(host->mutex_);
    host->supported_formats_.clear();
    return PF_Err_NONE;
  }

  static PF_Err pr_new_world(PF_ProgPtr, A_u_long, A_u_long, A_long, PrPixelFormat,
                             PF_EffectWorld*) {
    return PF_Err_UNRECOGNIZED_PARAM_TYPE;
  }
  static PF_Err pr_dispose_world(PF_ProgPtr, PF_EffectWorld*) {
    return PF_Err_UNRECOGNIZED_PARAM_TYPE;
  }

  static PF_Err pr_match_frames(PF_ProgPtr effect_ref) {
    Simulated_Host* host = Simulated_Host::from(effect_ref);
    return host == nullptr ? PF_Err_BAD_CALLBACK_PARAM : host->enter(fn::pr_match_frames);
  }

  static prSuiteError app_info(A_long selector, void* info) {
    int32_t err = 0;
    Simulated_Host* host =
        Simulated_Host::entered(Simulated_Host::active(), fn::app_info, suiteError_Fail, &err);
    if (err != 0) {
      return err;
    }
    if (selector != PrAppInfo_Version || info == nullptr) {
      return suiteError_InvalidParms;
    }
    *static_cast<PrAppVersion*>(info) = host->identity_.app_version;
    return suiteError_NoError;
  }

  static PF_Err float_color(PF_ProgPtr effect_ref, const PF_ParamDef* color_def,
                            PF_PixelFloat* float_color) {
    int32_t err = 0;
    Simulated_Host* host = Simulated_Host::entered(
        Simulated_Host::from(effect_ref), fn::float_color, PF_Err_BAD_CALLBACK_PARAM, &err);
    if (err != 0) {
      return err;
    }
    if (color_def == nullptr || float_color == nullptr) {
      return PF_Err_BAD_CALLBACK_PARAM;
    }
    std::lock_guard lock(host->mutex_);
    const int32_t slot = host->store_.slot_of_record(*color_def);
    if (slot < 0 || color_def->param_type != PF_Param_COLOR) {
      return PF_Err_BAD_CALLBACK_PARAM;
    }
    *float_color = host->store_.color_float(slot);
    return PF_Err_NONE;
  }

  static PF_Err update_param_ui(PF_ProgPtr effect_ref, PF_ParamIndex index,
                                const PF_ParamDef* param) {
    int32_t err = 0;
    Simulated_Host* host = Simulated_Host::entered(
        Simulated_Host::from(effect_ref), fn::update_param_ui, PF_Err_BAD_CALLBACK_PARAM, &err);
    if (err != 0) {
      return err;
    }
    std::lock_guard lock(host->mutex_);
    if (param == nullptr || index < 0 || index > host->store_.size()) {
      return PF_Err_INVALID_INDEX;
    }
    host->update_ui_calls_.push_back(
        {index, param->param_type, param->ui_flags, param->flags, param->ui_height});
    return PF_Err_NONE;
  }

  static A_Err register_with_aegp(AEGP_GlobalRefcon, const A_char* name, AEGP_PluginID* id) {
    int32_t err = 0;
    Simulated_Host* host = Simulated_Host::entered(Simulated_Host::active(), fn::register_with_aegp,
                                                   PF_Err_BAD_CALLBACK_PARAM, &err);
    if (err != 0) {
      return err;
    }
    if (name == nullptr || id == nullptr) {
      return PF_Err_BAD_CALLBACK_PARAM;
    }
    std::lock_guard lock(host->mutex_);
    host->registered_name_ = name;
    *id = host->plugin_id_;
    return 0;
  }
};

// ---- The host ----------------------------------------------------------------------------

Simulated_Host::Simulated_Host(Host_Identity identity) : magic_(host_magic), identity_(identity) {
  in_data_.inter.checkout_param = &Host_Callbacks::checkout_param;
  in_data_.inter.checkin_param = &Host_Callbacks::checkin_param;
  in_data_.inter.add_param = &Host_Callbacks::add_param;
  in_data_.inter.abort = &Host_Callbacks::abort;
  in_data_.inter.progress = &Host_Callbacks::progress;
  in_data_.inter.register_ui = &Host_Callbacks::register_ui;

  utils_.host_new_handle = &Host_Callbacks::new_handle;
  utils_.host_lock_handle = &Host_Callbacks::lock_handle;
  utils_.host_unlock_handle = &Host_Callbacks::unlock_handle;
  utils_.host_dispose_handle = &Host_Callbacks::dispose_handle;
  utils_.host_get_handle_size = &Host_Callbacks::handle_size;
  utils_.iterate_generic = &Host_Callbacks::iterate_generic;
  utils_.ansi.sprintf = &Host_Callbacks::sprintf;
  utils_.ansi.strcpy = &Host_Callbacks::strcpy;
  in_data_.utils = &utils_;

  basic_suite_.AcquireSuite = &Host_Callbacks::acquire_suite;
  basic_suite_.ReleaseSuite = &Host_Callbacks::release_suite;
  basic_suite_.IsEqual = &Host_Callbacks::is_equal;
  basic_suite_.AllocateBlock = &Host_Callbacks::allocate_block;
  basic_suite_.FreeBlock = &Host_Callbacks::free_block;
  basic_suite_.ReallocateBlock = &Host_Callbacks::reallocate_block;
  basic_suite_.Undefined = &Host_Callbacks::undefined;
  in_data_.pica_basicP = &basic_suite_;

  in_data_.effect_ref = reinterpret_cast<PF_ProgPtr>(this);
  in_data_.appl_id = identity.appl_id;
  in_data_.version = {identity.api_major, identity.api_minor};
  in_data_.quality = 1;
  in_data_.time_step = 1;
  in_data_.local_time_step = 1;
  in_data_.time_scale = 25;
  in_data_.total_time = 250;
  in_data_.downsample_x = {1, 1};
  in_data_.downsample_y = {1, 1};
  in_data_.pixel_aspect_ratio = {1, 1};
  set_layer_size(1920, 1080);

  offer_suites();
  active_host.store(this);
}

Simulated_Host::~Simulated_Host() {
  Simulated_Host* self = this;
  active_host.compare_exchange_strong(self, nullptr);
  for (auto& [handle, block] : handles_) {
    delete reinterpret_cast<void**>(handle);
  }
}

void Simulated_Host::offer_suites() {
  handle_suite_ = {&Host_Callbacks::suite_new_handle, &Host_Callbacks::suite_lock_handle,
                   &Host_Callbacks::unlock_handle,    &Host_Callbacks::dispose_handle,
                   &Host_Callbacks::handle_size,      &Host_Callbacks::resize_handle};
  param_utils_suite_.PF_UpdateParamUI = &Host_Callbacks::update_param_ui;
  offered_[{kPFHandleSuite, kPFHandleSuiteVersion2}] = &handle_suite_;
  offered_[{kPFParamUtilsSuite, kPFParamUtilsSuiteVersion2}] = &param_utils_suite_;
  offer_custom_ui_suites();

  if (identity_.is_premiere()) {
    pixel_format_suite_.AddSupportedPixelFormat = &Host_Callbacks::pr_add_pixel_format;
    pixel_format_suite_.ClearSupportedPixelFormats = &Host_Callbacks::pr_clear_pixel_formats;
    pixel_format_suite_.NewWorldOfPixelFormat = &Host_Callbacks::pr_new_world;
    pixel_format_suite_.DisposeWorld = &Host_Callbacks::pr_dispose_world;
    pixel_format_suite_.GetPixelFormat = &Host_Callbacks::pr_get_pixel_format;
    utility_suite_.EffectWantsCheckedOutFramesToMatchRenderPixelFormat =
        &Host_Callbacks::pr_match_frames;
    app_info_suite_.GetAppInfo = &Host_Callbacks::app_info;
    offered_[{kPFPixelFormatSuite, kPFPixelFormatSuiteVersion1}] = &pixel_format_suite_;
    offered_[{kPFUtilitySuite, kPFUtilitySuiteVersion4}] = &utility_suite_;
    offered_[{kPrSDKAppInfoSuite, kPrSDKAppInfoSuiteVersion2}] = &app_info_suite_;
    return;
  }
  world_suite_.PF_GetPixelFormat = &Host_Callbacks::get_pixel_format;
  color_param_suite_.PF_GetFloatingPointColorFromColorDef = &Host_Callbacks::float_color;
  aegp_utility_suite_.AEGP_RegisterWithAEGP = &Host_Callbacks::register_with_aegp;
  offered_[{kPFWorldSuite, kPFWorldSuiteVersion2}] = &world_suite_;
  offered_[{kPFColorParamSuite, kPFColorParamSuiteVersion1}] = &color_param_suite_;
  offered_[{kAEGPUtilitySuite, kAEGPUtilitySuiteVersion7}] = &aegp_utility_suite_;
  offer_project_suites();
}

Simulated_Host* Simulated_Host::from(PF_ProgPtr effect_ref) {
  auto* host = reinterpret_cast<Simulated_Host*>(effect_ref);
  return host != nullptr && host->magic_ == host_magic ? host : nullptr;
}

Simulated_Host* Simulated_Host::active() {
  return active_host.load();
}

Simulated_Host* Simulated_Host::entered(Simulated_Host* host, const char* function, int32_t no_host,
                                        int32_t* err) {
  *err = host == nullptr ? no_host : host->enter(function);
  return host;
}

int32_t Simulated_Host::enter(const std::string& function) {
  int32_t code = 0;
  {
    std::lock_guard lock(mutex_);
    const int64_t call = ++calls_[function];
    auto it = faults_.find(function);
    if (it != faults_.end()) {
      for (const Fault& fault : it->second) {
        if (call >= fault.from_call && (fault.times < 0 || call < fault.from_call + fault.times)) {
          code = fault.code;
          break;
        }
      }
    }
  }
  if (call_observer_) {
    call_observer_(function);
  }
  return code;
}

void Simulated_Host::violation(const std::string& text) {
  // Its own lock: callers may hold the main one or not.
  std::lock_guard lock(violations_mutex_);
  violations_.push_back(text);
}

Delivery Simulated_Host::delivery() const {
  return {in_data_.width, in_data_.height,
          static_cast<double>(in_data_.downsample_x.num) / in_data_.downsample_x.den,
          static_cast<double>(in_data_.downsample_y.num) / in_data_.downsample_y.den};
}

PF_ParamDef** Simulated_Host::begin_command() {
  std::lock_guard lock(mutex_);
  store_.take_back_changes();
  return store_.make_array(delivery());
}

void Simulated_Host::set_layer_size(A_long width, A_long height) {
  in_data_.width = width;
  in_data_.height = height;
  in_data_.extent_hint = {0, 0, width, height};
}

void Simulated_Host::set_downsample(A_long num_x, A_u_long den_x, A_long num_y, A_u_long den_y) {
  if (den_x == 0 || den_y == 0) {
    throw Sim_Error("hosts never give a downsample factor with denominator 0");
  }
  in_data_.downsample_x = {num_x, den_x};
  in_data_.downsample_y = {num_y, den_y};
}

void Simulated_Host::set_pixel_aspect(A_long num, A_u_long den) {
  in_data_.pixel_aspect_ratio = {num, den};
}

void Simulated_Host::set_time(A_long current_time, A_long time_step, A_u_long time_scale) {
  in_data_.current_time = current_time;
  in_data_.time_step = time_step;
  in_data_.time_scale = time_scale;
}

void Simulated_Host::set_thread_count(int32_t threads) {
  if (threads < 1) {
    throw Sim_Error("a host runs at least one render thread");
  }
  thread_count_ = threads;
  // A host's render threads are running before it renders anything.
  render_threads_.reserve(threads);
}

void Simulated_Host::set_register_ui_present(bool present) {
  in_data_.inter.register_ui = present ? &Host_Callbacks::register_ui : nullptr;
}

void Simulated_Host::set_utils_present(bool present) {
  in_data_.utils = present ? &utils_ : nullptr;
}

int64_t Simulated_Host::calls(const std::string& function) const {
  std::lock_guard lock(mutex_);
  auto it = calls_.find(function);
  return it == calls_.end() ? 0 : it->second;
}

std::vector<Simulated_Host::Checkout_Call> Simulated_Host::checkout_calls() const {
  std::lock_guard lock(mutex_);
  return checkout_calls_;
}

std::vector<Simulated_Host::Update_Ui_Call> Simulated_Host::update_ui_calls() const {
  std::lock_guard lock(mutex_);
  return update_ui_calls_;
}

std::vector<PrPixelFormat> Simulated_Host::supported_pixel_formats() const {
  std::lock_guard lock(mutex_);
  return supported_formats_;
}

std::string Simulated_Host::registered_name() const {
  std::lock_guard lock(mutex_);
  return registered_name_;
}

int64_t Simulated_Host::sprintf_truncations() const {
  std::lock_guard lock(mutex_);
  return sprintf_truncations_;
}

void Simulated_Host::inject(const std::string& function, int32_t code, int64_t at_call,
                            int64_t times) {
  std::lock_guard lock(mutex_);
  faults_[function].push_back({code, at_call, times});
}

void Simulated_Host::remove_suite(const std::string& name, int32_t version) {
  fail_suite(name, version, kSPSuiteNotFoundError);
}

void Simulated_Host::fail_suite(const std::string& name, int32_t version, SPErr code) {
  std::lock_guard lock(mutex_);
  suite_errors_[{name, version}] = code;
}

void Simulated_Host::null_suite(const std::string& name, int32_t version) {
  std::lock_guard lock(mutex_);
  offered_[{name, version}] = nullptr;
}

int64_t Simulated_Host::acquires(const std::string& name, int32_t version) const {
  std::lock_guard lock(mutex_);
  auto it = acquires_.find({name, version});
  return it == acquires_.end() ? 0 : it->second;
}

int64_t Simulated_Host::releases(const std::string& name, int32_t version) const {
  std::lock_guard lock(mutex_);
  auto it = releases_.find({name, version});
  return it == releases_.end() ? 0 : it->second;
}

std::string Simulated_Host::imbalance() const {
  std::lock_guard lock(mutex_);
  std::string text;
  for (const auto& [key, count] : acquires_) {
    auto released = releases_.find(key);
    const int64_t out = count - (released == releases_.end() ? 0 : released->second);
    if (out != 0) {
      text += "\"" + key.first + "\" " + std::to_string(key.second) + " acquired " +
              std::to_string(out) + " more time(s) than released\n";
    }
  }
  for (const auto& [index, count] : checked_out_) {
    if (count != 0) {
      text += "parameter " + std::to_string(index) + " checked out " + std::to_string(count) +
              " more time(s) than checked in\n";
    }
  }
  if (!live_profiles_.empty()) {
    text += std::to_string(live_profiles_.size()) + " colour profile(s) not disposed\n";
  }
  if (!live_mem_handles_.empty()) {
    text += std::to_string(live_mem_handles_.size()) + " AEGP memory handle(s) not freed\n";
  }
  text += custom_ui_->imbalance();
  std::lock_guard violations_lock(violations_mutex_);
  for (const std::string& v : violations_) {
    text += v + "\n";
  }
  return text;
}

int64_t Simulated_Host::fresh_handle_blocks() const {
  return handle_memory_.fresh_blocks();
}

int64_t Simulated_Host::reused_handle_blocks() const {
  return handle_memory_.reused_blocks();
}

int64_t Simulated_Host::fresh_handle_bytes() const {
  return handle_memory_.fresh_bytes();
}

void Simulated_Host::set_handle_scribble(std::byte value) {
  handle_memory_.set_scribble(value);
}

int64_t Simulated_Host::live_handles() const {
  std::lock_guard lock(mutex_);
  return static_cast<int64_t>(handles_.size());
}

}  // namespace brel::sim

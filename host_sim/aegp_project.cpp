// The After Effects project as the AEGP suites show it: one project whose items are walked in
// order, each item's composition, and the working colour space's profile with its ICC data and
// approximate gamma. Handles are tokens that lead back to an item; profiles and ICC memory are
// counted until they are given back.

#include <cstdint>

#include "simulated_host.h"

namespace brel::sim {

namespace {

// Item k is the token k + 1 (null means "no item"); its composition is the same number in the
// composition range.
constexpr uintptr_t comp_base = 0x10000;

AEGP_ItemH item_handle(int32_t index) {
  return reinterpret_cast<AEGP_ItemH>(static_cast<uintptr_t>(index) + 1);
}

int32_t item_index(AEGP_ItemH item) {
  return static_cast<int32_t>(reinterpret_cast<uintptr_t>(item)) - 1;
}

}  // namespace

struct Project_Callbacks {
  static Simulated_Host* enter(const char* function, A_Err* err) {
    int32_t code = 0;
    Simulated_Host* host = Simulated_Host::entered(Simulated_Host::active(), function,
                                                   PF_Err_BAD_CALLBACK_PARAM, &code);
    *err = code;
    return host;
  }

  static bool valid_item(Simulated_Host* host, AEGP_ItemH item) {
    const int32_t index = item_index(item);
    return index >= 0 && index < static_cast<int32_t>(host->project_items_.size());
  }

  static A_Err num_projects(A_long* count) {
    *count = 1;
    return 0;
  }

  static A_Err project_by_index(A_long index, AEGP_ProjectH* project) {
    A_Err err = 0;
    Simulated_Host* host = enter(fn::project_by_index, &err);
    if (err != 0) {
      return err;
    }
    if (index != 0 || project == nullptr) {
      return PF_Err_BAD_CALLBACK_PARAM;
    }
    *project = reinterpret_cast<AEGP_ProjectH>(host);
    return 0;
  }

  static A_Err first_item(AEGP_ProjectH project, AEGP_ItemH* item) {
    A_Err err = 0;
    Simulated_Host* host = enter(fn::first_item, &err);
    if (err != 0) {
      return err;
    }
    if (project != reinterpret_cast<AEGP_ProjectH>(host) || item == nullptr) {
      return PF_Err_BAD_CALLBACK_PARAM;
    }
    std::lock_guard lock(host->mutex_);
    *item = host->project_items_.empty() ? nullptr : item_handle(0);
    return 0;
  }

  static A_Err next_item(AEGP_ProjectH project, AEGP_ItemH item, AEGP_ItemH* next) {
    A_Err err = 0;
    Simulated_Host* host = enter(fn::next_item, &err);
    if (err != 0) {
      return err;
    }
    std::lock_guard lock(host->mutex_);
    if (project != reinterpret_cast<AEGP_ProjectH>(host) || !valid_item(host, item) ||
        next == nullptr) {
      return PF_Err_BAD_CALLBACK_PARAM;
    }
    const int32_t following = item_index(item) + 1;
    *next = following < static_cast<int32_t>(host->project_items_.size()) ? item_handle(following)
                                                                          : nullptr;
    return 0;
  }

  static A_Err item_type(AEGP_ItemH item, AEGP_ItemType* type) {
    A_Err err = 0;
    Simulated_Host* host = enter(fn::item_type, &err);
    if (err != 0) {
      return err;
    }
    std::lock_guard lock(host->mutex_);
    if (!valid_item(host, item) || type == nullptr) {
      return PF_Err_BAD_CALLBACK_PARAM;
    }
    *type = host->project_items_[static_cast<size_t>(item_index(item))];
    return 0;
  }

  static A_Err comp_from_item(AEGP_ItemH item, AEGP_CompH* comp) {
    A_Err err = 0;
    Simulated_Host* host = enter(fn::comp_from_item, &err);
    if (err != 0) {
      return err;
    }
    std::lock_guard lock(host->mutex_);
    if (!valid_item(host, item) || comp == nullptr ||
        host->project_items_[static_cast<size_t>(item_index(item))] != AEGP_ItemType_COMP) {
      return PF_Err_BAD_CALLBACK_PARAM;
    }
    *comp = reinterpret_cast<AEGP_CompH>(comp_base + reinterpret_cast<uintptr_t>(item));
    return 0;
  }

  static A_Err working_space_profile(AEGP_PluginID, AEGP_CompH comp, AEGP_ColorProfileP* profile) {
    A_Err err = 0;
    Simulated_Host* host = enter(fn::working_space_profile, &err);
    if (err != 0) {
      return err;
    }
    if (profile == nullptr) {
      return PF_Err_BAD_CALLBACK_PARAM;
    }
    std::lock_guard lock(host->mutex_);
    const int32_t item = comp == nullptr ? -1
                                         : item_index(reinterpret_cast<AEGP_ItemH>(
                                               reinterpret_cast<uintptr_t>(comp) - comp_base));
    host->profile_item_ = item;
    *profile = reinterpret_cast<AEGP_ColorProfileP>(new_token(host));
    host->live_profiles_[*profile] = item;
    return 0;
  }

  static A_Err icc_profile(AEGP_PluginID, AEGP_ConstColorProfileP profile, AEGP_MemHandle* icc) {
    A_Err err = 0;
    Simulated_Host* host = enter(fn::icc_profile, &err);
    if (err != 0) {
      return err;
    }
    std::lock_guard lock(host->mutex_);
    if (icc == nullptr || host->live_profiles_.count(profile) == 0) {
      return PF_Err_BAD_CALLBACK_PARAM;
    }
    *icc = reinterpret_cast<AEGP_MemHandle>(new_token(host));
    host->live_mem_handles_[*icc] = 0;
    return 0;
  }

  static A_Err approximate_gamma(AEGP_ConstColorProfileP profile, A_FpShort* gamma) {
    A_Err err = 0;
    Simulated_Host* host = enter(fn::approximate_gamma, &err);
    if (err != 0) {
      return err;
    }
    std::lock_guard lock(host->mutex_);
    if (gamma == nullptr || host->live_profiles_.count(profile) == 0) {
      return PF_Err_BAD_CALLBACK_PARAM;
    }
    *gamma = host->project_gamma_;
    return 0;
  }

  static A_Err dispose_profile(AEGP_ColorProfileP profile) {
    Simulated_Host* host = Simulated_Host::active();
    if (host == nullptr) {
      return PF_Err_BAD_CALLBACK_PARAM;
    }
    std::lock_guard lock(host->mutex_);
    if (host->live_profiles_.erase(profile) == 0) {
      host->violation("dispose of a colour profile the host never made");
      return PF_Err_BAD_CALLBACK_PARAM;
    }
    return 0;
  }

  static A_Err new_mem_handle(AEGP_PluginID, const A_char*, A_u_longlong, A_long, AEGP_MemHandle*) {
    return PF_Err_UNRECOGNIZED_PARAM_TYPE;
  }

  static A_Err free_mem_handle(AEGP_MemHandle handle) {
    A_Err err = 0;
    Simulated_Host* host = enter(fn::free_mem_handle, &err);
    if (err != 0) {
      return err;
    }
    std::lock_guard lock(host->mutex_);
    if (host->live_mem_handles_.erase(handle) == 0) {
      host->violation("free of an AEGP memory handle the host never made");
      return PF_Err_BAD_CALLBACK_PARAM;
    }
    return 0;
  }

  // Distinct non-null tokens; never dereferenced. Caller holds the mutex.
  static void* new_token(Simulated_Host* host) {
    return reinterpret_cast<void*>(0x100000 + ++host->tokens_made_ * 16);
  }
};

void Simulated_Host::offer_project_suites() {
  project_suite_ = {&Project_Callbacks::num_projects, &Project_Callbacks::project_by_index};
  item_suite_ = {&Project_Callbacks::first_item, &Project_Callbacks::next_item,
                 &Project_Callbacks::item_type};
  comp_suite_ = {&Project_Callbacks::comp_from_item};
  memory_suite_ = {&Project_Callbacks::new_mem_handle, &Project_Callbacks::free_mem_handle};
  color_settings_suite_ = {&Project_Callbacks::working_space_profile,
                           &Project_Callbacks::icc_profile, &Project_Callbacks::approximate_gamma,
                           &Project_Callbacks::dispose_profile};
  offered_[{kAEGPProjSuite, kAEGPProjSuiteVersion8}] = &project_suite_;
  offered_[{kAEGPItemSuite, kAEGPItemSuiteVersion10}] = &item_suite_;
  offered_[{kAEGPCompSuite, kAEGPCompSuiteVersion9}] = &comp_suite_;
  offered_[{kAEGPMemorySuite, kAEGPMemorySuiteVersion1}] = &memory_suite_;
  offered_[{kPFColorSettingsSuite, kPFColorSettingsSuiteVersion3}] = &color_settings_suite_;
}

void Simulated_Host::set_project(std::vector<AEGP_ItemType> items, float gamma) {
  std::lock_guard lock(mutex_);
  project_items_ = std::move(items);
  project_gamma_ = gamma;
}

int32_t Simulated_Host::profile_item() const {
  std::lock_guard lock(mutex_);
  return profile_item_;
}

}  // namespace brel::sim

#include "base/after_effects/after_effects_project.h"

#include <atomic>

#include "base/after_effects/helper/ae_exception.h"
#include "base/after_effects/helper/ae_suite.h"

namespace brel {
namespace {

// Written at global set-up, which the host runs before any render reads it.
std::atomic<AEGP_PluginID> plugin_id{0};

void check(A_Err result, Report_Position at) {
  if (result != 0) {
    throw Exception_After_Effects("After Effects Suite Error (A_Err)", result, at);
  }
}

}  // namespace

AEGP_PluginID ae_plugin_id() {
  return plugin_id.load();
}

void set_ae_plugin_id(AEGP_PluginID id) {
  plugin_id.store(id);
}

float working_space_gamma(SPBasicSuite* basic_suite) {
  Suite_Guard<AEGP_ProjSuite8> projects(basic_suite, kAEGPProjSuite, 8);
  Suite_Guard<AEGP_ItemSuite10> items(basic_suite, kAEGPItemSuite, 10);
  Suite_Guard<AEGP_MemorySuite1> memory(basic_suite, kAEGPMemorySuite, 1);
  Suite_Guard<PF_ColorSettingsSuite3> colors(basic_suite, kPFColorSettingsSuite, 3);
  Suite_Guard<AEGP_CompSuite9> comps(basic_suite, kAEGPCompSuite, 9);

  AEGP_ProjectH project = nullptr;
  check(projects->AEGP_GetProjectByIndex(0, &project), report::project_by_index);
  AEGP_ItemH item = nullptr;
  check(items->AEGP_GetFirstProjItem(project, &item), report::project_first_item);
  AEGP_CompH comp = nullptr;
  for (bool first = true; item != nullptr; first = false) {
    AEGP_ItemType type = AEGP_ItemType_NONE;
    check(items->AEGP_GetItemType(item, &type),
          first ? report::project_first_item_type : report::project_next_item_type);
    if (type == AEGP_ItemType_COMP) {
      check(comps->AEGP_GetCompFromItem(item, &comp), report::project_comp_of_item);
      break;
    }
    check(items->AEGP_GetNextProjItem(project, item, &item), report::project_next_item);
  }

  const AEGP_PluginID id = ae_plugin_id();
  AEGP_ColorProfileP profile = nullptr;
  check(colors->AEGP_GetNewWorkingSpaceColorProfile(id, comp, &profile),
        report::project_working_space);
  AEGP_MemHandle icc_profile = nullptr;
  A_FpShort gamma = 0.0f;
  try {
    check(colors->AEGP_GetNewICCProfileFromColorProfile(id, profile, &icc_profile),
          report::project_icc_profile);
    const A_Err gamma_result = colors->AEGP_GetColorProfileApproximateGamma(profile, &gamma);
    if (gamma_result != 0) {
      // The ICC memory is the effect's to free on every way out.
      memory->AEGP_FreeMemHandle(icc_profile);
    }
    check(gamma_result, report::project_gamma);
    check(memory->AEGP_FreeMemHandle(icc_profile), report::project_free_icc_profile);
  } catch (...) {
    colors->AEGP_DisposeColorProfile(profile);
    throw;
  }
  // The profile was made for this question alone.
  colors->AEGP_DisposeColorProfile(profile);
  return gamma;
}

}  // namespace brel

#include "effect/render_settings.h"

namespace brel {

namespace {

bool overrides(int32_t override_all) {
  return override_all >= override_all_off && override_all <= override_all_smooth;
}

}  // namespace

Quality_Levels quality_levels(int32_t override_all, int32_t caustics_antialias,
                              int32_t oversampling_antialias) {
  if (overrides(override_all)) {
    // "low (1x)" oversamples but draws the caustics edges without coverage, as "off" does.
    static constexpr int32_t caustics_by_override[4] = {1, 1, 2, 3};
    return {caustics_by_override[override_all - 1], override_all};
  }
  return {caustics_antialias + 1, oversampling_antialias + 1};
}

int32_t gather_mode(int32_t override_all, int32_t antialias) {
  return overrides(override_all) ? override_all : antialias + 1;
}

float depth_scale_from_factor(double depth_factor) {
  return static_cast<float>(depth_factor * 1.4142136);
}

bool ends_after(int32_t render_mode, Pipeline_Stage stage) {
  switch (render_mode) {
    case render_mode_surface_color:
      return stage == Pipeline_Stage::pre_color_correction;
    case render_mode_depthmap:
      return stage == Pipeline_Stage::pre_blur;
    case render_mode_normalmap:
      return stage == Pipeline_Stage::normal_generation;
    case render_mode_shadow_only:
      return stage == Pipeline_Stage::shadows;
    case render_mode_caustix_only:
      return stage == Pipeline_Stage::caustics;
    default:
      return false;
  }
}

void apply_render_mode(int32_t render_mode, const Render_Mode_Targets& targets) {
  if (render_mode == render_mode_refraction_only) {
    *targets.point_intensity = 0.0f;
    *targets.direct_intensity = 0.0f;
    *targets.illumination_amount = 0.0f;
    *targets.reflection_amount = 0.0f;
    *targets.transparency = 1.0f;
    *targets.caustix = 0.0f;
  } else if (render_mode == render_mode_highlights_only) {
    *targets.transparency = 0.0f;
    *targets.illumination_amount = 0.0f;
    *targets.caustix = 0.0f;
    *targets.highlights_only = true;
  }
}

}  // namespace brel

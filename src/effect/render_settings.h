#pragma once

// The working values a render derives from the quality and render-mode controls before its
// first stage: quality levels, the depth scale, and what each render mode changes and where it
// ends the run.

#include <cstdint>

namespace brel {

// Items of "render mode", 0-based.
enum Render_Mode : int32_t {
  render_mode_all = 0,
  render_mode_refraction_only = 1,
  render_mode_caustix_only = 2,
  render_mode_shadow_only = 3,
  render_mode_highlights_only = 4,
  render_mode_normalmap = 5,
  render_mode_depthmap = 6,
  render_mode_surface_color = 7,
};

// Items of "override all", 0-based: "-" leaves each quality popup in charge; the others set
// every quality at once, each equal to the matching items of the individual popups.
enum Override_All : int32_t {
  override_all_none = 0,
  override_all_off = 1,
  override_all_low = 2,
  override_all_sharp = 3,
  override_all_smooth = 4,
};

struct Quality_Levels {
  int32_t caustics_quality = 1;  // 1 to 3: edge coverage of the caustics triangles
  int32_t oversampling = 1;      // 1 to 4: samples of the final shading
};

// The quality rule: "override all" (0-based) when it is set, else the individual popups
// "caustics antialias" and "oversampling antialias" (0-based) plus one.
Quality_Levels quality_levels(int32_t override_all, int32_t caustics_antialias,
                              int32_t oversampling_antialias);

// The gather mode (1 to 4) of a texture record: "override all" when it is set, else the
// record's own antialias popup (0-based) plus one.
int32_t gather_mode(int32_t override_all, int32_t antialias);

// "depth factor" times 1.4142136, multiplied in double and then narrowed. The constant is the
// rounded one the stages were tuned with, not the exact square root of two.
float depth_scale_from_factor(double depth_factor);

// The stages of a render, in the order they run.
enum class Pipeline_Stage : int32_t {
  pre_color_correction,
  pre_blur,
  normal_generation,
  shadows,   // point shadow, directional shadow, shadow smoothing
  caustics,  // caustics and the caustics fill
  refraction_and_occlusion,
  final_shading,
};

// True when the render mode ends the run after `stage`: the debug modes stop as soon as the
// output holds their view. Unknown modes render everything, as "all" does.
bool ends_after(int32_t render_mode, Pipeline_Stage stage);

// The values a render mode may overwrite once the records are built. The lights' shadows flags
// are not among them: they stay as the parameters gave them.
struct Render_Mode_Targets {
  float* point_intensity;
  float* direct_intensity;
  float* illumination_amount;
  float* reflection_amount;
  float* transparency;
  float* caustix;
  bool* highlights_only;
};

// "refraction only" switches off both lights, the environment's illumination and reflection and
// the caustics, and makes the surface fully transparent; "highlights only" drops transparency,
// illumination and caustics and keeps only the highlights. Other modes change nothing.
void apply_render_mode(int32_t render_mode, const Render_Mode_Targets& targets);

}  // namespace brel

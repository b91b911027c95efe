#pragma once

// Which controls a render mode and a few switches make meaningless. They are greyed out in the
// host's panel, never hidden, and keep their values.

#include <cstdint>
#include <vector>

namespace brel {

// The control values the rules depend on.
struct Enabling_Inputs {
  int32_t render_mode = 0;  // 0-based item
  bool direct_shadows = true;
  bool point_shadows = true;
  bool has_environment_layer = false;
  bool has_normal_texture = false;
  int32_t pre_blur_iterations = 0;
  bool discontinuity_detection = false;
  bool has_surface_color_texture = false;
  double transparency = 0.0;
  int32_t override_all = 0;  // 0-based item
};

struct Enabling {
  int32_t slot;
  bool enabled;
};

// One entry per rule-governed control, in ascending slot order; the controls the rules never
// change (render mode, depth factor, group ends, the original-image group, override all) are
// absent.
std::vector<Enabling> enabling_rules(const Enabling_Inputs& inputs);

}  // namespace brel

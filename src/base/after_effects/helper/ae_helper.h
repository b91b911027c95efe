#pragma once

// Small stateless queries over the host's records that the rest of the host adapter uses to
// tell the hosts apart and to describe what they hand over: which host is calling and in which
// versions, how a world's pixels are laid out, the frame's downsample and aspect factors,
// rectangle conversions, and the layer records made from host worlds.

#include <cstdint>
#include <string>

#include "base/host_context.h"
#include "base/layer_description.h"
#include "base/plugin_context.h"
#include "host_api.h"

namespace brel {

// The pixel layouts of the host formats. ARGB: red 1, green 2, blue 3, alpha 0; BGRA: red 2,
// green 1, blue 0, alpha 3.
constexpr Pixel_Description pixel_description_argb(int64_t bits) {
  return {Pixel_Description::packed_color, bits, 1, 2, 3, 0};
}
constexpr Pixel_Description pixel_description_bgra(int64_t bits) {
  return {Pixel_Description::packed_color, bits, 2, 1, 0, 3};
}

bool host_is_premiere(const PF_InData* in_data);
bool host_is_after_effects(const PF_InData* in_data);

// True when the host's effect interface version is major.minor or newer.
bool api_version_at_least(const PF_InData* in_data, int32_t major, int32_t minor);

// The Premiere Pro application version; only under Premiere Pro.
struct Premiere_Version {
  uint32_t major = 0;
  uint32_t minor = 0;
  uint32_t patch = 0;
};
Premiere_Version premiere_version(const PF_InData* in_data);
// False under any other host.
bool premiere_version_at_least(const PF_InData* in_data, uint32_t major, uint32_t minor,
                               uint32_t patch);

// "After Effects v13.28" or "Premiere v24.1.0" (nothing for other hosts), then
// "(app id: FXTC)".
std::string host_version_line(const PF_InData* in_data);

// How the pixels of a host world are laid out; an unsupported format fails ASSERT_INCOMPLETE.
Pixel_Description world_pixel_description(const PF_EffectWorld* world, const PF_InData* in_data);

struct Downsample_Factors {
  float x = 1.0f;
  float y = 1.0f;
};
Downsample_Factors downsample_factors(const PF_InData* in_data);
float pixel_aspect_ratio(const PF_InData* in_data);

Rect rect_from_pf_rect(const PF_LRect& rect);
// Each edge is cut to 32 bits.
PF_LRect pf_rect_from_rect(const Rect& rect);

// The area of a layer as a pre-render checkout reported it.
Render_Region make_render_region(const PF_InData* in_data, const PF_CheckoutResult& result);

// The layer record of a host world.
Layer_Typeless make_layer_description(const PF_EffectWorld* world, float downsample_x,
                                      float downsample_y, const Pixel_Description& pixels);

namespace ae {

// The host context of one command. Built without host data it reports Premiere Pro.
Host_Context host_context(const PF_InData* in_data);

}  // namespace ae

}  // namespace brel

#pragma once

// The drawing side of custom controls: the effect panel's colour, images drawn into the panel
// through the host's drawing suites, and the frame entering or leaving the effect as the host
// renders it for the panel.

#include <cstdint>
#include <memory>

#include "base/layer_description.h"
#include "host_api.h"

namespace brel {

// The panel's background colour. Without the host's colour (no suite broker, a missing suite,
// a failing call) the outputs keep their values; older Premiere Pro hosts draw their panels in
// grey 116.
void ui_background_color(PF_InData* in_data, uint8_t& red, uint8_t& green, uint8_t& blue);

// Draws 8-bit BGRA pixels (rows of exactly `width` pixels) at the event's drawing origin.
void draw_image(PF_InData* in_data, PF_EventExtra* extra, const uint8_t* pixels, int32_t width,
                int32_t height);

namespace ae {

// The frame entering the effect (`input` true) or leaving it, empty while the host is still
// rendering it or when the host lacks the suites to ask. The record holds the frame until the
// last copy of the pointer goes; it must not outlive the host command.
std::shared_ptr<Layer_Typeless> get_effect_frame(bool input, PF_InData* in_data,
                                                 PF_EventExtra* extra);

}  // namespace ae
}  // namespace brel

#pragma once

// Texture layers of a render: how a layer parameter's texture is found in the layer map and
// viewed as the frame's pixel type, and the two records that bundle textures with their scalar
// settings for the refraction and caustics stages and for the occlusion and final stages.

#include <cstdint>

#include "base/kernel.h"
#include "base/layer.h"
#include "base/layer_description.h"
#include "base/parameter.h"
#include "kernel/refraction_vector.h"

namespace brel {

class Parameter_Set;

// The texture of a layer parameter: the map's entry under the parameter's identifier. A
// parameter without an entry gets a default one, inserted into `layers`, so an absent texture
// is an empty view and the lookup never fails.
template <class T>
Layer<T> texture_view(Layer_Map& layers, const Layer_Parameter& parameter) {
  return layer_view<T>(layers[parameter.description().identifier]);
}

// Settings of the environment: reflections, illumination and occlusion.
template <class T>
struct Environment_Parameter {
  Layer<T> environment_texture;
  Layer<T> reflection_texture;
  Layer<T> glossiness_texture;
  int32_t gather_mode = 1;  // 1 to 4
  float perspective = 0.0f;
  float depth_scale = 0.0f;
  float gamma = 1.0f;
  float glossiness = 0.0f;
  int64_t environment_type = 0;  // 0 panoramic, 1 spherical
  float blur_illumination = 0.0f;
  float illumination_amount = 0.0f;
  Rgb_Value illumination_color{0.0f, 0.0f, 0.0f};
  float reflection_amount = 0.0f;
  float reflection_bias = 0.0f;
  float occlusion_amount = 0.0f;
  int64_t occlusion_radius = 0;
  bool quick_mode = false;
};

// Each builder looks its textures up in its own copy of the map; what the lookups insert is
// discarded with it.
template <class T>
Refraction_Parameter<T, Implementation_Cpu> prepare_refraction_parameter(
    const Parameter_Set& parameters, Layer_Map layers);

template <class T>
Environment_Parameter<T> prepare_environment_parameter(const Parameter_Set& parameters,
                                                       Layer_Map layers);

}  // namespace brel

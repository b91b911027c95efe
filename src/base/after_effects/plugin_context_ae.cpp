#include "base/after_effects/plugin_context_ae.h"

#include "base/after_effects/after_effects_layer.h"
#include "base/after_effects/after_effects_parameter.h"
#include "base/after_effects/after_effects_project.h"
#include "base/after_effects/helper/ae_helper.h"
#include "base/plugin.h"

namespace brel {

int find_parameter_index(const std::list<Parameter*>& parameters, const std::string& identifier) {
  if (identifier == "Source") {
    return 0;
  }
  for (Parameter* parameter : parameters) {
    auto* layer = dynamic_cast<Layer_Parameter_AE*>(parameter);
    if (layer != nullptr && layer->description().identifier == identifier) {
      return layer->index;
    }
  }
  return -1;
}

Layer_Description output_description(const PF_InData* in_data) {
  const auto factors = downsample_factors(in_data);
  Layer_Description description;
  description.width = static_cast<int64_t>(static_cast<float>(in_data->width) * factors.x);
  description.height = static_cast<int64_t>(static_cast<float>(in_data->height) * factors.y);
  description.origin_x = in_data->output_origin_x;
  description.origin_y = in_data->output_origin_y;
  description.scale_x = factors.x;
  description.scale_y = factors.y;
  description.pixel_aspect = pixel_aspect_ratio(in_data);
  description.flag = 0;
  return description;
}

std::vector<Layer_Parameter_AE*> texture_layer_parameters(const std::list<Parameter*>& parameters) {
  std::vector<Layer_Parameter_AE*> layers;
  for (Parameter* parameter : parameters) {
    auto* layer = dynamic_cast<Layer_Parameter_AE*>(parameter);
    if (layer == nullptr) {
      continue;
    }
    if (layer->index < 1) {
      break;
    }
    layers.push_back(layer);
  }
  return layers;
}

Plugin_Context plugin_context(PF_InData* in_data, PF_OutData* /*out_data*/, Plugin* plugin) {
  Plugin_Context context;
  context.layer_as_channel = [in_data, plugin](std::string name, Channel::Category category,
                                               Channel::Type type) {
    const int index = find_parameter_index(plugin->parameters(), name);
    return ae::checkout_channel(in_data, index, category, type);
  };
  context.gamma = [basic_suite = in_data->pica_basicP] {
    return static_cast<double>(working_space_gamma(basic_suite));
  };
  context.layer_by_name = [in_data, plugin](std::string name) {
    const int index = find_parameter_index(plugin->parameters(), name);
    return ae::checkout_layer(in_data, index);
  };
  context.output_description = [in_data] { return output_description(in_data); };
  return context;
}

}  // namespace brel

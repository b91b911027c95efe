#include "base/plugin.h"

#include <stdexcept>

namespace brel {

namespace {

const Render_Region& region_of(const Region_Map& regions, const std::string& name) {
  const auto entry = regions.find(name);
  if (entry == regions.end()) {
    throw std::out_of_range("map::at:  key not found");
  }
  return entry->second;
}

}  // namespace

void Plugin::update_params_ui(Plugin_Context) {}

void Plugin::on_user_changed_param(Plugin_Context, Render_Context, std::string) {}

void Plugin::render(Plugin_Context, Render_Context, Layer_Typeless, Layer_Typeless, Layer_Map,
                    Pixel_Description) {}

Render_Region Plugin::lookup_record(Plugin_Context, const Region_Map& regions) {
  return region_of(regions, host_context_.input_layer_name());
}

Rect Plugin::lookup_record_by_name(Plugin_Context, const std::string& name,
                                   const Region_Map& regions, Rect requested) {
  if (name == host_context_.input_layer_name()) {
    return requested;
  }
  return region_of(regions, name).rect;
}

}  // namespace brel

#include "parameter_store.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>

namespace brel::sim {

namespace {

std::string name_of(const PF_ParamDef& def) {
  return std::string(def.name, strnlen(def.name, sizeof def.name));
}

// Group headings are compared without "_", blanks and case: "_POINT LIGHT_" is "point light".
std::string folded(const std::string& text) {
  std::string out;
  for (const char c : text) {
    if (c != '_' && c != ' ') {
      out += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
  }
  return out;
}

PF_Fixed to_fixed(double value) {
  return static_cast<PF_Fixed>(std::lround(value * 65536.0));
}

}  // namespace

std::string kind_name(PF_ParamType type) {
  switch (type) {
    case PF_Param_LAYER:
      return "layer";
    case PF_Param_SLIDER:
      return "slider";
    case PF_Param_ANGLE:
      return "angle";
    case PF_Param_CHECKBOX:
      return "checkbox";
    case PF_Param_COLOR:
      return "color";
    case PF_Param_POINT:
      return "point";
    case PF_Param_POPUP:
      return "popup";
    case PF_Param_FLOAT_SLIDER:
      return "float slider";
    case PF_Param_ARBITRARY_DATA:
      return "arbitrary data";
    case PF_Param_GROUP_START:
      return "group start";
    case PF_Param_GROUP_END:
      return "group end";
    case PF_Param_BUTTON:
      return "button";
    default:
      return "type " + std::to_string(type);
  }
}

int32_t Parameter_Store::add(const PF_ParamDef& definition, int32_t add_index) {
  Stored_Param& p = params_.emplace_back();
  p.definition = definition;
  p.add_index = add_index;
  p.group = open_groups_.empty() ? std::string() : open_groups_.back();

  PF_ParamDef& def = p.definition;
  switch (def.param_type) {
    case PF_Param_POPUP:
      if (def.u.pd.u.namesptr != nullptr) {
        p.popup_names = def.u.pd.u.namesptr;
      }
      def.u.pd.u.namesptr = p.popup_names.c_str();
      break;
    case PF_Param_CHECKBOX:
      if (def.u.bd.u.nameptr != nullptr) {
        p.checkbox_name = def.u.bd.u.nameptr;
      }
      def.u.bd.u.nameptr = p.checkbox_name.c_str();
      break;
    case PF_Param_BUTTON:
      if (def.u.button_d.u.namesptr != nullptr) {
        p.button_label = def.u.button_d.u.namesptr;
      }
      def.u.button_d.u.namesptr = p.button_label.c_str();
      break;
    case PF_Param_GROUP_START:
      open_groups_.push_back(name_of(def));
      break;
    case PF_Param_GROUP_END:
      if (!open_groups_.empty()) {
        open_groups_.pop_back();
      }
      break;
    default:
      break;
  }

  p.value = def.u;
  // Arbitrary data starts out as its default handle, as a host holds it.
  if (def.param_type == PF_Param_ARBITRARY_DATA) {
    p.value.arb_d.value = def.u.arb_d.dephault;
  }
  if (def.param_type == PF_Param_COLOR) {
    const PF_Pixel& c = def.u.cd.value;
    p.color_float = {c.alpha / 255.0f, c.red / 255.0f, c.green / 255.0f, c.blue / 255.0f};
  }
  return size() - 1;
}

void Parameter_Store::clear() {
  params_.clear();
  open_groups_.clear();
  entries_.clear();
  pointers_.clear();
}

const Parameter_Store::Stored_Param& Parameter_Store::at(int32_t slot) const {
  if (slot < 0 || slot >= size()) {
    throw Sim_Error("no parameter in slot " + std::to_string(slot) + " (" + std::to_string(size()) +
                    " registered)");
  }
  return params_[static_cast<size_t>(slot)];
}

Parameter_Store::Stored_Param& Parameter_Store::at_kind(int32_t slot, PF_ParamType kind) {
  const Stored_Param& p = at(slot);
  if (p.definition.param_type != kind) {
    throw Sim_Error("slot " + std::to_string(slot) + " (\"" + name_of(p.definition) +
                    "\") is of kind " + kind_name(p.definition.param_type) + ", not " +
                    kind_name(kind));
  }
  return params_[static_cast<size_t>(slot)];
}

int32_t Parameter_Store::slot(Slot slot) const {
  at(slot.value);
  return slot.value;
}

int32_t Parameter_Store::slot(Id id) const {
  std::vector<int32_t> found;
  for (int32_t s = 0; s < size(); ++s) {
    if (params_[static_cast<size_t>(s)].definition.uu.id == id.value) {
      found.push_back(s);
    }
  }
  if (found.size() == 1) {
    return found.front();
  }
  if (found.empty()) {
    throw Sim_Error("no parameter has host id " + std::to_string(id.value));
  }
  std::string text = "host id " + std::to_string(id.value) + " belongs to";
  for (size_t i = 0; i < found.size(); ++i) {
    text += (i == 0 ? " slot " : (i + 1 == found.size() ? " and slot " : ", slot ")) +
            std::to_string(found[i]) + " (\"" + name_of(at(found[i]).definition) + "\")";
  }
  throw Sim_Error(text + "; set it by slot or by name");
}

int32_t Parameter_Store::slot(const std::string& name) const {
  std::vector<int32_t> found;
  for (int32_t s = 0; s < size(); ++s) {
    if (name_of(params_[static_cast<size_t>(s)].definition) == name) {
      found.push_back(s);
    }
  }
  const size_t divider = name.rfind('/');
  if (found.empty() && divider != std::string::npos) {
    const std::string group = folded(name.substr(0, divider));
    const std::string bare = name.substr(divider + 1);
    for (int32_t s = 0; s < size(); ++s) {
      const Stored_Param& p = params_[static_cast<size_t>(s)];
      if (name_of(p.definition) == bare && folded(p.group) == group) {
        found.push_back(s);
      }
    }
  }
  if (found.size() == 1) {
    return found.front();
  }
  if (found.empty()) {
    throw Sim_Error("no parameter is named \"" + name + "\"");
  }
  std::string text = "the name \"" + name + "\" is ambiguous; choose one of:";
  for (const int32_t s : found) {
    const Stored_Param& p = at(s);
    text += " \"" + folded(p.group) + "/" + name_of(p.definition) + "\" (slot " +
            std::to_string(s) + ")";
  }
  throw Sim_Error(text);
}

void Parameter_Store::set_int_at(int32_t slot, int32_t value) {
  at_kind(slot, PF_Param_SLIDER).value.sd.value = value;
}

void Parameter_Store::set_float_at(int32_t slot, double value) {
  at_kind(slot, PF_Param_FLOAT_SLIDER).value.fs_d.value = value;
}

void Parameter_Store::set_angle_at(int32_t slot, double degrees) {
  at_kind(slot, PF_Param_ANGLE).value.ad.value = to_fixed(degrees);
}

void Parameter_Store::set_checkbox_at(int32_t slot, bool value) {
  at_kind(slot, PF_Param_CHECKBOX).value.bd.value = value ? 1 : 0;
}

void Parameter_Store::set_popup_at(int32_t slot, int32_t index) {
  Stored_Param& p = at_kind(slot, PF_Param_POPUP);
  if (index < 0 || index >= p.definition.u.pd.num_choices) {
    throw Sim_Error("popup \"" + name_of(p.definition) + "\" has " +
                    std::to_string(p.definition.u.pd.num_choices) + " entries, not an entry " +
                    std::to_string(index));
  }
  p.value.pd.value = index + 1;
}

void Parameter_Store::set_point_at(int32_t slot, double x, double y) {
  Stored_Param& p = at_kind(slot, PF_Param_POINT);
  p.point_is_default = false;
  p.point_x = x;
  p.point_y = y;
}

void Parameter_Store::set_color_at(int32_t slot, PF_Pixel color) {
  Stored_Param& p = at_kind(slot, PF_Param_COLOR);
  p.value.cd.value = color;
  p.color_float = {color.alpha / 255.0f, color.red / 255.0f, color.green / 255.0f,
                   color.blue / 255.0f};
}

void Parameter_Store::set_color_float_at(int32_t slot, PF_PixelFloat color) {
  Stored_Param& p = at_kind(slot, PF_Param_COLOR);
  const auto byte = [](float f) {
    return static_cast<A_u_char>(std::lround(std::clamp(f, 0.0f, 1.0f) * 255.0f));
  };
  p.color_float = color;
  p.value.cd.value = {byte(color.alpha), byte(color.red), byte(color.green), byte(color.blue)};
}

void Parameter_Store::set_layer_at(int32_t slot, const PF_EffectWorld* world) {
  at_kind(slot, PF_Param_LAYER).layer = world;
}

namespace {

// A layer as a checkout or an array entry carries it: the world, marked assigned through its
// first field; or, without a layer, no pixels and no marker.
PF_LayerDef layer_entry(const PF_EffectWorld* world) {
  PF_LayerDef ld{};
  if (world != nullptr) {
    ld = *world;
    ld.reserved0 = const_cast<PF_EffectWorld*>(world);
  }
  return ld;
}

}  // namespace

PF_ParamDef Parameter_Store::deliver(int32_t host_index, const Delivery& delivery) const {
  PF_ParamDef out{};
  if (host_index == 0) {
    out.param_type = PF_Param_LAYER;
    out.u.ld = layer_entry(input_);
    return out;
  }
  const Stored_Param& p = at(host_index - 1);
  out = p.definition;
  out.u = p.value;
  switch (p.definition.param_type) {
    case PF_Param_POINT: {
      // The layer as currently rendered: full-resolution size times the downsample factors.
      double x = p.point_x * delivery.downsample_x;
      double y = p.point_y * delivery.downsample_y;
      if (p.point_is_default) {
        x = p.definition.u.td.x_dephault / 65536.0 / 100.0 * delivery.layer_width *
            delivery.downsample_x;
        y = p.definition.u.td.y_dephault / 65536.0 / 100.0 * delivery.layer_height *
            delivery.downsample_y;
      }
      out.u.td.x_value = to_fixed(x);
      out.u.td.y_value = to_fixed(y);
      break;
    }
    case PF_Param_LAYER:
      out.u.ld = layer_entry(p.layer);
      break;
    default:
      break;
  }
  return out;
}

int32_t Parameter_Store::slot_of_record(const PF_ParamDef& record) const {
  for (int32_t s = 0; s < size(); ++s) {
    const PF_ParamDef& def = params_[static_cast<size_t>(s)].definition;
    if (def.uu.id == record.uu.id && def.param_type == record.param_type &&
        std::memcmp(def.name, record.name, sizeof def.name) == 0) {
      return s;
    }
  }
  return -1;
}

PF_ParamDef** Parameter_Store::make_array(const Delivery& delivery) {
  entries_.clear();
  for (int32_t i = 0; i <= size(); ++i) {
    entries_.push_back(deliver(i, delivery));
    // In the array `uu` carries the change flags, which start clear.
    entries_.back().uu.change_flags = 0;
  }
  pointers_.clear();
  for (PF_ParamDef& entry : entries_) {
    pointers_.push_back(&entry);
  }
  return pointers_.data();
}

void Parameter_Store::take_back_changes() {
  for (size_t i = 1; i < entries_.size() && i <= params_.size(); ++i) {
    PF_ParamDef& entry = entries_[i];
    Stored_Param& p = params_[i - 1];
    if ((entry.uu.change_flags & PF_ChangeFlag_CHANGED_VALUE) == 0 ||
        entry.param_type != p.definition.param_type) {
      continue;
    }
    switch (entry.param_type) {
      case PF_Param_POINT:
      case PF_Param_LAYER:
        break;
      case PF_Param_COLOR:
        set_color_at(static_cast<int32_t>(i - 1), entry.u.cd.value);
        break;
      default:
        p.value = entry.u;
        break;
    }
    entry.uu.change_flags &= ~PF_ChangeFlag_CHANGED_VALUE;
  }
}

}  // namespace brel::sim

#include "param_setting.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <sstream>
#include <vector>

#include "options.h"

namespace lumbrix {

namespace {

using brel::sim::Parameter_Store;

std::string name_of(const PF_ParamDef& definition) {
  return std::string(definition.name, strnlen(definition.name, sizeof definition.name));
}

std::string label_of(const Parameter_Store::Stored_Param& p) {
  return p.group.empty() ? name_of(p.definition) : p.group + "/" + name_of(p.definition);
}

std::vector<std::string> popup_items(const Parameter_Store::Stored_Param& p) {
  std::vector<std::string> items;
  std::string item;
  for (const char c : p.popup_names) {
    if (c == '|') {
      items.push_back(item);
      item.clear();
    } else {
      item += c;
    }
  }
  if (!item.empty()) {
    items.push_back(item);
  }
  return items;
}

double parse_number(const std::string& label, const std::string& text) {
  double value = 0.0;
  const char* end = text.data() + text.size();
  const auto [rest, error] = std::from_chars(text.data(), end, value);
  if (error != std::errc() || rest != end || !std::isfinite(value)) {
    throw Usage_Error("\"" + label + "\" takes a number, not '" + text + "'");
  }
  return value;
}

std::vector<std::string> split(const std::string& text, char divider) {
  std::vector<std::string> parts;
  std::string part;
  std::istringstream stream(text);
  while (std::getline(stream, part, divider)) {
    parts.push_back(part);
  }
  return parts;
}

std::string number_text(double value) {
  std::ostringstream text;
  text << value;
  return text.str();
}

void check_range(const std::string& label, double value, double min, double max) {
  if (value < min || value > max) {
    throw Usage_Error("\"" + label + "\" takes values from " + number_text(min) + " to " +
                      number_text(max) + ", not " + number_text(value));
  }
}

double fixed_to_double(PF_Fixed value) {
  return value / 65536.0;
}

}  // namespace

int32_t find_slot(const Parameter_Store& store, const std::string& key) {
  try {
    for (const auto& [prefix, by_id] : {std::pair{"slot:", false}, std::pair{"id:", true}}) {
      if (key.rfind(prefix, 0) == 0) {
        const std::string digits = key.substr(std::strlen(prefix));
        int32_t number = 0;
        const auto [rest, error] =
            std::from_chars(digits.data(), digits.data() + digits.size(), number);
        if (digits.empty() || error != std::errc() || rest != digits.data() + digits.size()) {
          throw Usage_Error("'" + key + "' needs a whole number after " + prefix);
        }
        return by_id ? store.slot(brel::sim::Id{number}) : store.slot(brel::sim::Slot{number});
      }
    }
    return store.slot(key);
  } catch (const brel::sim::Sim_Error& e) {
    throw Usage_Error(e.what());
  }
}

void apply_setting(Parameter_Store& store, const std::string& key, const std::string& value) {
  const int32_t slot = find_slot(store, key);
  const Parameter_Store::Stored_Param& p = store.at(slot);
  const PF_ParamDef& definition = p.definition;
  const std::string label = label_of(p);
  const brel::sim::Slot at{slot};

  switch (definition.param_type) {
    case PF_Param_SLIDER: {
      const double number = parse_number(label, value);
      if (number != std::floor(number)) {
        throw Usage_Error("\"" + label + "\" takes a whole number, not '" + value + "'");
      }
      check_range(label, number, definition.u.sd.valid_min, definition.u.sd.valid_max);
      store.set_int(at, static_cast<int32_t>(number));
      return;
    }
    case PF_Param_FLOAT_SLIDER: {
      const double number = parse_number(label, value);
      check_range(label, number, definition.u.fs_d.valid_min, definition.u.fs_d.valid_max);
      store.set_float(at, number);
      return;
    }
    case PF_Param_ANGLE: {
      const double degrees = parse_number(label, value);
      if (definition.u.ad.valid_min < definition.u.ad.valid_max) {
        check_range(label, degrees, fixed_to_double(definition.u.ad.valid_min),
                    fixed_to_double(definition.u.ad.valid_max));
      }
      // Beyond this the host's 16.16 degrees overflow.
      check_range(label, degrees, -32767.0, 32767.0);
      store.set_angle(at, degrees);
      return;
    }
    case PF_Param_CHECKBOX: {
      if (value == "on" || value == "true" || value == "1" || value == "yes") {
        store.set_checkbox(at, true);
      } else if (value == "off" || value == "false" || value == "0" || value == "no") {
        store.set_checkbox(at, false);
      } else {
        throw Usage_Error("\"" + label + "\" takes on or off, not '" + value + "'");
      }
      return;
    }
    case PF_Param_POPUP: {
      const std::vector<std::string> items = popup_items(p);
      const auto found = std::find(items.begin(), items.end(), value);
      if (found == items.end()) {
        std::string choices;
        for (const std::string& item : items) {
          choices += (choices.empty() ? "\"" : ", \"") + item + "\"";
        }
        throw Usage_Error("\"" + label + "\" has no item \"" + value + "\"; choose one of " +
                          choices);
      }
      store.set_popup(at, static_cast<int32_t>(found - items.begin()));
      return;
    }
    case PF_Param_POINT: {
      const std::vector<std::string> parts = split(value, ',');
      if (parts.size() != 2) {
        throw Usage_Error("\"" + label + "\" takes X,Y in pixels, not '" + value + "'");
      }
      const double x = parse_number(label, parts[0]);
      const double y = parse_number(label, parts[1]);
      check_range(label, x, -32767.0, 32767.0);
      check_range(label, y, -32767.0, 32767.0);
      store.set_point(at, x, y);
      return;
    }
    case PF_Param_COLOR: {
      const std::vector<std::string> parts = split(value, ',');
      if (parts.size() != 3) {
        throw Usage_Error("\"" + label + "\" takes R,G,B, not '" + value + "'");
      }
      const bool floats = value.find('.') != std::string::npos;
      double channel[3];
      for (int c = 0; c < 3; ++c) {
        channel[c] = parse_number(label, parts[c]);
        if (!floats) {
          if (channel[c] != std::floor(channel[c])) {
            throw Usage_Error("\"" + label + "\" takes whole channel values, not '" + value + "'");
          }
          check_range(label, channel[c], 0.0, 255.0);
        }
      }
      if (floats) {
        store.set_color_float(
            at, PF_PixelFloat{1.0f, static_cast<float>(channel[0]), static_cast<float>(channel[1]),
                              static_cast<float>(channel[2])});
      } else {
        store.set_color(
            at, PF_Pixel{255, static_cast<A_u_char>(channel[0]), static_cast<A_u_char>(channel[1]),
                         static_cast<A_u_char>(channel[2])});
      }
      return;
    }
    case PF_Param_LAYER:
      throw Usage_Error("\"" + label + "\" is a layer: give it an image with --layer");
    default:
      throw Usage_Error("\"" + label + "\" is a " + brel::sim::kind_name(definition.param_type) +
                        " and holds no value to set");
  }
}

std::string describe_parameters(const Parameter_Store& store) {
  std::ostringstream text;
  for (int32_t slot = 0; slot < store.size(); ++slot) {
    const Parameter_Store::Stored_Param& p = store.at(slot);
    const PF_ParamDef& d = p.definition;
    text << "slot " << slot << "  id " << d.uu.id << "  " << brel::sim::kind_name(d.param_type)
         << "  \"" << label_of(p) << "\"";
    switch (d.param_type) {
      case PF_Param_SLIDER:
        text << "  default " << d.u.sd.dephault << "  range " << d.u.sd.valid_min << " .. "
             << d.u.sd.valid_max;
        break;
      case PF_Param_FLOAT_SLIDER:
        text << "  default " << d.u.fs_d.dephault << "  range " << d.u.fs_d.valid_min << " .. "
             << d.u.fs_d.valid_max;
        break;
      case PF_Param_ANGLE:
        text << "  default " << fixed_to_double(d.u.ad.dephault) << " degrees";
        break;
      case PF_Param_CHECKBOX:
        text << "  default " << (d.u.bd.dephault != 0 ? "on" : "off");
        break;
      case PF_Param_COLOR:
        text << "  default " << int{d.u.cd.dephault.red} << "," << int{d.u.cd.dephault.green} << ","
             << int{d.u.cd.dephault.blue};
        break;
      case PF_Param_POINT:
        text << "  default " << fixed_to_double(d.u.td.x_dephault) << "%,"
             << fixed_to_double(d.u.td.y_dephault) << "%";
        break;
      case PF_Param_POPUP: {
        const std::vector<std::string> items = popup_items(p);
        const int32_t dephault = d.u.pd.dephault - 1;
        text << "  default \""
             << (dephault >= 0 && dephault < static_cast<int32_t>(items.size()) ? items[dephault]
                                                                                : "?")
             << "\"  items";
        for (const std::string& item : items) {
          text << " \"" << item << "\"";
        }
        break;
      }
      default:
        break;
    }
    text << "\n";
  }
  return text.str();
}

}  // namespace lumbrix

#include "param_setting.h"

#include <algorithm>
#include <cctype>
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

std::string trimmed(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) {
    return "";
  }
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// Names and items as typed: without case, surrounding blanks or the quotes --list-params
// prints around them, runs of blanks counting as one.
std::string folded_name(const std::string& text) {
  std::string name = trimmed(text);
  if (name.size() >= 2 && name.front() == '"' && name.back() == '"') {
    name = trimmed(name.substr(1, name.size() - 2));
  }
  std::string out;
  for (const char c : name) {
    if (c == ' ' || c == '\t') {
      if (!out.empty() && out.back() != ' ') {
        out += ' ';
      }
    } else {
      out += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
  }
  return out;
}

// Group headings also without blanks and underscores: "Direct_Light" is "direct light".
std::string folded_group(const std::string& text) {
  std::string out;
  for (const char c : folded_name(text)) {
    if (c != ' ' && c != '_') {
      out += c;
    }
  }
  return out;
}

size_t edit_distance(const std::string& a, const std::string& b) {
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) {
    row[j] = j;
  }
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      const size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

// The candidates nearest to `typed` (at most three, none far off), as "a", "b" or "c".
std::string closest(const std::string& typed, const std::vector<std::string>& candidates) {
  const std::string key = folded_name(typed);
  const size_t limit = std::max<size_t>(2, key.size() / 3);
  std::vector<std::pair<size_t, std::string>> near;
  for (const std::string& candidate : candidates) {
    const size_t distance = edit_distance(key, folded_name(candidate));
    if (distance <= limit && std::none_of(near.begin(), near.end(),
                                          [&](const auto& n) { return n.second == candidate; })) {
      near.emplace_back(distance, candidate);
    }
  }
  std::stable_sort(near.begin(), near.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  near.resize(std::min<size_t>(near.size(), 3));
  std::string text;
  for (size_t i = 0; i < near.size(); ++i) {
    text += (i == 0 ? "" : i + 1 == near.size() ? " or " : ", ") + ("\"" + near[i].second + "\"");
  }
  return text;
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

// A point coordinate in pixels, or in percent of the layer's side ("50%").
double parse_coordinate(const std::string& label, const std::string& typed, int64_t side) {
  const std::string text = trimmed(typed);
  if (!text.empty() && text.back() == '%') {
    return parse_number(label, trimmed(text.substr(0, text.size() - 1))) / 100.0 *
           static_cast<double>(side);
  }
  return parse_number(label, text);
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

std::vector<std::string> popup_items(const Parameter_Store& store, int32_t slot) {
  return popup_items(store.at(slot));
}

std::string current_item(const Parameter_Store& store, int32_t slot) {
  const Parameter_Store::Stored_Param& p = store.at(slot);
  const std::vector<std::string> items = popup_items(p);
  const int32_t index = p.value.pd.value - 1;
  return index >= 0 && index < static_cast<int32_t>(items.size()) ? items[index] : "";
}

std::string label_of(const Parameter_Store& store, int32_t slot) {
  return label_of(store.at(slot));
}

int32_t find_slot(const Parameter_Store& store, const std::string& typed) {
  const std::string key = trimmed(typed);
  try {
    for (const auto& [prefix, by_id] : {std::pair{"slot:", false}, std::pair{"id:", true}}) {
      if (lower_case(key).rfind(prefix, 0) == 0) {
        const std::string digits = trimmed(key.substr(std::strlen(prefix)));
        int32_t number = 0;
        const auto [rest, error] =
            std::from_chars(digits.data(), digits.data() + digits.size(), number);
        if (digits.empty() || error != std::errc() || rest != digits.data() + digits.size()) {
          throw Usage_Error("'" + key + "' needs a whole number after " + prefix);
        }
        return by_id ? store.slot(brel::sim::Id{number}) : store.slot(brel::sim::Slot{number});
      }
    }
  } catch (const brel::sim::Sim_Error& e) {
    throw Usage_Error(e.what());
  }

  // The bare name first (names may hold a '/'), then GROUP/NAME.
  const std::string name = folded_name(key);
  std::vector<int32_t> found;
  for (int32_t slot = 0; slot < store.size(); ++slot) {
    if (folded_name(name_of(store.at(slot).definition)) == name) {
      found.push_back(slot);
    }
  }
  const size_t divider = name.rfind('/');
  if (found.empty() && divider != std::string::npos) {
    const std::string group = folded_group(name.substr(0, divider));
    const std::string bare = folded_name(name.substr(divider + 1));
    for (int32_t slot = 0; slot < store.size(); ++slot) {
      const Parameter_Store::Stored_Param& p = store.at(slot);
      if (folded_name(name_of(p.definition)) == bare && folded_group(p.group) == group) {
        found.push_back(slot);
      }
    }
  }
  if (found.size() == 1) {
    return found.front();
  }
  if (found.empty()) {
    std::vector<std::string> labels;
    for (int32_t slot = 0; slot < store.size(); ++slot) {
      if (!name_of(store.at(slot).definition).empty()) {
        labels.push_back(label_of(store.at(slot)));
        labels.push_back(name_of(store.at(slot).definition));
      }
    }
    const std::string near = closest(key, labels);
    throw Usage_Error(
        "no parameter is named \"" + key + "\"" +
        (near.empty() ? " (--list-params lists them)" : "; did you mean " + near + "?"));
  }
  std::string text = "the name \"" + key + "\" is ambiguous; choose one of:";
  for (const int32_t slot : found) {
    text += " \"" + label_of(store.at(slot)) + "\" (slot " + std::to_string(slot) + ")";
  }
  throw Usage_Error(text);
}

void apply_setting(Parameter_Store& store, const std::string& key, const std::string& typed,
                   int64_t layer_width, int64_t layer_height) {
  const std::string value = trimmed(typed);
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
      const std::string answer = folded_name(value);
      if (answer == "on" || answer == "true" || answer == "1" || answer == "yes") {
        store.set_checkbox(at, true);
      } else if (answer == "off" || answer == "false" || answer == "0" || answer == "no") {
        store.set_checkbox(at, false);
      } else {
        throw Usage_Error("\"" + label + "\" takes on or off, not '" + value + "'");
      }
      return;
    }
    case PF_Param_POPUP: {
      const std::vector<std::string> items = popup_items(p);
      const auto found = std::find_if(items.begin(), items.end(), [&](const std::string& item) {
        return folded_name(item) == folded_name(value);
      });
      if (found == items.end()) {
        std::string choices;
        for (const std::string& item : items) {
          choices += (choices.empty() ? "\"" : ", \"") + item + "\"";
        }
        const std::string near = closest(value, items);
        throw Usage_Error("\"" + label + "\" has no item \"" + value + "\"; " +
                          (near.empty() ? "" : "did you mean " + near + "? ") + "choose one of " +
                          choices);
      }
      store.set_popup(at, static_cast<int32_t>(found - items.begin()));
      return;
    }
    case PF_Param_POINT: {
      const std::vector<std::string> parts = split(value, ',');
      if (parts.size() != 2) {
        throw Usage_Error("\"" + label + "\" takes X,Y in pixels or percent, not '" + value + "'");
      }
      const double x = parse_coordinate(label, parts[0], layer_width);
      const double y = parse_coordinate(label, parts[1], layer_height);
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
        channel[c] = parse_number(label, trimmed(parts[c]));
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
        text << "  default " << fixed_to_double(d.u.ad.dephault) << "  (degrees)";
        break;
      case PF_Param_CHECKBOX:
        text << "  default " << (d.u.bd.dephault != 0 ? "on" : "off") << "  (on or off)";
        break;
      case PF_Param_COLOR:
        text << "  default " << int{d.u.cd.dephault.red} << "," << int{d.u.cd.dephault.green} << ","
             << int{d.u.cd.dephault.blue} << "  (R,G,B from 0 to 255, or floats: 1.0,0.5,0.0)";
        break;
      case PF_Param_POINT:
        text << "  default " << fixed_to_double(d.u.td.x_dephault) << "%,"
             << fixed_to_double(d.u.td.y_dephault) << "%  (X,Y in pixels or percent of the frame)";
        break;
      case PF_Param_LAYER:
        text << "  (an image file, with --layer)";
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

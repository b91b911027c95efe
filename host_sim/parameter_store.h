#pragma once

// The simulated host's record of an effect's parameters: every definition the effect registered
// through add_param, the value the host holds for each, and the parameter array the host hands
// to a command. Values are kept in the host's own units and delivered as a host delivers them:
// popups 1-based, angles and points in 16.16 fixed point, points in pixels of the layer as
// currently rendered, colours as 8-bit pixels with a float colour beside them.

#include <cstdint>
#include <deque>
#include <stdexcept>
#include <string>
#include <vector>

#include "host_api.h"

namespace brel::sim {

// A misuse of the simulated host by its caller (an unknown or ambiguous parameter, a value of
// the wrong kind). Never raised towards the effect, which only ever sees host error codes.
class Sim_Error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The kind of a parameter as messages and listings name it ("float slider", "popup", ...).
std::string kind_name(PF_ParamType type);

// Ways to name a parameter: its slot (registration order, host index = slot + 1), its host id,
// or its name (written "GROUP/NAME" where the name alone is ambiguous).
struct Slot {
  int32_t value;
};
struct Id {
  int32_t value;
};

// What delivered values depend on: the layer as currently rendered.
struct Delivery {
  int32_t layer_width = 0;  // full resolution
  int32_t layer_height = 0;
  double downsample_x = 1.0;
  double downsample_y = 1.0;
};

class Parameter_Store {
 public:
  struct Stored_Param {
    PF_ParamDef definition{};  // as registered; its text pointers lead to the copies below
    std::string popup_names;
    std::string checkbox_name;
    std::string button_label;
    std::string group;         // heading of the innermost enclosing group, "" at top level
    int32_t add_index = 0;     // the index argument add_param was called with
    PF_ParamDefUnion value{};  // the current value in host units (not for points and layers)
    PF_PixelFloat color_float{};
    bool point_is_default = true;  // the default percentage applies until a point is set
    double point_x = 0.0;          // full-resolution pixels once set
    double point_y = 0.0;
    const PF_EffectWorld* layer = nullptr;
  };

  // Records one definition; returns its slot.
  int32_t add(const PF_ParamDef& definition, int32_t add_index);
  void clear();

  int32_t size() const { return static_cast<int32_t>(params_.size()); }
  const Stored_Param& at(int32_t slot) const;

  // Slot lookup; every ambiguity or miss is a Sim_Error naming the choices.
  int32_t slot(Slot slot) const;
  int32_t slot(Id id) const;
  int32_t slot(const std::string& name) const;
  // Host index <-> slot.
  static int32_t host_index(int32_t slot) { return slot + 1; }

  template <class Key>
  void set_int(Key key, int32_t value) {
    set_int_at(slot(key), value);
  }
  template <class Key>
  void set_float(Key key, double value) {
    set_float_at(slot(key), value);
  }
  // Degrees.
  template <class Key>
  void set_angle(Key key, double degrees) {
    set_angle_at(slot(key), degrees);
  }
  template <class Key>
  void set_checkbox(Key key, bool value) {
    set_checkbox_at(slot(key), value);
  }
  // The entry counted from 0, as the effect counts; the host stores it counted from 1.
  template <class Key>
  void set_popup(Key key, int32_t index) {
    set_popup_at(slot(key), index);
  }
  // Full-resolution layer pixels.
  template <class Key>
  void set_point(Key key, double x, double y) {
    set_point_at(slot(key), x, y);
  }
  // An 8-bit colour; its float colour becomes byte / 255.
  template <class Key>
  void set_color(Key key, PF_Pixel color) {
    set_color_at(slot(key), color);
  }
  // A float colour (may leave 0..1); its 8-bit colour is the nearest clamped byte.
  template <class Key>
  void set_color_float(Key key, PF_PixelFloat color) {
    set_color_float_at(slot(key), color);
  }
  // Null: no layer assigned. The world must outlive its use.
  template <class Key>
  void set_layer(Key key, const PF_EffectWorld* world) {
    set_layer_at(slot(key), world);
  }
  void set_input(const PF_EffectWorld* world) { input_ = world; }

  // The record a checkout of `host_index` fills; index 0 is the effect's input layer.
  PF_ParamDef deliver(int32_t host_index, const Delivery& delivery) const;
  // The slot a checked-out record or array entry belongs to (by id, name and kind, so copies of
  // a record are recognised too); -1 when none.
  int32_t slot_of_record(const PF_ParamDef& record) const;
  const PF_PixelFloat& color_float(int32_t slot) const { return at(slot).color_float; }

  // The parameter array of a command: entry 0 the input layer, entry k slot k - 1.
  PF_ParamDef** make_array(const Delivery& delivery);
  PF_ParamDef** array() { return pointers_.data(); }
  int32_t array_size() const { return static_cast<int32_t>(pointers_.size()); }
  // Takes back the values the effect changed in the array (entries flagged
  // PF_ChangeFlag_CHANGED_VALUE); points and layers are not taken back.
  void take_back_changes();

 private:
  Stored_Param& at_kind(int32_t slot, PF_ParamType kind);
  void set_int_at(int32_t slot, int32_t value);
  void set_float_at(int32_t slot, double value);
  void set_angle_at(int32_t slot, double degrees);
  void set_checkbox_at(int32_t slot, bool value);
  void set_popup_at(int32_t slot, int32_t index);
  void set_point_at(int32_t slot, double x, double y);
  void set_color_at(int32_t slot, PF_Pixel color);
  void set_color_float_at(int32_t slot, PF_PixelFloat color);
  void set_layer_at(int32_t slot, const PF_EffectWorld* world);

  std::deque<Stored_Param> params_;  // a deque: the definitions point into their own texts
  std::vector<std::string> open_groups_;
  const PF_EffectWorld* input_ = nullptr;
  std::vector<PF_ParamDef> entries_;
  std::vector<PF_ParamDef*> pointers_;
};

}  // namespace brel::sim

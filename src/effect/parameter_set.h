#pragma once

// The effect's 95 controls. Their slot order is the display order and the host index order
// (slot k is the control with host index k + 1; index 0 is the effect's input layer), and
// together with the ids, names, defaults and ranges it is what projects store: never reorder.

#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <tuple>
#include <utility>

#include "base/host_context.h"
#include "base/parameter.h"
#include "base/parameter_factory.h"
#include "effect/parameter_slot.h"

namespace brel {

class Parameter_Set {
 public:
  static constexpr int32_t slot_count = 95;

 private:
  using Choice = std::unique_ptr<Choice_Parameter>;
  using Float = std::unique_ptr<Float_Parameter>;
  using Group = std::unique_ptr<Group_Parameter>;
  using End = std::unique_ptr<Group_End_Parameter>;
  using Rgb = std::unique_ptr<Rgb_Parameter>;
  using Angle = std::unique_ptr<Angle_Parameter>;
  using Check = std::unique_ptr<Checkbox_Parameter>;
  using Int = std::unique_ptr<Int_Parameter>;
  using Point = std::unique_ptr<Point_2d_Parameter>;
  using Layer = std::unique_ptr<Layer_Parameter>;

  // One owner per slot, typed by the slot's kind, ten to a line.
  using Slot_Tuple =
      std::tuple<Choice, Float, Float, Float, Group, Group, Float, Rgb, Float, Angle,  // 0
                 Float, Check, Int, End, Group, Float, Rgb, Float, Float, Rgb,         // 10
                 Point, Float, Check, Int, End, Group, Layer, Choice, Layer, Float,    // 20
                 Float, Float, Rgb, Float, Check, Float, Int, End, End, Group,         // 30
                 Check, Float, Float, Float, Float, End, Group, Layer, Choice, Float,  // 40
                 Float, Int, Check, Float, Float, Float, End, Group, Rgb, Layer,       // 50
                 Float, Layer, Float, Layer, Float, Layer, Float, Layer, Rgb, Int,     // 60
                 End, Group, Layer, Layer, Float, Float, Choice, Check, Layer, Float,  // 70
                 Layer, Float, Float, Float, Check, Check, Float, End, Group, Choice,  // 80
                 Choice, Choice, Choice, Choice, End>;                                 // 90
  static_assert(std::tuple_size_v<Slot_Tuple> == slot_count);
  static_assert(slot_names.size() == slot_count);

  // Releases the slots from the last to the first, also when construction stops half-way.
  struct Slots {
    Slot_Tuple owners;
    Slots() = default;
    Slots(const Slots&) = delete;
    Slots& operator=(const Slots&) = delete;
    ~Slots() { release(std::make_index_sequence<slot_count>()); }
    template <size_t... k>
    void release(std::index_sequence<k...>) {
      constexpr size_t last = slot_count - 1;
      (std::get<last - k>(owners).reset(), ...);
    }
  };

 public:
  // The kind interface of a slot (`Float_Parameter` for a float slider, and so on).
  template <Slot s>
  using Slot_Type = typename std::tuple_element_t<static_cast<size_t>(s), Slot_Tuple>::element_type;

  // Declares the 95 controls through the factory, in slot order; the declarations do not
  // depend on the host. A failing declaration leaves with its exception; the controls made
  // before it are released.
  Parameter_Set(Parameter_Factory& factory, Host_Context host_context);
  ~Parameter_Set();
  Parameter_Set(const Parameter_Set&) = delete;
  Parameter_Set& operator=(const Parameter_Set&) = delete;

  // The control of a slot, through its kind interface.
  template <Slot s>
  Slot_Type<s>& slot() const {
    return *std::get<static_cast<size_t>(s)>(slots_.owners);
  }

  // The same 95 controls as root pointers in slot order (not owning).
  const std::list<Parameter*>& parameters() const { return parameters_; }

 private:
  template <Slot s, class Kind>
  void declare(std::unique_ptr<Kind> parameter) {
    std::get<static_cast<size_t>(s)>(slots_.owners) = std::move(parameter);
  }

  Slots slots_;
  std::list<Parameter*> parameters_;
};

}  // namespace brel

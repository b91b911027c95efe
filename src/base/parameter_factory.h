#pragma once

// The effect declares its controls through this factory and never names a host class. One
// factory serves one host command: it binds what it makes to that command's host records.

#include <list>
#include <memory>

#include "base/parameter.h"

namespace brel {

namespace gui {
class Event;
}

// What a custom control's event code holds; the factory hands it the control it belongs to.
// The host adapter passes it the control's events; by default they change nothing.
class Custom_Handler {
 public:
  virtual ~Custom_Handler() = default;
  virtual void handle_event(gui::Event& /*event*/) {}
  // Whether the pointer is over the control as the events so far left it; a change redraws
  // the control under hosts that do not redraw on their own.
  virtual bool hovered() const { return false; }
  Custom_Parameter* parameter = nullptr;
};

class Parameter_Factory {
 public:
  Parameter_Factory() = default;
  Parameter_Factory(const Parameter_Factory&) = delete;
  Parameter_Factory& operator=(const Parameter_Factory&) = delete;
  virtual ~Parameter_Factory() = default;

  virtual std::unique_ptr<Group_Parameter> create_group(const Group_Parameter_Description&) = 0;
  virtual std::unique_ptr<Group_End_Parameter> create_group_end(
      const Group_End_Parameter_Description&) = 0;
  virtual std::unique_ptr<Rgb_Parameter> create_rgb(const Rgb_Parameter_Description&) = 0;
  virtual std::unique_ptr<Rgba_Parameter> create_rgba(const Rgba_Parameter_Description&) = 0;
  virtual std::unique_ptr<Int_Parameter> create_int(const Int_Parameter_Description&) = 0;
  virtual std::unique_ptr<Float_Parameter> create_float(const Float_Parameter_Description&) = 0;
  virtual std::unique_ptr<Angle_Parameter> create_angle(const Angle_Parameter_Description&) = 0;
  virtual std::unique_ptr<Checkbox_Parameter> create_checkbox(
      const Checkbox_Parameter_Description&) = 0;
  virtual std::unique_ptr<Button_Parameter> create_button(const Button_Parameter_Description&) = 0;
  virtual std::unique_ptr<Choice_Parameter> create_choice(const Choice_Parameter_Description&) = 0;
  virtual std::unique_ptr<Point_2d_Parameter> create_point_2d(
      const Point_2d_Parameter_Description&) = 0;
  virtual std::unique_ptr<Layer_Parameter> create_layer(const Layer_Parameter_Description&) = 0;
  virtual std::unique_ptr<Custom_Parameter> create_custom(std::shared_ptr<Custom_Handler> handler,
                                                          const Custom_Parameter_Description&) = 0;

  // Everything made so far, in creation order; the caller gets its own copy of the list and
  // the factory keeps owning nothing.
  virtual std::list<Parameter*> parameters() const = 0;
};

}  // namespace brel

#pragma once

// The kinds of the effect's controls as the render pipeline and the plug-in class see them:
// read a value, change what the user sees. The host binding implements them; callers never
// learn which host answers.

#include <cstdint>

#include "base/parameter_description.h"

namespace brel {

// Root of every control. Handled through pointers only; a root pointer and a kind pointer of
// one object need not hold the same address (virtual bases), so convert with casts.
class Parameter {
 public:
  Parameter() = default;
  Parameter(const Parameter&) = delete;
  Parameter& operator=(const Parameter&) = delete;
  virtual ~Parameter() = default;

  virtual const Parameter_Description& description() const = 0;
  virtual void set_expanded(bool expanded) = 0;  // true unfolds a group
  virtual void set_enabled(bool enabled) = 0;    // false greys the control out
  virtual void set_visible(bool visible) = 0;
};

// Colour values are fractions of white; a host may deliver them above 1.
struct Rgb_Value {
  float red;
  float green;
  float blue;
};

struct Rgba_Value {
  float red;
  float green;
  float blue;
  float alpha;
};

// A position in the host's layer coordinates.
struct Point_2d_Value {
  double x;
  double y;
};

// Each kind keeps its description by value; `kind_description` gives the whole record,
// `description` its common part.
template <class Description>
class Parameter_Kind : public virtual Parameter {
 public:
  explicit Parameter_Kind(const Description& description) : description_(description) {}

  const Parameter_Description& description() const final { return description_; }
  const Description& kind_description() const { return description_; }

 private:
  const Description description_;
};

class Group_Parameter : public Parameter_Kind<Group_Parameter_Description> {
 public:
  using Parameter_Kind::Parameter_Kind;
};

class Group_End_Parameter : public Parameter_Kind<Group_End_Parameter_Description> {
 public:
  using Parameter_Kind::Parameter_Kind;
};

class Rgb_Parameter : public Parameter_Kind<Rgb_Parameter_Description> {
 public:
  using Parameter_Kind::Parameter_Kind;
  virtual void set_value(float red, float green, float blue) = 0;
  virtual Rgb_Value value() const = 0;
};

class Rgba_Parameter : public Parameter_Kind<Rgba_Parameter_Description> {
 public:
  using Parameter_Kind::Parameter_Kind;
  virtual void set_value(float red, float green, float blue, float alpha) = 0;
  virtual Rgba_Value value() const = 0;
};

class Int_Parameter : public Parameter_Kind<Int_Parameter_Description> {
 public:
  using Parameter_Kind::Parameter_Kind;
  virtual int32_t value() const = 0;
  virtual void set_value(int32_t value) = 0;
  virtual void set_valid_range(int32_t min, int32_t max) = 0;
  virtual void set_slider_range(int32_t min, int32_t max) = 0;
};

class Float_Parameter : public Parameter_Kind<Float_Parameter_Description> {
 public:
  using Parameter_Kind::Parameter_Kind;
  virtual double value() const = 0;
  virtual double slider_min() const = 0;
  virtual double slider_max() const = 0;
  virtual void set_value(double value) = 0;
  virtual void set_valid_range(double min, double max) = 0;
  virtual void set_slider_range(double min, double max) = 0;
  virtual void set_precision(int precision) = 0;
};

// Values in degrees.
class Angle_Parameter : public Parameter_Kind<Angle_Parameter_Description> {
 public:
  using Parameter_Kind::Parameter_Kind;
  virtual double value() const = 0;
  virtual void set_value(double value) = 0;
  virtual void set_valid_range(double min, double max) = 0;
  virtual void set_slider_range(double min, double max) = 0;
  virtual void set_precision(int precision) = 0;
};

class Checkbox_Parameter : public Parameter_Kind<Checkbox_Parameter_Description> {
 public:
  using Parameter_Kind::Parameter_Kind;
  virtual bool value() const = 0;
  virtual void set_value(bool value) = 0;
};

class Button_Parameter : public Parameter_Kind<Button_Parameter_Description> {
 public:
  using Parameter_Kind::Parameter_Kind;
};

// Entries are counted from 0.
class Choice_Parameter : public Parameter_Kind<Choice_Parameter_Description> {
 public:
  using Parameter_Kind::Parameter_Kind;
  virtual int32_t value() const = 0;
  virtual void set_value(int index) = 0;
};

class Point_2d_Parameter : public Parameter_Kind<Point_2d_Parameter_Description> {
 public:
  using Parameter_Kind::Parameter_Kind;
  virtual Point_2d_Value value() const = 0;
  virtual void set_value(double x, double y) = 0;
};

// The render pipeline takes a layer parameter's pixels from the layer map under its
// identifier; `has_layer` serves the interface rules.
class Layer_Parameter : public Parameter_Kind<Layer_Parameter_Description> {
 public:
  using Parameter_Kind::Parameter_Kind;
  virtual bool has_layer() const = 0;
};

class Custom_Parameter : public Parameter_Kind<Custom_Parameter_Description> {
 public:
  using Parameter_Kind::Parameter_Kind;
  virtual void* data() = 0;         // the locked contents of the control's data
  virtual void* second_data() = 0;  // the locked contents of the companion's data
  virtual void* event_context() const = 0;
  virtual void data_changed() = 0;
  virtual void second_data_changed() = 0;
  virtual void redraw() = 0;
};

}  // namespace brel

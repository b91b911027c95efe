#pragma once

// The effect's controls bound to the host. A binding keeps no value of its own: every read
// checks the control out of the host at the current time and in again, and every change goes
// to the entry of the current command's parameter array. A binding lives for one host command.

#include <array>
#include <cstdint>
#include <memory>

#include "ae_effect.h"
#include "base/parameter.h"
#include "base/parameter_factory.h"

namespace brel {

// What every binding shares: the host's call record, the command's parameter array (may be
// null) and the control's host index. Only an Rgba uses `second_index`, for its alpha slider.
class Parameter_AE : public virtual Parameter {
 public:
  Parameter_AE(PF_InData* in_data, PF_ParamDef** params, int32_t index, int32_t second_index);

  // The host's record of the control at host index `host_index`: the array entry itself for
  // an interface-only control read now while the command has an array, otherwise a copy
  // checked out at `time` (negative: the current time) that is checked in when the last
  // holder lets go. A refused check-in is logged, never thrown.
  std::shared_ptr<PF_ParamDef> get_ae_param(int32_t host_index, int32_t time) const;

  // Asks the host to redraw the control from its array entry.
  void update_ui() const;
  // After a value change: an interface-only control is redrawn, any other is marked changed.
  void refresh();

  void set_expanded(bool expanded) override;
  void set_enabled(bool enabled) override;
  void set_visible(bool visible) override;

  PF_InData* const in_data;
  PF_ParamDef** const params;
  const int32_t index;
  const int32_t second_index;

 protected:
  // The array entry of a host index; the command must carry an array.
  PF_ParamDef& entry(int32_t host_index) const;
  // Flags the entry's disabled state and asks the host to redraw it (layers are not redrawn).
  void set_entry_enabled(int32_t host_index, bool enabled) const;
};

class Group_Parameter_AE : public virtual Group_Parameter, public Parameter_AE {
 public:
  Group_Parameter_AE(const Group_Parameter_Description& description, PF_InData* in_data,
                     PF_ParamDef** params, int32_t index);
};

class Group_End_Parameter_AE : public virtual Group_End_Parameter, public Parameter_AE {
 public:
  Group_End_Parameter_AE(const Group_End_Parameter_Description& description, PF_InData* in_data,
                         PF_ParamDef** params, int32_t index);
};

class Rgb_Parameter_AE : public virtual Rgb_Parameter, public Parameter_AE {
 public:
  Rgb_Parameter_AE(const Rgb_Parameter_Description& description, PF_InData* in_data,
                   PF_ParamDef** params, int32_t index);
  void set_value(float red, float green, float blue) override;
  Rgb_Value value() const override;
};

class Rgba_Parameter_AE : public virtual Rgba_Parameter, public Parameter_AE {
 public:
  Rgba_Parameter_AE(const Rgba_Parameter_Description& description, PF_InData* in_data,
                    PF_ParamDef** params, int32_t index, int32_t alpha_index);
  void set_value(float red, float green, float blue, float alpha) override;
  Rgba_Value value() const override;
  void set_enabled(bool enabled) override;
};

class Int_Parameter_AE : public virtual Int_Parameter, public Parameter_AE {
 public:
  Int_Parameter_AE(const Int_Parameter_Description& description, PF_InData* in_data,
                   PF_ParamDef** params, int32_t index);
  int32_t value() const override;
  // Not provided by this host binding: each fails as incomplete.
  void set_value(int32_t value) override;
  void set_valid_range(int32_t min, int32_t max) override;
  void set_slider_range(int32_t min, int32_t max) override;
};

class Float_Parameter_AE : public virtual Float_Parameter, public Parameter_AE {
 public:
  Float_Parameter_AE(const Float_Parameter_Description& description, PF_InData* in_data,
                     PF_ParamDef** params, int32_t index);
  double value() const override;
  double slider_min() const override;
  double slider_max() const override;
  void set_value(double value) override;
  void set_valid_range(double min, double max) override;
  void set_slider_range(double min, double max) override;
  void set_precision(int precision) override;
};

class Angle_Parameter_AE : public virtual Angle_Parameter, public Parameter_AE {
 public:
  Angle_Parameter_AE(const Angle_Parameter_Description& description, PF_InData* in_data,
                     PF_ParamDef** params, int32_t index);
  double value() const override;
  // Not provided by this host binding: each fails as incomplete.
  void set_value(double value) override;
  void set_valid_range(double min, double max) override;
  void set_slider_range(double min, double max) override;
  void set_precision(int precision) override;
};

class Checkbox_Parameter_AE : public virtual Checkbox_Parameter, public Parameter_AE {
 public:
  Checkbox_Parameter_AE(const Checkbox_Parameter_Description& description, PF_InData* in_data,
                        PF_ParamDef** params, int32_t index);
  bool value() const override;
  void set_value(bool value) override;
};

class Button_Parameter_AE : public virtual Button_Parameter, public Parameter_AE {
 public:
  Button_Parameter_AE(const Button_Parameter_Description& description, PF_InData* in_data,
                      PF_ParamDef** params, int32_t index);
};

class Choice_Parameter_AE : public virtual Choice_Parameter, public Parameter_AE {
 public:
  Choice_Parameter_AE(const Choice_Parameter_Description& description, PF_InData* in_data,
                      PF_ParamDef** params, int32_t index);
  int32_t value() const override;
  void set_value(int index) override;
};

class Point_2d_Parameter_AE : public virtual Point_2d_Parameter, public Parameter_AE {
 public:
  Point_2d_Parameter_AE(const Point_2d_Parameter_Description& description, PF_InData* in_data,
                        PF_ParamDef** params, int32_t index);
  Point_2d_Value value() const override;
  // Not provided by this host binding: fails as incomplete.
  void set_value(double x, double y) override;
};

class Layer_Parameter_AE : public virtual Layer_Parameter, public Parameter_AE {
 public:
  Layer_Parameter_AE(const Layer_Parameter_Description& description, PF_InData* in_data,
                     PF_ParamDef** params, int32_t index);
  bool has_layer() const override;
};

// A custom control and its hidden companion (host indexes `index` and `index` + 1). The data
// of each stays locked from its first request until the parameter is destroyed.
class Custom_Parameter_AE : public Custom_Parameter, public Parameter_AE {
 public:
  Custom_Parameter_AE(const Custom_Parameter_Description& description, PF_InData* in_data,
                      PF_ParamDef** params, int32_t index, std::shared_ptr<Custom_Handler> handler,
                      void* event_context);
  ~Custom_Parameter_AE() override;

  void* data() override;
  void* second_data() override;
  void* event_context() const override;
  void data_changed() override;
  void second_data_changed() override;
  void redraw() override;

  const std::shared_ptr<Custom_Handler> custom_handler;

 private:
  void* lock_data(int32_t which);
  void release_data(int32_t which) noexcept;

  void* event_context_;
  // Per data handle (0: the control, 1: its companion): the record checked out when the
  // command has no array, whether it is checked out, the handle and its locked contents.
  std::array<PF_ParamDef, 2> records_{};
  std::array<bool, 2> checked_out_{};
  std::array<PF_Handle, 2> handles_{};
  std::array<void*, 2> cached_{};
};

}  // namespace brel

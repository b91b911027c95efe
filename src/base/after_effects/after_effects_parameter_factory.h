#pragma once

// The factory of host-bound controls: it numbers what it makes with consecutive host indexes
// in declaration order, starting at 1 (index 0 is the effect's input layer).

#include <list>
#include <memory>

#include "ae_effect.h"
#include "base/parameter_factory.h"

namespace brel {

class Parameter_Factory_After_Effects : public Parameter_Factory {
 public:
  // `params` may be null; `event_extra` is the event record of a custom-control event command
  // and null for every other command.
  Parameter_Factory_After_Effects(PF_InData* in_data, PF_ParamDef** params,
                                  PF_EventExtra* event_extra);

  std::unique_ptr<Group_Parameter> create_group(const Group_Parameter_Description&) override;
  std::unique_ptr<Group_End_Parameter> create_group_end(
      const Group_End_Parameter_Description&) override;
  std::unique_ptr<Rgb_Parameter> create_rgb(const Rgb_Parameter_Description&) override;
  std::unique_ptr<Rgba_Parameter> create_rgba(const Rgba_Parameter_Description&) override;
  std::unique_ptr<Int_Parameter> create_int(const Int_Parameter_Description&) override;
  std::unique_ptr<Float_Parameter> create_float(const Float_Parameter_Description&) override;
  std::unique_ptr<Angle_Parameter> create_angle(const Angle_Parameter_Description&) override;
  std::unique_ptr<Checkbox_Parameter> create_checkbox(
      const Checkbox_Parameter_Description&) override;
  std::unique_ptr<Button_Parameter> create_button(const Button_Parameter_Description&) override;
  std::unique_ptr<Choice_Parameter> create_choice(const Choice_Parameter_Description&) override;
  std::unique_ptr<Point_2d_Parameter> create_point_2d(
      const Point_2d_Parameter_Description&) override;
  std::unique_ptr<Layer_Parameter> create_layer(const Layer_Parameter_Description&) override;
  std::unique_ptr<Custom_Parameter> create_custom(std::shared_ptr<Custom_Handler> handler,
                                                  const Custom_Parameter_Description&) override;

  std::list<Parameter*> parameters() const override { return created_; }

  // The host index the next control gets.
  int32_t next_index() const { return next_index_; }

 private:
  // Makes the binding at the next index (with any further constructor arguments), lists it
  // and advances by the host parameters it takes. Nothing changes when making or listing
  // fails.
  template <class Binding, class Description, class... Further>
  std::unique_ptr<Binding> make(const Description& description, int32_t host_parameters,
                                Further&&... further);

  int32_t next_index_ = 1;
  std::list<Parameter*> created_;
  PF_InData* in_data_;
  PF_ParamDef** params_;
  PF_EventExtra* event_extra_;
};

}  // namespace brel

#include "base/after_effects/after_effects_parameter_factory.h"

#include <utility>

#include "base/after_effects/after_effects_parameter.h"

namespace brel {

Parameter_Factory_After_Effects::Parameter_Factory_After_Effects(PF_InData* in_data,
                                                                 PF_ParamDef** params,
                                                                 PF_EventExtra* event_extra)
    : in_data_(in_data), params_(params), event_extra_(event_extra) {}

template <class Binding, class Description, class... Further>
std::unique_ptr<Binding> Parameter_Factory_After_Effects::make(const Description& description,
                                                               int32_t host_parameters,
                                                               Further&&... further) {
  auto parameter = std::make_unique<Binding>(description, in_data_, params_, next_index_,
                                             std::forward<Further>(further)...);
  created_.push_back(parameter.get());
  next_index_ += host_parameters;
  return parameter;
}

std::unique_ptr<Group_Parameter> Parameter_Factory_After_Effects::create_group(
    const Group_Parameter_Description& d) {
  return make<Group_Parameter_AE>(d, 1);
}

std::unique_ptr<Group_End_Parameter> Parameter_Factory_After_Effects::create_group_end(
    const Group_End_Parameter_Description& d) {
  return make<Group_End_Parameter_AE>(d, 1);
}

std::unique_ptr<Rgb_Parameter> Parameter_Factory_After_Effects::create_rgb(
    const Rgb_Parameter_Description& d) {
  return make<Rgb_Parameter_AE>(d, 1);
}

std::unique_ptr<Rgba_Parameter> Parameter_Factory_After_Effects::create_rgba(
    const Rgba_Parameter_Description& d) {
  // The colour takes this index, its alpha slider the next.
  return make<Rgba_Parameter_AE>(d, 2, next_index_ + 1);
}

std::unique_ptr<Int_Parameter> Parameter_Factory_After_Effects::create_int(
    const Int_Parameter_Description& d) {
  return make<Int_Parameter_AE>(d, 1);
}

std::unique_ptr<Float_Parameter> Parameter_Factory_After_Effects::create_float(
    const Float_Parameter_Description& d) {
  return make<Float_Parameter_AE>(d, 1);
}

std::unique_ptr<Angle_Parameter> Parameter_Factory_After_Effects::create_angle(
    const Angle_Parameter_Description& d) {
  return make<Angle_Parameter_AE>(d, 1);
}

std::unique_ptr<Checkbox_Parameter> Parameter_Factory_After_Effects::create_checkbox(
    const Checkbox_Parameter_Description& d) {
  return make<Checkbox_Parameter_AE>(d, 1);
}

std::unique_ptr<Button_Parameter> Parameter_Factory_After_Effects::create_button(
    const Button_Parameter_Description& d) {
  return make<Button_Parameter_AE>(d, 1);
}

std::unique_ptr<Choice_Parameter> Parameter_Factory_After_Effects::create_choice(
    const Choice_Parameter_Description& d) {
  return make<Choice_Parameter_AE>(d, 1);
}

std::unique_ptr<Point_2d_Parameter> Parameter_Factory_After_Effects::create_point_2d(
    const Point_2d_Parameter_Description& d) {
  return make<Point_2d_Parameter_AE>(d, 1);
}

std::unique_ptr<Layer_Parameter> Parameter_Factory_After_Effects::create_layer(
    const Layer_Parameter_Description& d) {
  return make<Layer_Parameter_AE>(d, 1);
}

std::unique_ptr<Custom_Parameter> Parameter_Factory_After_Effects::create_custom(
    std::shared_ptr<Custom_Handler> handler, const Custom_Parameter_Description& d) {
  void* event_context = event_extra_ != nullptr ? event_extra_->contextH : nullptr;
  Custom_Handler* const receiver = handler.get();
  // The control and its companion take two host indexes.
  auto parameter = make<Custom_Parameter_AE>(d, 2, std::move(handler), event_context);
  if (receiver != nullptr) {
    receiver->parameter = parameter.get();
  }
  return parameter;
}

}  // namespace brel

#include "base/after_effects/after_effects_parameter_factory.h"

#include <gtest/gtest.h>

#include <memory>

#include "base/after_effects/after_effects_parameter.h"

namespace {

int32_t host_index(const brel::Parameter* p) {
  return dynamic_cast<const brel::Parameter_AE&>(*p).index;
}

class Handler : public brel::Custom_Handler {};

TEST(Parameter_Factory_After_Effects, CustomTakesTwoIndexesTheEventContextAndABackPointer) {
  PF_ContextRecord context{};
  PF_EventExtra event{};
  event.contextH = &context;
  brel::Parameter_Factory_After_Effects factory(nullptr, nullptr, &event);
  auto handler = std::make_shared<Handler>();
  const brel::Custom_Parameter_Description d("custom", "", 1, 0, 20, 5, 6, 7, nullptr, nullptr);
  auto custom = factory.create_custom(handler, d);
  auto next = factory.create_int({"next", "", 2});

  EXPECT_EQ(handler->parameter, custom.get());
  EXPECT_EQ(custom->event_context(), &context);
  EXPECT_EQ(host_index(custom.get()), 1);
  EXPECT_EQ(host_index(next.get()), 3);

  brel::Parameter_Factory_After_Effects plain(nullptr, nullptr, nullptr);
  EXPECT_EQ(plain.create_custom(nullptr, d)->event_context(), nullptr);
}

}  // namespace

#include "base/after_effects/after_effects_parameter_factory.h"

#include <gtest/gtest.h>

#include <memory>

#include "base/after_effects/after_effects_parameter.h"

namespace {

int32_t host_index(const brel::Parameter* p) {
  return dynamic_cast<const brel::Parameter_AE&>(*p).index;
}

TEST(Parameter_Factory_After_Effects, NumbersFromOneAndRgbaTakesTwoIndexes) {
  brel::Parameter_Factory_After_Effects factory(nullptr, nullptr, nullptr);
  auto first = factory.create_float({"first", "", 1});
  brel::Rgba_Parameter_Description rgba("colour", "", 2);
  rgba.disc_id_alpha = 3;
  auto colour = factory.create_rgba(rgba);
  auto after = factory.create_checkbox({"after", "", 4});

  EXPECT_EQ(host_index(first.get()), 1);
  const auto& bound = dynamic_cast<const brel::Parameter_AE&>(*colour);
  EXPECT_EQ(bound.index, 2);
  EXPECT_EQ(bound.second_index, 3);
  EXPECT_EQ(host_index(after.get()), 4);
  EXPECT_EQ(factory.next_index(), 5);
}

TEST(Parameter_Factory_After_Effects, ListsRootPointersInCreationOrderAndOwnsNothing) {
  std::unique_ptr<brel::Group_Parameter> group;
  std::unique_ptr<brel::Layer_Parameter> layer;
  std::list<brel::Parameter*> first_copy;
  {
    brel::Parameter_Factory_After_Effects factory(nullptr, nullptr, nullptr);
    group = factory.create_group({"group", "", 1});
    layer = factory.create_layer({"a layer", "", 2});
    first_copy = factory.parameters();
    auto second_copy = factory.parameters();
    second_copy.clear();
    EXPECT_EQ(factory.parameters().size(), 2u);
  }
  // The factory is gone; the parameters live on with their owners.
  ASSERT_EQ(first_copy.size(), 2u);
  EXPECT_EQ(first_copy.front(), static_cast<brel::Parameter*>(group.get()));
  EXPECT_EQ(first_copy.back(), static_cast<brel::Parameter*>(layer.get()));
  EXPECT_EQ(first_copy.back()->description().identifier, "a_layer");
  // A root pointer and a kind pointer reach the same description record.
  EXPECT_EQ(&first_copy.back()->description(), &layer->description());
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

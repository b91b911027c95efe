#include "effect/parameter_set.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <list>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "base/after_effects/after_effects_parameter.h"
#include "base/after_effects/after_effects_parameter_factory.h"
#include "effect/parameter_set_golden.h"

namespace {

using brel::Parameter;
using brel::Parameter_Set;
using golden::K;

// Every control of the set through its typed slot accessor, as root pointers.
template <size_t... k>
std::vector<Parameter*> slots_of(const Parameter_Set& set, std::index_sequence<k...>) {
  return {static_cast<Parameter*>(&set.template slot<k>())...};
}

std::vector<Parameter*> slots_of(const Parameter_Set& set) {
  return slots_of(set, std::make_index_sequence<Parameter_Set::slot_count>());
}

class Parameter_Set_Test : public ::testing::Test {
 protected:
  brel::Parameter_Factory_After_Effects factory{nullptr, nullptr, nullptr};
  Parameter_Set set{factory, brel::Host_Context{}};
};

TEST_F(Parameter_Set_Test, SlotsAndListHoldTheSame95ControlsAtHostIndexesOneTo95) {
  const std::vector<Parameter*> slots = slots_of(set);
  const std::vector<Parameter*> list(set.parameters().begin(), set.parameters().end());
  ASSERT_EQ(list.size(), 95u);
  EXPECT_EQ(slots, list);
  for (size_t k = 0; k < list.size(); ++k) {
    const auto* bound = dynamic_cast<const brel::Parameter_AE*>(list[k]);
    ASSERT_NE(bound, nullptr) << "slot " << k;
    EXPECT_EQ(bound->index, static_cast<int32_t>(k) + 1) << "slot " << k;
  }
}

TEST_F(Parameter_Set_Test, EveryControlMatchesTheGoldenTable) {
  const std::vector<Parameter*> list(set.parameters().begin(), set.parameters().end());
  ASSERT_EQ(list.size(), golden::rows.size());
  for (size_t k = 0; k < golden::rows.size(); ++k) {
    const golden::Row& row = golden::rows[k];
    ASSERT_EQ(row.slot, static_cast<int>(k));
    SCOPED_TRACE("slot " + std::to_string(k) + " \"" + row.name + "\"");
    const Parameter* p = list[k];
    const brel::Parameter_Description& d = p->description();
    EXPECT_EQ(d.name, row.name);
    std::string identifier = row.name;
    std::replace(identifier.begin(), identifier.end(), ' ', '_');
    EXPECT_EQ(d.identifier, identifier);
    EXPECT_EQ(d.disc_id, row.id);
    EXPECT_TRUE(d.animatable);
    EXPECT_EQ(d.supervised, row.supervised);
    EXPECT_FALSE(d.ui_only);
    EXPECT_EQ(d.start_collapsed, row.start_collapsed);
    EXPECT_TRUE(d.enabled);
    EXPECT_TRUE(d.visible);

    switch (row.kind) {
      case K::group:
        EXPECT_NE(dynamic_cast<const brel::Group_Parameter*>(p), nullptr);
        break;
      case K::group_end:
        EXPECT_NE(dynamic_cast<const brel::Group_End_Parameter*>(p), nullptr);
        break;
      case K::rgb: {
        const auto* c = dynamic_cast<const brel::Rgb_Parameter*>(p);
        ASSERT_NE(c, nullptr);
        EXPECT_EQ(c->kind_description().red, row.default_value);
        EXPECT_EQ(c->kind_description().green, row.default_value);
        EXPECT_EQ(c->kind_description().blue, row.default_value);
        break;
      }
      case K::int_slider: {
        const auto* c = dynamic_cast<const brel::Int_Parameter*>(p);
        ASSERT_NE(c, nullptr);
        const auto& e = c->kind_description();
        EXPECT_EQ(e.default_value, row.default_value);
        EXPECT_EQ(e.valid_min, row.valid_min);
        EXPECT_EQ(e.valid_max, row.valid_max);
        EXPECT_EQ(e.slider_min, row.slider_min);
        EXPECT_EQ(e.slider_max, row.slider_max);
        break;
      }
      case K::float_slider: {
        const auto* c = dynamic_cast<const brel::Float_Parameter*>(p);
        ASSERT_NE(c, nullptr);
        const auto& e = c->kind_description();
        EXPECT_EQ(e.default_value, row.default_value);
        EXPECT_EQ(e.valid_min, row.valid_min);
        EXPECT_EQ(e.valid_max, row.valid_max);
        EXPECT_EQ(e.slider_min, row.slider_min);
        EXPECT_EQ(e.slider_max, row.slider_max);
        EXPECT_EQ(e.precision, 2);
        EXPECT_FALSE(e.display_pixel);
        EXPECT_FALSE(e.display_percent);
        break;
      }
      case K::angle: {
        const auto* c = dynamic_cast<const brel::Angle_Parameter*>(p);
        ASSERT_NE(c, nullptr);
        const auto& e = c->kind_description();
        EXPECT_EQ(e.default_value, row.default_value);
        EXPECT_EQ(e.valid_min, row.valid_min);
        EXPECT_EQ(e.valid_max, row.valid_max);
        EXPECT_EQ(e.slider_min, row.slider_min);
        EXPECT_EQ(e.slider_max, row.slider_max);
        EXPECT_EQ(e.precision, 2);
        break;
      }
      case K::checkbox: {
        const auto* c = dynamic_cast<const brel::Checkbox_Parameter*>(p);
        ASSERT_NE(c, nullptr);
        EXPECT_EQ(c->kind_description().default_value, row.default_value == 1);
        break;
      }
      case K::choice: {
        const auto* c = dynamic_cast<const brel::Choice_Parameter*>(p);
        ASSERT_NE(c, nullptr);
        EXPECT_EQ(c->kind_description().entries, row.entries);
        EXPECT_EQ(c->kind_description().default_index, row.default_value);
        break;
      }
      case K::point: {
        const auto* c = dynamic_cast<const brel::Point_2d_Parameter*>(p);
        ASSERT_NE(c, nullptr);
        EXPECT_EQ(c->kind_description().default_x, row.default_value);
        EXPECT_EQ(c->kind_description().default_y, row.default_value);
        EXPECT_FALSE(c->kind_description().restrict_bounds);
        break;
      }
      case K::layer: {
        const auto* c = dynamic_cast<const brel::Layer_Parameter*>(p);
        ASSERT_NE(c, nullptr);
        EXPECT_FALSE(c->kind_description().layer_switch);
        break;
      }
    }
  }
}

// Group headings and identifiers are stored by projects and shown to users character for
// character; spell the tricky ones out.
TEST_F(Parameter_Set_Test, HeadingsAndIdentifiersKeepEveryUnderscoreAndBlank) {
  EXPECT_EQ(set.slot<4>().description().name.size(), 29u);
  EXPECT_EQ(set.slot<57>().description().name.size(), 28u);
  EXPECT_EQ(set.slot<71>().description().name.size(), 30u);
  EXPECT_EQ(set.slot<88>().description().name.size(), 20u);
  EXPECT_EQ(set.slot<0>().description().identifier, "render_mode");
  EXPECT_EQ(set.slot<39>().description().identifier, "_______ORIGINAL__IMAGE_______");
  EXPECT_EQ(set.slot<26>().description().identifier, "environmental_layer");
  EXPECT_EQ(set.slot<13>().description().identifier, "");
}

TEST_F(Parameter_Set_Test, GroupsNestAsTheEffectPanelShowsThem) {
  std::vector<std::pair<int, int>> pairs;
  std::vector<int> open;
  int k = 0;
  for (const Parameter* p : set.parameters()) {
    if (dynamic_cast<const brel::Group_Parameter*>(p) != nullptr) {
      open.push_back(k);
    } else if (dynamic_cast<const brel::Group_End_Parameter*>(p) != nullptr) {
      ASSERT_FALSE(open.empty()) << "group end without a group at slot " << k;
      pairs.emplace_back(open.back(), k);
      open.pop_back();
    }
    ++k;
  }
  EXPECT_TRUE(open.empty());
  std::sort(pairs.begin(), pairs.end());
  const std::vector<std::pair<int, int>> expected = {
      {4, 38}, {5, 13}, {14, 24}, {25, 37}, {39, 45}, {46, 56}, {57, 70}, {71, 87}, {88, 94}};
  EXPECT_EQ(pairs, expected);
}

// A factory whose controls log their host index when destroyed, and that can refuse the n-th
// declaration.
std::vector<int32_t> destroyed;

template <class Binding, class Kind>
class Recorded : public Binding {
 public:
  template <class Description>
  Recorded(const Description& d, int32_t index) : Kind(d), Binding(d, nullptr, nullptr, index) {}
  ~Recorded() override { destroyed.push_back(this->index); }
};

class Recording_Factory : public brel::Parameter_Factory {
 public:
  explicit Recording_Factory(int32_t refuse_at) : refuse_at_(refuse_at) {}

  std::unique_ptr<brel::Group_Parameter> create_group(
      const brel::Group_Parameter_Description& d) override {
    return make<brel::Group_Parameter_AE, brel::Group_Parameter>(d);
  }
  std::unique_ptr<brel::Group_End_Parameter> create_group_end(
      const brel::Group_End_Parameter_Description& d) override {
    return make<brel::Group_End_Parameter_AE, brel::Group_End_Parameter>(d);
  }
  std::unique_ptr<brel::Rgb_Parameter> create_rgb(
      const brel::Rgb_Parameter_Description& d) override {
    return make<brel::Rgb_Parameter_AE, brel::Rgb_Parameter>(d);
  }
  std::unique_ptr<brel::Int_Parameter> create_int(
      const brel::Int_Parameter_Description& d) override {
    return make<brel::Int_Parameter_AE, brel::Int_Parameter>(d);
  }
  std::unique_ptr<brel::Float_Parameter> create_float(
      const brel::Float_Parameter_Description& d) override {
    return make<brel::Float_Parameter_AE, brel::Float_Parameter>(d);
  }
  std::unique_ptr<brel::Angle_Parameter> create_angle(
      const brel::Angle_Parameter_Description& d) override {
    return make<brel::Angle_Parameter_AE, brel::Angle_Parameter>(d);
  }
  std::unique_ptr<brel::Checkbox_Parameter> create_checkbox(
      const brel::Checkbox_Parameter_Description& d) override {
    return make<brel::Checkbox_Parameter_AE, brel::Checkbox_Parameter>(d);
  }
  std::unique_ptr<brel::Choice_Parameter> create_choice(
      const brel::Choice_Parameter_Description& d) override {
    return make<brel::Choice_Parameter_AE, brel::Choice_Parameter>(d);
  }
  std::unique_ptr<brel::Point_2d_Parameter> create_point_2d(
      const brel::Point_2d_Parameter_Description& d) override {
    return make<brel::Point_2d_Parameter_AE, brel::Point_2d_Parameter>(d);
  }
  std::unique_ptr<brel::Layer_Parameter> create_layer(
      const brel::Layer_Parameter_Description& d) override {
    return make<brel::Layer_Parameter_AE, brel::Layer_Parameter>(d);
  }
  // The effect declares none of these.
  std::unique_ptr<brel::Rgba_Parameter> create_rgba(
      const brel::Rgba_Parameter_Description&) override {
    throw std::logic_error("unexpected rgba");
  }
  std::unique_ptr<brel::Button_Parameter> create_button(
      const brel::Button_Parameter_Description&) override {
    throw std::logic_error("unexpected button");
  }
  std::unique_ptr<brel::Custom_Parameter> create_custom(
      std::shared_ptr<brel::Custom_Handler>, const brel::Custom_Parameter_Description&) override {
    throw std::logic_error("unexpected custom");
  }
  std::list<Parameter*> parameters() const override { return made_; }

 private:
  template <class Binding, class Kind, class Description>
  std::unique_ptr<Kind> make(const Description& d) {
    if (next_ == refuse_at_) {
      throw std::runtime_error("refused");
    }
    auto p = std::make_unique<Recorded<Binding, Kind>>(d, next_++);
    made_.push_back(p.get());
    return p;
  }

  int32_t refuse_at_;
  int32_t next_ = 1;
  std::list<Parameter*> made_;
};

TEST(Parameter_Set_Lifetime, ReleasesTheLastSlotFirstAndTheFirstLast) {
  destroyed.clear();
  {
    Recording_Factory factory(-1);
    Parameter_Set set(factory, brel::Host_Context{});
    EXPECT_TRUE(destroyed.empty());
  }
  ASSERT_EQ(destroyed.size(), 95u);
  for (int32_t k = 0; k < 95; ++k) {
    EXPECT_EQ(destroyed[k], 95 - k);
  }
}

TEST(Parameter_Set_Lifetime, AFailingDeclarationReleasesWhatWasMadeAndLeaves) {
  destroyed.clear();
  Recording_Factory factory(41);  // slot 40 is refused
  EXPECT_THROW(Parameter_Set(factory, brel::Host_Context{}), std::runtime_error);
  ASSERT_EQ(destroyed.size(), 40u);
  EXPECT_EQ(destroyed.front(), 40);
  EXPECT_EQ(destroyed.back(), 1);
}

}  // namespace

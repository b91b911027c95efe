#include "effect/parameter_set.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <list>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/after_effects/after_effects_parameter.h"
#include "base/after_effects/after_effects_parameter_factory.h"
#include "effect/parameter_set_golden.h"

namespace brel {
namespace {

using golden::K;

// Every control of the set through its typed slot accessor, as root pointers.
template <size_t... k>
std::vector<Parameter*> slots_of(const Parameter_Set& set, std::index_sequence<k...>) {
  return {static_cast<Parameter*>(&set.template slot<static_cast<Slot>(k)>())...};
}

// The control as `Kind`, or null with a failure when it is something else.
template <class Kind>
const Kind* as(const Parameter* p) {
  const auto* c = dynamic_cast<const Kind*>(p);
  EXPECT_NE(c, nullptr) << "not of the expected kind";
  return c;
}

// Default, valid range and slider range of a slider or the angle.
template <class Description>
void expect_ranges(const Description& e, const golden::Row& row) {
  EXPECT_EQ(e.default_value, row.default_value);
  EXPECT_EQ(e.valid_min, row.valid_min);
  EXPECT_EQ(e.valid_max, row.valid_max);
  EXPECT_EQ(e.slider_min, row.slider_min);
  EXPECT_EQ(e.slider_max, row.slider_max);
}

TEST(Parameter_Set, SlotsListAndHostIndexesHoldTheControlsOfTheGoldenTable) {
  Parameter_Factory_After_Effects factory{nullptr, nullptr, nullptr};
  const Parameter_Set set{factory, Host_Context{}};
  const std::vector<Parameter*> list(set.parameters().begin(), set.parameters().end());
  ASSERT_EQ(list.size(), golden::rows.size());
  EXPECT_EQ(slots_of(set, std::make_index_sequence<Parameter_Set::slot_count>()), list);
  for (size_t k = 0; k < golden::rows.size(); ++k) {
    const golden::Row& row = golden::rows[k];
    ASSERT_EQ(row.slot, static_cast<int>(k));
    SCOPED_TRACE("slot " + std::to_string(k) + " \"" + row.name + "\"");
    const Parameter* p = list[k];
    if (const auto* bound = as<Parameter_AE>(p)) {
      EXPECT_EQ(bound->index, static_cast<int32_t>(k) + 1);
    }
    const Parameter_Description& d = p->description();
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
        as<Group_Parameter>(p);
        break;
      case K::group_end:
        as<Group_End_Parameter>(p);
        break;
      case K::rgb:
        if (const auto* c = as<Rgb_Parameter>(p)) {
          EXPECT_EQ(c->kind_description().red, row.default_value);
          EXPECT_EQ(c->kind_description().green, row.default_value);
          EXPECT_EQ(c->kind_description().blue, row.default_value);
        }
        break;
      case K::int_slider:
        if (const auto* c = as<Int_Parameter>(p)) {
          expect_ranges(c->kind_description(), row);
        }
        break;
      case K::float_slider:
        if (const auto* c = as<Float_Parameter>(p)) {
          expect_ranges(c->kind_description(), row);
          EXPECT_EQ(c->kind_description().precision, 2);
          EXPECT_FALSE(c->kind_description().display_pixel);
          EXPECT_FALSE(c->kind_description().display_percent);
        }
        break;
      case K::angle:
        if (const auto* c = as<Angle_Parameter>(p)) {
          expect_ranges(c->kind_description(), row);
          EXPECT_EQ(c->kind_description().precision, 2);
        }
        break;
      case K::checkbox:
        if (const auto* c = as<Checkbox_Parameter>(p)) {
          EXPECT_EQ(c->kind_description().default_value, row.default_value == 1);
        }
        break;
      case K::choice:
        if (const auto* c = as<Choice_Parameter>(p)) {
          EXPECT_EQ(c->kind_description().entries, row.entries);
          EXPECT_EQ(c->kind_description().default_index, row.default_value);
        }
        break;
      case K::point:
        if (const auto* c = as<Point_2d_Parameter>(p)) {
          EXPECT_EQ(c->kind_description().default_x, row.default_value);
          EXPECT_EQ(c->kind_description().default_y, row.default_value);
          EXPECT_FALSE(c->kind_description().restrict_bounds);
        }
        break;
      case K::layer:
        if (const auto* c = as<Layer_Parameter>(p)) {
          EXPECT_FALSE(c->kind_description().layer_switch);
        }
        break;
    }
  }
}

// The letters and digits of a text in lower case: "_DIRECT LIGHT_" and "direct_light" agree.
std::string letters(std::string_view text) {
  std::string kept;
  for (const char c : text) {
    if (std::isalnum(static_cast<unsigned char>(c))) {
      kept += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
  }
  return kept;
}

// A slot's name ends with its control's label (a prefix tells repeated labels apart), a group's
// name is its label and "_group", and a group end is named after the group it closes.
TEST(Parameter_Set, EachSlotNameAgreesWithTheControlDeclaredInIt) {
  Parameter_Factory_After_Effects factory{nullptr, nullptr, nullptr};
  const Parameter_Set set{factory, Host_Context{}};
  std::vector<std::string_view> open_groups;
  size_t k = 0;
  for (const Parameter* p : set.parameters()) {
    const std::string_view name = slot_names.at(k++);
    SCOPED_TRACE(std::string(name));
    std::string label = letters(p->description().name);
    if (label == "environentantialias") {
      label = "environmentantialias";  // projects store the label misspelt; the name is not
    }
    if (dynamic_cast<const Group_Parameter*>(p) != nullptr) {
      ASSERT_TRUE(name.ends_with("_group"));
      const std::string_view group = name.substr(0, name.size() - 6);
      EXPECT_EQ(letters(group), label);
      open_groups.push_back(group);
    } else if (dynamic_cast<const Group_End_Parameter*>(p) != nullptr) {
      ASSERT_FALSE(open_groups.empty());
      EXPECT_EQ(name, std::string(open_groups.back()) + "_end");
      open_groups.pop_back();
    } else {
      EXPECT_TRUE(letters(name).ends_with(label)) << "label \"" << p->description().name << '"';
    }
  }
  EXPECT_EQ(k, slot_names.size());
  EXPECT_TRUE(open_groups.empty());
}

// A factory whose controls log their host index when destroyed, and that can refuse the n-th
// declaration.
std::vector<int32_t> destroyed;

template <class Binding, class Kind>
struct Recorded : Binding {
  template <class Description>
  Recorded(const Description& d, int32_t index) : Kind(d), Binding(d, nullptr, nullptr, index) {}
  ~Recorded() override { destroyed.push_back(this->index); }
};

class Recording_Factory : public Parameter_Factory {
 public:
  explicit Recording_Factory(int32_t refuse_at) : refuse_at_(refuse_at) {}
  std::unique_ptr<Group_Parameter> create_group(const Group_Parameter_Description& d) override {
    return make<Group_Parameter_AE, Group_Parameter>(d);
  }
  std::unique_ptr<Group_End_Parameter> create_group_end(
      const Group_End_Parameter_Description& d) override {
    return make<Group_End_Parameter_AE, Group_End_Parameter>(d);
  }
  std::unique_ptr<Rgb_Parameter> create_rgb(const Rgb_Parameter_Description& d) override {
    return make<Rgb_Parameter_AE, Rgb_Parameter>(d);
  }
  std::unique_ptr<Int_Parameter> create_int(const Int_Parameter_Description& d) override {
    return make<Int_Parameter_AE, Int_Parameter>(d);
  }
  std::unique_ptr<Float_Parameter> create_float(const Float_Parameter_Description& d) override {
    return make<Float_Parameter_AE, Float_Parameter>(d);
  }
  std::unique_ptr<Angle_Parameter> create_angle(const Angle_Parameter_Description& d) override {
    return make<Angle_Parameter_AE, Angle_Parameter>(d);
  }
  std::unique_ptr<Checkbox_Parameter> create_checkbox(
      const Checkbox_Parameter_Description& d) override {
    return make<Checkbox_Parameter_AE, Checkbox_Parameter>(d);
  }
  std::unique_ptr<Choice_Parameter> create_choice(const Choice_Parameter_Description& d) override {
    return make<Choice_Parameter_AE, Choice_Parameter>(d);
  }
  std::unique_ptr<Point_2d_Parameter> create_point_2d(
      const Point_2d_Parameter_Description& d) override {
    return make<Point_2d_Parameter_AE, Point_2d_Parameter>(d);
  }
  std::unique_ptr<Layer_Parameter> create_layer(const Layer_Parameter_Description& d) override {
    return make<Layer_Parameter_AE, Layer_Parameter>(d);
  }
  // The effect declares none of these.
  std::unique_ptr<Rgba_Parameter> create_rgba(const Rgba_Parameter_Description&) override {
    throw std::logic_error("rgba");
  }
  std::unique_ptr<Button_Parameter> create_button(const Button_Parameter_Description&) override {
    throw std::logic_error("button");
  }
  std::unique_ptr<Custom_Parameter> create_custom(std::shared_ptr<Custom_Handler>,
                                                  const Custom_Parameter_Description&) override {
    throw std::logic_error("custom");
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

TEST(Parameter_Set, ReleasesFromTheLastSlotToTheFirstAlsoAfterAFailingDeclaration) {
  destroyed.clear();
  {
    Recording_Factory factory(-1);
    Parameter_Set set(factory, Host_Context{});
    EXPECT_TRUE(destroyed.empty());
  }
  ASSERT_EQ(destroyed.size(), 95u);
  for (int32_t k = 0; k < 95; ++k) {
    EXPECT_EQ(destroyed[k], 95 - k);
  }

  destroyed.clear();
  Recording_Factory factory(41);  // slot 40 is refused
  EXPECT_THROW(Parameter_Set(factory, Host_Context{}), std::runtime_error);
  ASSERT_EQ(destroyed.size(), 40u);
  EXPECT_EQ(destroyed.front(), 40);
  EXPECT_EQ(destroyed.back(), 1);
}

}  // namespace
}  // namespace brel

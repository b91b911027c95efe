#include "base/parameter_description.h"

#include <gtest/gtest.h>

#include <limits>

namespace {

TEST(Parameter_Description, IdentifierIsTheGivenOneOrTheNameWithUnderscoresForBlanks) {
  EXPECT_EQ(brel::Parameter_Description("pre blur  strength", "", 1).identifier,
            "pre_blur__strength");
  EXPECT_EQ(brel::Parameter_Description("caustix", "", 1).identifier, "caustix");
  EXPECT_EQ(brel::Parameter_Description("a name", "own key", 1).identifier, "own_key");
  EXPECT_EQ(brel::Parameter_Description("", "", 1).identifier, "");
}

TEST(Parameter_Description, PlainSwitchesAndFields) {
  const brel::Parameter_Description d("name", "", -7);
  EXPECT_EQ(d.name, "name");
  EXPECT_EQ(d.disc_id, -7);
  EXPECT_TRUE(d.animatable);
  EXPECT_FALSE(d.supervised);
  EXPECT_FALSE(d.ui_only);
  EXPECT_TRUE(d.start_collapsed);
  EXPECT_TRUE(d.enabled);
  EXPECT_TRUE(d.visible);
}

TEST(Parameter_Description, KindsStartFromTheirPlainDefaults) {
  constexpr double highest = std::numeric_limits<double>::max();
  const brel::Float_Parameter_Description f("f", "", 1);
  EXPECT_EQ(f.precision, 2);
  EXPECT_EQ(f.default_value, 0.0);
  EXPECT_EQ(f.valid_min, -highest);
  EXPECT_EQ(f.valid_max, highest);
  EXPECT_EQ(f.slider_min, -highest);
  EXPECT_EQ(f.slider_max, highest);

  const brel::Angle_Parameter_Description a("a", "", 1);
  EXPECT_EQ(a.valid_min, -highest);
  EXPECT_EQ(a.slider_min, 0.0);
  EXPECT_EQ(a.slider_max, 360.0);

  const brel::Int_Parameter_Description i("i", "", 1);
  EXPECT_EQ(i.valid_min, std::numeric_limits<int32_t>::min());
  EXPECT_EQ(i.slider_max, std::numeric_limits<int32_t>::max());

  const brel::Point_2d_Parameter_Description p("p", "", 1);
  EXPECT_EQ(p.default_x, 0.5);
  EXPECT_EQ(p.default_y, 0.5);

  const brel::Rgb_Parameter_Description c("c", "", 1);
  EXPECT_EQ(c.red + c.green + c.blue, 0.0);
  EXPECT_EQ(brel::Rgba_Parameter_Description("c", "", 1).disc_id_alpha, 0);
  EXPECT_EQ(brel::Button_Parameter_Description("b", "", 1, "press").label, "press");
}

}  // namespace

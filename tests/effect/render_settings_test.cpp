#include "effect/render_settings.h"

#include <gtest/gtest.h>

namespace {

using brel::Pipeline_Stage;

TEST(Quality_Levels, OverrideAllDashLeavesTheIndividualPopupsInCharge) {
  // "caustics antialias" items "off", "sharp", "smooth"; "oversampling antialias" "off" .. "3x".
  for (int32_t caustics = 0; caustics < 3; ++caustics) {
    for (int32_t oversampling = 0; oversampling < 4; ++oversampling) {
      const brel::Quality_Levels q = brel::quality_levels(0, caustics, oversampling);
      EXPECT_EQ(q.caustics_quality, caustics + 1);
      EXPECT_EQ(q.oversampling, oversampling + 1);
    }
  }
  const brel::Quality_Levels smooth = brel::quality_levels(0, 2, 3);
  EXPECT_EQ(smooth.caustics_quality, 3);
  EXPECT_EQ(smooth.oversampling, 4);
}

TEST(Quality_Levels, OverrideAllSetsBothLevelsWhateverThePopupsSay) {
  const int32_t caustics_by_item[5] = {0, 1, 1, 2, 3};
  for (int32_t item = 1; item <= 4; ++item) {
    for (int32_t popup = 0; popup < 3; ++popup) {
      const brel::Quality_Levels q = brel::quality_levels(item, popup, 3 - popup);
      EXPECT_EQ(q.caustics_quality, caustics_by_item[item]) << "override all " << item;
      EXPECT_EQ(q.oversampling, item) << "override all " << item;
    }
  }
}

TEST(Depth_Scale, IsTheFactorTimesTheRoundedRootOfTwoInDoubleThenNarrowed) {
  EXPECT_EQ(brel::depth_scale_from_factor(100.0), 141.42136f);
  // A float multiplication would round the factor and the constant first and differ here.
  EXPECT_EQ(brel::depth_scale_from_factor(0.3), 0x1.b27248p-2f);
  EXPECT_EQ(brel::depth_scale_from_factor(55.5), 0x1.39f496p+6f);
  EXPECT_EQ(brel::depth_scale_from_factor(0.0), 0.0f);
}

TEST(Ends_After, DebugModesStopAfterTheirViewOthersRunEverything) {
  const Pipeline_Stage stages[] = {Pipeline_Stage::pre_color_correction,
                                   Pipeline_Stage::pre_blur,
                                   Pipeline_Stage::normal_generation,
                                   Pipeline_Stage::shadows,
                                   Pipeline_Stage::caustics,
                                   Pipeline_Stage::refraction_and_occlusion,
                                   Pipeline_Stage::final_shading};
  // Index of the last stage per render mode 0..7, and for two out-of-range values.
  const struct {
    int32_t mode;
    int last;
  } cases[] = {{0, 6}, {1, 6}, {2, 4}, {3, 3}, {4, 6}, {5, 2}, {6, 1}, {7, 0}, {8, 6}, {-1, 6}};
  for (const auto& c : cases) {
    int last = -1;
    for (int i = 0; i < 7; ++i) {
      if (brel::ends_after(c.mode, stages[i])) {
        EXPECT_EQ(last, -1) << "mode " << c.mode << " ends twice";
        last = i;
      }
    }
    EXPECT_EQ(last == -1 ? 6 : last, c.last) << "mode " << c.mode;
  }
}

struct Adjusted {
  float point = 0.7f;
  float direct = 0.8f;
  float illumination = 0.3f;
  float reflection = 0.4f;
  float transparency = 0.5f;
  float caustix = 0.6f;
  bool highlights = false;

  brel::Render_Mode_Targets targets() {
    return {&point, &direct, &illumination, &reflection, &transparency, &caustix, &highlights};
  }
};

TEST(Render_Mode_Adjustments, OtherModesChangeNothing) {
  for (int32_t mode : {0, 2, 3, 5, 6, 7, 8}) {
    Adjusted v;
    brel::apply_render_mode(mode, v.targets());
    EXPECT_EQ(v.point, 0.7f) << mode;
    EXPECT_EQ(v.direct, 0.8f) << mode;
    EXPECT_EQ(v.illumination, 0.3f) << mode;
    EXPECT_EQ(v.reflection, 0.4f) << mode;
    EXPECT_EQ(v.transparency, 0.5f) << mode;
    EXPECT_EQ(v.caustix, 0.6f) << mode;
    EXPECT_FALSE(v.highlights) << mode;
  }
}

}  // namespace

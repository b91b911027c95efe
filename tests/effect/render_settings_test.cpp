#include "effect/render_settings.h"

#include <gtest/gtest.h>

namespace {

using brel::Pipeline_Stage;

// The quality levels, the render-mode adjustments and the depth scale are checked through the
// host's parameter store with the records they feed; where a render ends is checked here for
// every mode, including those whose stages do not run yet.
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

}  // namespace

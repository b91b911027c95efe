#include "base/plugin.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace {

class Bare_Plugin final : public brel::Plugin {
 public:
  using Plugin::Plugin;
  const std::list<brel::Parameter*>& parameters() const override { return none_; }

 private:
  std::list<brel::Parameter*> none_;
};

brel::Host_Context host_context() {
  brel::Host_Context context;
  context.input_layer_name = [] { return std::string("Source"); };
  return context;
}

brel::Region_Map regions() {
  brel::Region_Map map;
  map["Source"] = {{0, 1920, 0, 1080}, 0.5f, 0.25f, 2.0f};
  map["background"] = {{-10, 30, 5, 45}, 1.0f, 1.0f, 1.0f};
  map["Source "] = {{1, 2, 3, 4}, 1.0f, 1.0f, 1.0f};
  return map;
}

TEST(Plugin_Lookups, RecordIsTheInputLayersRegionWithItsRatios) {
  Bare_Plugin plugin(host_context());
  const brel::Render_Region region = plugin.lookup_record({}, regions());
  EXPECT_EQ(region.rect, (brel::Rect{0, 1920, 0, 1080}));
  EXPECT_EQ(region.scale_x, 0.5f);
  EXPECT_EQ(region.scale_y, 0.25f);
  EXPECT_EQ(region.pixel_aspect, 2.0f);
  brel::Region_Map map = regions();
  map.erase("Source");
  EXPECT_THROW(plugin.lookup_record({}, map), std::out_of_range);
  EXPECT_THROW(Bare_Plugin(brel::Host_Context{}).lookup_record({}, regions()),
               std::bad_function_call);
}

// The input layer gets the requested rectangle whatever the map says; textures are looked up by
// name byte for byte.
TEST(Plugin_Lookups, InputLayerGetsTheRequestedRectTexturesTheirOwn) {
  Bare_Plugin plugin(host_context());
  const brel::Rect requested{100, 200, 300, 400};
  EXPECT_EQ(plugin.lookup_record_by_name({}, "Source", regions(), requested), requested);
  EXPECT_EQ(plugin.lookup_record_by_name({}, "background", regions(), requested),
            (brel::Rect{-10, 30, 5, 45}));
  // Longer than the input's name only by a blank: a texture name, not the input.
  EXPECT_EQ(plugin.lookup_record_by_name({}, "Source ", regions(), requested),
            (brel::Rect{1, 2, 3, 4}));
  EXPECT_THROW(plugin.lookup_record_by_name({}, "Background", regions(), requested),
               std::out_of_range);
}

}  // namespace

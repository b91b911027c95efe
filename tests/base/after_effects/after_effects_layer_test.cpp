#include "base/after_effects/after_effects_layer.h"

#include <gtest/gtest.h>

#include <cstring>

#include "base/after_effects/helper/ae_exception.h"
#include "base/after_effects/helper/ae_helper.h"
#include "base/exception.h"
#include "simulated_host.h"

namespace {

using brel::Exception_Abort;
using brel::Exception_After_Effects;
using brel::Exception_Assert;
using brel::ae::checkout_layer;
using brel::sim::Host_Identity;
using brel::sim::Simulated_Host;
using brel::sim::Slot;
using brel::sim::World;
namespace fn = brel::sim::fn;

// A host whose effect registered one layer parameter (host index 1).
struct Host : Simulated_Host {
  explicit Host(Host_Identity identity = Host_Identity::after_effects())
      : Simulated_Host(identity) {
    PF_ParamDef definition{};
    definition.param_type = PF_Param_LAYER;
    definition.uu.id = 7;
    std::strcpy(definition.name, "texture layer");
    parameters().add(definition, -1);
    set_downsample(1, 2, 1, 4);
  }
};

TEST(Checkout_Layer, DescribesTheWorldAndChecksItBackInWhenReleased) {
  Host host;
  World world(30, 20, PF_PixelFormat_ARGB64, 8);
  world.get()->origin_x = -3;
  world.get()->origin_y = 5;
  world.get()->pix_aspect_ratio = {3, 2};
  host.parameters().set_layer(Slot{0}, world.get());
  {
    auto layer = checkout_layer(host.in_data(), 1);
    ASSERT_NE(layer, nullptr);
    EXPECT_EQ(layer->origin_x, -3);
    EXPECT_EQ(layer->origin_y, 5);
    EXPECT_EQ(layer->scale_x, 0.5f);
    EXPECT_EQ(layer->scale_y, 0.25f);
    EXPECT_EQ(layer->pixel_aspect, 1.5f);
    EXPECT_EQ(layer->row_bytes, world.get()->rowbytes);
    EXPECT_EQ(layer->pixel_description, brel::pixel_description_argb(16));
    auto second_holder = layer;
    layer.reset();
    EXPECT_NE(host.imbalance(), "") << "still checked out while a holder lives";
  }
  EXPECT_EQ(host.imbalance(), "");
  ASSERT_EQ(host.checkout_calls().size(), 1u);
  EXPECT_EQ(host.checkout_calls()[0].index, 1);
}

TEST(Checkout_Layer, HostsOlderThan12_5AreRefusedBeforeAnyCall) {
  Host host(Host_Identity::after_effects(12, 4));
  try {
    checkout_layer(host.in_data(), 1);
    FAIL() << "no exception";
  } catch (const Exception_Assert& e) {
    EXPECT_NE(std::string(e.what()).find(
                  "this version of the After Effects api is to old and not supported"),
              std::string::npos);
  }
  EXPECT_EQ(host.calls(fn::checkout_param), 0);
  Host newer(Host_Identity::after_effects(12, 5));
  EXPECT_EQ(checkout_layer(newer.in_data(), 1), nullptr);
}

// Host errors become exceptions; a refused check-in happens in a deleter, so it is a warning,
// never a throw.
TEST(Checkout_Layer, HostErrorsBecomeExceptionsAndARefusedCheckInIsOnlyAWarning) {
  Host host;
  host.inject(fn::checkout_param, PF_Interrupt_CANCEL, 1);
  EXPECT_THROW(checkout_layer(host.in_data(), 1), Exception_Abort);
  host.inject(fn::checkout_param, PF_Err_INVALID_INDEX, 2);
  try {
    checkout_layer(host.in_data(), 1);
    FAIL() << "no exception";
  } catch (const Exception_After_Effects& e) {
    EXPECT_EQ(e.code(), PF_Err_INVALID_INDEX);
  }
  EXPECT_EQ(host.imbalance(), "");
  World world(4, 4, PF_PixelFormat_ARGB32, 4);
  host.parameters().set_layer(Slot{0}, world.get());
  auto layer = checkout_layer(host.in_data(), 1);
  host.inject(fn::checkin_param, PF_Err_BAD_CALLBACK_PARAM, host.calls(fn::checkin_param) + 1);
  const int64_t checkins = host.calls(fn::checkin_param);
  EXPECT_NO_THROW(layer.reset());
  EXPECT_EQ(host.calls(fn::checkin_param), checkins + 1);
}

// The layer is checked in even when its pixel format turns out unsupported.
TEST(Checkout_Layer, AnUnsupportedFormatFailsAfterTheLayerIsOwned) {
  Host host;
  World world(4, 4, PrPixelFormat_BGRA_4444_8u, 4);  // not an After Effects format
  host.parameters().set_layer(Slot{0}, world.get());
  EXPECT_THROW(checkout_layer(host.in_data(), 1), Exception_Assert);
  EXPECT_EQ(host.imbalance(), "");
}

}  // namespace

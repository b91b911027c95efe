#include "base/after_effects/helper/ae_helper.h"

#include <gtest/gtest.h>

#include "base/after_effects/helper/ae_exception.h"
#include "base/log.h"
#include "simulated_host.h"

namespace {

using brel::Pixel_Description;
using brel::sim::Host_Identity;
using brel::sim::Simulated_Host;
using brel::sim::World;

const Pixel_Description argb32f{1, 32, 1, 2, 3, 0};
const Pixel_Description argb16{1, 16, 1, 2, 3, 0};
const Pixel_Description argb8{1, 8, 1, 2, 3, 0};
const Pixel_Description bgra32f{1, 32, 2, 1, 0, 3};
const Pixel_Description bgra16{1, 16, 2, 1, 0, 3};
const Pixel_Description bgra8{1, 8, 2, 1, 0, 3};

TEST(Host_Context, TellsTheHostApplicationByItsId) {
  Simulated_Host ae(Host_Identity::after_effects());
  const brel::Host_Context context = brel::ae::host_context(ae.in_data());
  EXPECT_EQ(context.plugin_api(), brel::Plugin_Api::After_Effects);
  EXPECT_EQ(context.plugin_host(), brel::Plugin_Host::After_Effects);
  EXPECT_EQ(context.input_layer_name(), "Source");
  EXPECT_EQ(context.output_layer_name(), "Output");

  // The member reads the host data when asked, not when built.
  ae.in_data()->appl_id = PF_APPL_ID_PREMIERE;
  EXPECT_EQ(context.plugin_host(), brel::Plugin_Host::Premiere_Pro);
  ae.in_data()->appl_id = PF_FOURCC_MSB_FIRST('A', 'B', 'C', 'D');
  EXPECT_EQ(context.plugin_host(), brel::Plugin_Host::Other);
  EXPECT_EQ(static_cast<int32_t>(context.plugin_host()), 4);
  // Without host data the host is taken for Premiere Pro.
  EXPECT_EQ(static_cast<int32_t>(brel::ae::host_context(nullptr).plugin_host()), 1);
  // Ids are compared whole: the same four characters in the other byte order are no host.
  EXPECT_FALSE(brel::host_is_premiere(ae.in_data()));
  ae.in_data()->appl_id = PF_FOURCC_LSB_FIRST('F', 'X', 'T', 'C');
  EXPECT_FALSE(brel::host_is_after_effects(ae.in_data()));
  ae.in_data()->appl_id = PF_APPL_ID_AFTER_EFFECTS;
  EXPECT_TRUE(brel::host_is_after_effects(ae.in_data()));
}

struct Version_Case {
  A_short major;
  A_short minor;
  bool at_least_12_5;
  bool at_least_12_11;
  bool at_least_13_9;
};

TEST(Host_Versions, ApiVersionThresholds) {
  const Version_Case cases[] = {
      {11, 20, false, false, false}, {12, 4, false, false, false}, {12, 5, true, false, false},
      {12, 10, true, false, false},  {12, 11, true, true, false},  {13, 8, true, true, false},
      {13, 9, true, true, true},     {14, 0, true, true, true},
  };
  for (const Host_Identity& identity :
       {Host_Identity::after_effects(), Host_Identity::premiere()}) {
    Simulated_Host host(identity);
    for (const Version_Case& c : cases) {
      host.in_data()->version = {c.major, c.minor};
      const std::string at = std::to_string(c.major) + "." + std::to_string(c.minor);
      EXPECT_EQ(brel::api_version_at_least(host.in_data(), 12, 5), c.at_least_12_5) << at;
      EXPECT_EQ(brel::api_version_at_least(host.in_data(), 12, 11), c.at_least_12_11) << at;
      EXPECT_EQ(brel::api_version_at_least(host.in_data(), 13, 9), c.at_least_13_9) << at;
    }
  }
}

// The application version comes from the app-info suite; elsewhere it is never asked for.
TEST(Host_Versions, PremiereApplicationVersionComparesMajorMinorPatch) {
  const struct {
    PrAppVersion version;
    bool expected;
  } cases[] = {{{5, 0, 2}, true}, {{5, 1, 0}, true},  {{5, 0, 1}, false},
               {{6, 0, 0}, true}, {{4, 9, 9}, false}, {{5, 0, 3}, true}};
  for (const auto& c : cases) {
    Simulated_Host host(Host_Identity::premiere(13, 4, c.version));
    EXPECT_EQ(brel::premiere_version_at_least(host.in_data(), 5, 0, 2), c.expected)
        << c.version.major << "." << c.version.minor << "." << c.version.patch;
    EXPECT_EQ(host.calls(brel::sim::fn::app_info), 1);
    EXPECT_EQ(host.imbalance(), "");
  }
  Simulated_Host ae(Host_Identity::after_effects());
  EXPECT_FALSE(brel::premiere_version_at_least(ae.in_data(), 0, 0, 0));
  EXPECT_EQ(ae.calls(brel::sim::fn::app_info), 0);
  EXPECT_THROW(brel::premiere_version(ae.in_data()), brel::Exception_Assert);
}

TEST(Host_Versions, VersionLines) {
  Simulated_Host ae(Host_Identity::after_effects(13, 28));
  EXPECT_EQ(brel::host_version_line(ae.in_data()), "After Effects v13.28(app id: FXTC)");
  Simulated_Host premiere(Host_Identity::premiere(13, 4, {24, 1, 0}));
  EXPECT_EQ(brel::host_version_line(premiere.in_data()), "Premiere v24.1.0(app id: PrMr)");
  premiere.in_data()->appl_id = PF_FOURCC_MSB_FIRST('A', 'b', 'c', 'D');
  EXPECT_EQ(brel::host_version_line(premiere.in_data()), "(app id: AbcD)");
}

// Every format a host carries maps to its layout, asked of the host's own suite; a host that
// is neither asks the world suite.
TEST(World_Pixel_Description, EveryFormatEachHostCarries) {
  const struct {
    Host_Identity identity;
    PF_PixelFormat format;
    Pixel_Description expected;
  } cases[] = {
      {Host_Identity::after_effects(), PF_PixelFormat_ARGB128, argb32f},
      {Host_Identity::after_effects(), PF_PixelFormat_ARGB64, argb16},
      {Host_Identity::after_effects(), PF_PixelFormat_ARGB32, argb8},
      {Host_Identity::after_effects(), PF_PixelFormat_BGRA128, bgra32f},
      {Host_Identity::premiere(), PrPixelFormat_BGRA_4444_32f, bgra32f},
      {Host_Identity::premiere(), PrPixelFormat_BGRA_4444_16u, bgra16},
      {Host_Identity::premiere(), PrPixelFormat_BGRA_4444_8u, bgra8},
      {Host_Identity::premiere(), PrPixelFormat_ARGB_4444_8u, argb8},
      {Host_Identity::other(PF_FOURCC_MSB_FIRST('A', 'B', 'C', 'D'), 13, 0), PF_PixelFormat_ARGB64,
       argb16},
  };
  for (const auto& c : cases) {
    Simulated_Host host(c.identity);
    const bool premiere = c.identity.is_premiere();
    World world(4, 2, c.format, World::pixel_bytes(c.format, premiere));
    EXPECT_EQ(brel::world_pixel_description(world.get(), host.in_data()), c.expected) << c.format;
    EXPECT_EQ(premiere ? host.acquires(kPFPixelFormatSuite, 1) : host.acquires(kPFWorldSuite, 2), 1)
        << c.format;
    EXPECT_EQ(host.imbalance(), "");
  }
}

void expect_unsupported(Simulated_Host& host, PF_PixelFormat format, int line) {
  World world(1, 1, format, 16);
  EXPECT_THROW(brel::world_pixel_description(world.get(), host.in_data()), brel::Exception_Assert)
      << format;
  const std::string report = brel::global_log().recent_messages().back();
  EXPECT_NE(report.find("(ASSERT_INCOMPLETE) in base/after_effects/helper/ae_helper line " +
                        std::to_string(line) + ". found something that needs implementation"),
            std::string::npos)
      << report;
  EXPECT_EQ(host.imbalance(), "");
}

TEST(World_Pixel_Description, FormatsAHostDoesNotCarryAreRefused) {
  Simulated_Host ae(Host_Identity::after_effects());
  for (const PF_PixelFormat format :
       {PrPixelFormat_BGRA_4444_8u, PrPixelFormat_BGRA_4444_16u, PrPixelFormat_BGRA_4444_32f, 0}) {
    expect_unsupported(ae, format, 296);
  }
  Simulated_Host premiere(Host_Identity::premiere());
  for (const PF_PixelFormat format :
       {PF_PixelFormat_ARGB128, PF_PixelFormat_ARGB64, PF_PixelFormat_BGRA128, 0}) {
    expect_unsupported(premiere, format, 268);
  }
}

// Reading the frame with a guessed format would misread its channels.
TEST(World_Pixel_Description, PremiereRefusesAFrameWhoseFormatQueryFails) {
  Simulated_Host host(Host_Identity::premiere());
  host.inject(brel::sim::fn::pr_get_pixel_format, PF_Err_BAD_CALLBACK_PARAM);
  World world(1, 1, PrPixelFormat_BGRA_4444_32f, 16);
  try {
    brel::world_pixel_description(world.get(), host.in_data());
    FAIL();
  } catch (const brel::Exception_Premiere& e) {
    EXPECT_EQ(e.code(), PF_Err_BAD_CALLBACK_PARAM);
  }
  EXPECT_EQ(host.imbalance(), "");
}

TEST(World_Pixel_Description, QueryErrorsAndAMissingSuiteBecomeExceptions) {
  Simulated_Host host(Host_Identity::after_effects());
  World world(1, 1, PF_PixelFormat_ARGB32, 4);
  host.inject(brel::sim::fn::get_pixel_format, PF_Interrupt_CANCEL);
  EXPECT_THROW(brel::world_pixel_description(world.get(), host.in_data()), brel::Exception_Abort);
  host.inject(brel::sim::fn::get_pixel_format, PF_Err_INVALID_CALLBACK, 2);
  try {
    brel::world_pixel_description(world.get(), host.in_data());
    FAIL();
  } catch (const brel::Exception_After_Effects& e) {
    EXPECT_EQ(e.code(), PF_Err_INVALID_CALLBACK);
  }
  EXPECT_EQ(host.imbalance(), "");
  Simulated_Host premiere(Host_Identity::premiere());
  premiere.remove_suite(kPFPixelFormatSuite, 1);
  EXPECT_THROW(brel::world_pixel_description(world.get(), premiere.in_data()),
               brel::Exception_Ae_Suite);
}

TEST(Layer_Description, AZeroAspectDenominatorCountsAsSquarePixels) {
  World world(7, 3, PF_PixelFormat_ARGB64, 8, 8);
  world.get()->pix_aspect_ratio = {0, 0};
  const brel::Layer_Typeless layer = brel::make_layer_description(world.get(), 0.5f, 0.25f, argb16);
  EXPECT_EQ(layer.pixel_aspect, 1.0f);
  EXPECT_EQ(layer.row_bytes, 64 + 8);
  world.get()->pix_aspect_ratio = {4, 3};
  EXPECT_EQ(brel::make_layer_description(world.get(), 1.0f, 1.0f, argb16).pixel_aspect,
            4.0f / 3.0f);
}

}  // namespace

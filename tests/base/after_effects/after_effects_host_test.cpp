#include "base/after_effects/after_effects_host.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

#include "base/after_effects/after_effects_parameter_factory.h"
#include "base/after_effects/after_effects_project.h"
#include "base/after_effects/helper/ae_helper.h"
#include "base/exception.h"
#include "base/log.h"
#include "base/parameter.h"
#include "base/parameter_description.h"
#include "base/plugin.h"
#include "plugin_driver.h"
#include "simulated_host.h"
#include "support/temporary_folder.h"

namespace {

using brel::Layer_Map;
using brel::Layer_Typeless;
using brel::Pixel_Description;
using brel::sim::Host_Identity;
using brel::sim::Plugin_Driver;
using brel::sim::Simulated_Host;
using brel::sim::Slot;
using brel::sim::World;
namespace fn = brel::sim::fn;

// What the effect object saw of the last render.
struct Render_Record {
  int calls = 0;
  Layer_Typeless input;
  Layer_Typeless output;
  Layer_Map layers;
  Pixel_Description pixel_description;
  int64_t worker_count = 0;
};

Render_Record last_render;
// Runs inside the effect's render, after the record is taken.
std::function<void(brel::Render_Context&)> render_action;

// An effect with two texture layers ("environmental layer", host index 1, and "background
// layer", host index 2).
class Recording_Plugin final : public brel::Plugin {
 public:
  Recording_Plugin(PF_InData* in_data, PF_ParamDef** params)
      : Plugin(brel::ae::host_context(in_data)), factory_(in_data, params, nullptr) {
    environment_ =
        factory_.create_layer(brel::Layer_Parameter_Description("environmental layer", "", 11));
    background_ =
        factory_.create_layer(brel::Layer_Parameter_Description("background layer", "", 12));
    parameters_ = factory_.parameters();
  }

  const std::list<brel::Parameter*>& parameters() const override { return parameters_; }

  void render(brel::Plugin_Context, brel::Render_Context render_context, Layer_Typeless input,
              Layer_Typeless output, Layer_Map layers,
              Pixel_Description pixel_description) override {
    ++last_render.calls;
    last_render.input = input;
    last_render.output = output;
    last_render.layers = layers;
    last_render.pixel_description = pixel_description;
    // Every iteration carries the same count; one writes it, so the loop's threads do not race.
    render_context.parallel_for(4, [](const brel::Iteration& iteration) {
      if (iteration.index == 0) {
        last_render.worker_count = iteration.worker_count;
      }
    });
    if (render_action) {
      render_action(render_context);
    }
  }

 private:
  brel::Parameter_Factory_After_Effects factory_;
  std::unique_ptr<brel::Layer_Parameter> environment_;
  std::unique_ptr<brel::Layer_Parameter> background_;
  std::list<brel::Parameter*> parameters_;
};

PF_Err recording_entry(PF_Cmd command, PF_InData* in_data, PF_OutData* out_data,
                       PF_ParamDef* params[], PF_LayerDef* output, void* extra) {
  Recording_Plugin plugin(in_data, params);
  const auto description = brel::build_plugin_description(
      "Lumbrix", "Quenvari", 1, 1, 1, 3, "3D rendering based on Z-depth images.", "");
  return brel::handle_command_guarded(command, in_data, out_data, params, output, extra,
                                      description, &plugin);
}

// A simulated host with the recording effect set up on it.
struct Fixture {
  Fixture() : host(Host_Identity::after_effects()), driver(host, &recording_entry) {
    last_render = Render_Record{};
    render_action = nullptr;
    EXPECT_EQ(driver.global_setup(), PF_Err_NONE);
    EXPECT_EQ(driver.params_setup(), PF_Err_NONE);
  }
  Simulated_Host host;
  Plugin_Driver driver;
};

constexpr PF_PixelFormat argb_float() {
  return PF_PixelFormat_ARGB128;
}

TEST(Global_Setup, RegistersAndKeepsThePluginIdUnderAfterEffects) {
  Simulated_Host host(Host_Identity::after_effects(13, 28));
  host.set_plugin_id(77);
  Plugin_Driver driver(host, &recording_entry);
  EXPECT_EQ(driver.global_setup(), PF_Err_NONE);
  EXPECT_EQ(brel::ae_plugin_id(), 77) << "the id is kept for later commands";
  host.inject(fn::register_with_aegp, 7, host.calls(fn::register_with_aegp) + 1);
  EXPECT_EQ(driver.global_setup(), 7);
  EXPECT_EQ(host.imbalance(), "");
}

TEST(Commands, CommandsTheEffectDoesNotServeTouchNothing) {
  Fixture fixture;
  PF_OutData before = *fixture.host.out_data();
  for (PF_Cmd command : {2, 3, 5, 6, 7, 8, 9, 10, 12, 16, 17, 19, 20, 21, 25, 30, 32, 33, 34, 99}) {
    EXPECT_EQ(fixture.driver.send(command), PF_Err_NONE) << command;
  }
  EXPECT_EQ(std::memcmp(&before, fixture.host.out_data(), sizeof(PF_OutData)), 0);
}

// Textures arrive in the layer map under their identifiers, centred on the frame; an empty
// layer parameter arrives without pixels and, in the classic render, is checked in as well.
TEST(Render, TexturesArriveUnderTheirIdentifiersCentredOnTheFrame) {
  for (const bool smart : {true, false}) {
    SCOPED_TRACE(smart ? "smart" : "classic");
    Fixture fixture;
    fixture.host.set_downsample(1, 2, 1, 2);
    fixture.host.set_thread_count(3);
    World& input = fixture.driver.set_frame(40, 30, argb_float());
    World& environment = fixture.driver.set_texture(Slot{0}, 31, 10);
    environment.get()->pix_aspect_ratio = {2, 1};
    EXPECT_EQ(smart ? fixture.driver.smart_render() : fixture.driver.render(), PF_Err_NONE);
    ASSERT_EQ(last_render.calls, 1);
    EXPECT_EQ(last_render.pixel_description, brel::pixel_description_argb(32));
    EXPECT_EQ(last_render.input.pixels, input.get()->data);
    EXPECT_EQ(last_render.input.scale_x, 0.5f);
    EXPECT_EQ(last_render.output.pixels, fixture.driver.output().get()->data);
    EXPECT_EQ(last_render.output.width, 40);
    ASSERT_EQ(last_render.layers.size(), 2u);
    const Layer_Typeless& texture = last_render.layers.at("environmental_layer");
    EXPECT_EQ(texture.pixels, environment.get()->data);
    EXPECT_EQ(texture.width, 31);
    EXPECT_EQ(texture.origin_x, (40 - 31) / 2);
    EXPECT_EQ(texture.origin_y, (30 - 10) / 2);
    // The classic render gives every layer the host's pixel aspect (square here).
    EXPECT_EQ(texture.pixel_aspect, smart ? 2.0f : 1.0f);
    EXPECT_EQ(texture.pixel_description, brel::pixel_description_argb(32));
    const Layer_Typeless& background = last_render.layers.at("background_layer");
    EXPECT_EQ(background.pixels, nullptr);
    EXPECT_EQ(background.width, 0);
    EXPECT_EQ(last_render.worker_count, 3) << "the render's loops run on the host's threads";
    EXPECT_EQ(fixture.host.calls(fn::checkin_param), fixture.host.calls(fn::checkout_param));
    EXPECT_EQ(fixture.host.imbalance(), "");
  }
}

// The pipeline reads textures in the frame's pixel type; one in another format is left out.
TEST(Render, ATextureInAnotherFormatIsLeftOut) {
  for (const bool smart : {true, false}) {
    Fixture fixture;
    fixture.driver.set_frame(16, 16, argb_float());
    fixture.driver.set_texture(Slot{1}, 16, 16, PF_PixelFormat_ARGB64);
    EXPECT_EQ(smart ? fixture.driver.smart_render() : fixture.driver.render(), PF_Err_NONE);
    const Layer_Typeless& texture = last_render.layers.at("background_layer");
    EXPECT_EQ(texture.pixels, nullptr) << smart;
    EXPECT_EQ(texture.width, 0) << smart;
    EXPECT_EQ(fixture.host.imbalance(), "") << smart;
  }
}

TEST(Smart_Render, WithoutAnOutputWorldNothingIsRendered) {
  Fixture fixture;
  fixture.driver.set_frame(16, 16, argb_float());
  EXPECT_EQ(fixture.driver.smart_render(false), PF_Err_NONE);
  EXPECT_EQ(last_render.calls, 0);
}

// ---- Everything else becomes 512, reported -------------------------------------------------

// What the effect itself throws never leaves the command: logged, written to the crash report
// and answered 512 (the library's tests cover the failures of the host adapter, the parallel
// loop's tests those of a worker). Runs in a process of its own, as the crash report belongs to
// the process-wide log.
void exception_in_the_render() {
  brel::test::Temporary_Folder folder;
  brel::global_log().set_base_path(folder.path() + "/lumbrix_ae");
  Fixture fixture;
  fixture.driver.set_frame(8, 8, argb_float());
  render_action = [](brel::Render_Context&) { throw std::logic_error("broken"); };
  const PF_Err code = fixture.driver.smart_render();
  std::string report;
  for (const auto& entry : std::filesystem::directory_iterator(folder.path())) {
    if (entry.path().extension() == ".crash") {
      report += folder.read_file(entry.path().filename().string());
    }
  }
  const bool reported =
      report.find("-**###  ERROR  ###**-: Unknown Exception escaped") != std::string::npos &&
      report.find("Writing Error Log. Crashing now.\n") != std::string::npos;
  std::_Exit(code == PF_Err_INTERNAL_STRUCT_DAMAGED && reported &&
                     fixture.host.imbalance().empty() && fixture.driver.escaped_exceptions() == 0 &&
                     fixture.host.live_handles() == 0
                 ? 0
                 : 1);
}

TEST(Command_Barrier_DeathTest, AnExceptionOfTheEffectIsReportedAndAnswered512) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(exception_in_the_render(), ::testing::ExitedWithCode(0), "");
}

}  // namespace

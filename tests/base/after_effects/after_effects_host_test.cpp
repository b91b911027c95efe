#include "base/after_effects/after_effects_host.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "base/after_effects/ae_report.h"
#include "base/after_effects/after_effects_parameter_factory.h"
#include "base/after_effects/after_effects_parameter_setup.h"
#include "base/after_effects/after_effects_project.h"
#include "base/after_effects/helper/ae_exception.h"
#include "base/after_effects/helper/ae_helper.h"
#include "base/exception.h"
#include "base/log.h"
#include "base/parameter.h"
#include "base/parameter_description.h"
#include "base/plugin.h"
#include "plugin_driver.h"
#include "simulated_host.h"
#include "support/temporary_folder.h"
#include "util/memory.h"

namespace {

using brel::Layer_Map;
using brel::Layer_Typeless;
using brel::Pixel_Description;
using brel::Rect;
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
// layer", host index 2) and a float control after them.
class Recording_Plugin final : public brel::Plugin {
 public:
  Recording_Plugin(PF_InData* in_data, PF_ParamDef** params)
      : Plugin(brel::ae::host_context(in_data)), factory_(in_data, params, nullptr) {
    environment_ =
        factory_.create_layer(brel::Layer_Parameter_Description("environmental layer", "", 11));
    background_ =
        factory_.create_layer(brel::Layer_Parameter_Description("background layer", "", 12));
    brel::Float_Parameter_Description amount("amount", "", 13);
    amount_ = factory_.create_float(amount);
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
    render_context.parallel_for(4, [](const brel::Iteration& iteration) {
      last_render.worker_count = iteration.worker_count;
    });
    if (render_action) {
      render_action(render_context);
    }
  }

 private:
  brel::Parameter_Factory_After_Effects factory_;
  std::unique_ptr<brel::Layer_Parameter> environment_;
  std::unique_ptr<brel::Layer_Parameter> background_;
  std::unique_ptr<brel::Float_Parameter> amount_;
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
  explicit Fixture(Host_Identity identity = Host_Identity::after_effects())
      : host(identity), driver(host, &recording_entry) {
    last_render = Render_Record{};
    render_action = nullptr;
    EXPECT_EQ(driver.global_setup(), PF_Err_NONE);
    EXPECT_EQ(driver.params_setup(), PF_Err_NONE);
  }
  Simulated_Host host;
  Plugin_Driver driver;
};

PF_PixelFormat argb_float() {
  return PF_PixelFormat_ARGB128;
}

// ---- Global commands ---------------------------------------------------------------------

TEST(GlobalSetup, ReportsVersionAndFlagsAndRegistersUnderAfterEffects) {
  Simulated_Host host(Host_Identity::after_effects(13, 28));
  host.set_plugin_id(77);
  Plugin_Driver driver(host, &recording_entry);
  EXPECT_EQ(driver.global_setup(), PF_Err_NONE);
  EXPECT_EQ(host.out_data()->my_version, 0x88E00u);
  EXPECT_EQ(host.out_data()->out_flags, 0x6000004);
  EXPECT_EQ(host.out_data()->out_flags2, 0x8001489);
  EXPECT_EQ(host.registered_name(), "Lumbrix");
  EXPECT_EQ(brel::ae_plugin_id(), 77) << "the id is kept for later commands";
  EXPECT_TRUE(host.supported_pixel_formats().empty());
  EXPECT_EQ(host.imbalance(), "");
}

TEST(GlobalSetup, LeavesTheSecondFlagsOfHostsBefore12_5) {
  for (A_short minor : {4, 5}) {
    Simulated_Host host(Host_Identity::after_effects(12, minor));
    host.out_data()->out_flags2 = 0x5A5A;
    Plugin_Driver driver(host, &recording_entry);
    EXPECT_EQ(driver.global_setup(), PF_Err_NONE);
    EXPECT_EQ(host.out_data()->out_flags, 0x6000004);
    EXPECT_EQ(host.out_data()->out_flags2, minor == 4 ? 0x5A5A : 0x8001489);
  }
}

TEST(GlobalSetup, AddsTheThreeBgraFormatsUnderPremiere) {
  Simulated_Host host(Host_Identity::premiere());
  Plugin_Driver driver(host, &recording_entry);
  EXPECT_EQ(driver.global_setup(), PF_Err_NONE);
  EXPECT_EQ(host.supported_pixel_formats(),
            (std::vector<PrPixelFormat>{PrPixelFormat_BGRA_4444_32f, PrPixelFormat_BGRA_4444_16u,
                                        PrPixelFormat_BGRA_4444_8u}));
  EXPECT_EQ(host.calls(fn::pr_clear_pixel_formats), 1);
  EXPECT_EQ(host.calls(fn::pr_match_frames), 1);
  EXPECT_EQ(host.calls(fn::register_with_aegp), 0);
  EXPECT_EQ(host.out_data()->my_version, 0x88E00u);
  EXPECT_EQ(host.imbalance(), "");
}

TEST(GlobalSetup, AnotherHostGetsVersionAndFlagsOnly) {
  Simulated_Host host(Host_Identity::other(PF_FOURCC_MSB_FIRST('T', 'E', 'S', 'T'), 13, 0));
  Plugin_Driver driver(host, &recording_entry);
  EXPECT_EQ(driver.global_setup(), PF_Err_NONE);
  EXPECT_EQ(host.out_data()->out_flags, 0x6000004);
  EXPECT_EQ(host.calls(fn::register_with_aegp), 0);
  EXPECT_TRUE(host.supported_pixel_formats().empty());
}

TEST(GlobalSetup, AFailedRegistrationAnswersItsCode) {
  Simulated_Host host(Host_Identity::after_effects());
  host.inject(fn::register_with_aegp, 7);
  Plugin_Driver driver(host, &recording_entry);
  EXPECT_EQ(driver.global_setup(), 7);
  EXPECT_EQ(host.imbalance(), "");
}

TEST(EncodedVersion, PacksTheVersionAsTheHostReadsIt) {
  auto version = [](uint32_t major, uint32_t minor, uint32_t bug, uint32_t stage) {
    return brel::encoded_version(
        brel::build_plugin_description("x", "", major, minor, bug, stage, "", ""));
  };
  EXPECT_EQ(version(1, 1, 1, 3), 0x88E00u);
  EXPECT_EQ(version(1, 1, 1, 7), 0x88E00u) << "a stage above 3 counts as 3";
  EXPECT_EQ(version(9, 0, 0, 0), (1u << 19) | (1u << 26));
}

TEST(Commands, DynamicFlagsClearTheNonParameterVaryBit) {
  for (const Host_Identity& identity :
       {Host_Identity::after_effects(), Host_Identity::premiere()}) {
    Fixture fixture(identity);
    ASSERT_EQ(fixture.host.out_data()->out_flags & PF_OutFlag_NON_PARAM_VARY,
              PF_OutFlag_NON_PARAM_VARY);
    EXPECT_EQ(fixture.driver.query_dynamic_flags(), PF_Err_NONE);
    EXPECT_EQ(fixture.host.out_data()->out_flags, 0x6000000);
  }
}

TEST(Commands, CommandsTheEffectDoesNotServeTouchNothing) {
  Fixture fixture;
  PF_OutData before = *fixture.host.out_data();
  for (PF_Cmd command : {2, 3, 5, 6, 7, 8, 9, 10, 12, 16, 17, 19, 20, 21, 25, 30, 32, 33, 34, 99}) {
    EXPECT_EQ(fixture.driver.send(command), PF_Err_NONE) << command;
  }
  EXPECT_EQ(std::memcmp(&before, fixture.host.out_data(), sizeof(PF_OutData)), 0);
}

TEST(Commands, AboutWritesTheAboutTextThroughTheHostsSprintf) {
  Fixture fixture;
  EXPECT_EQ(fixture.driver.about(), PF_Err_NONE);
  EXPECT_EQ(std::string(fixture.host.out_data()->return_msg),
            brel::make_about_text(brel::build_plugin_description(
                "Lumbrix", "", 1, 1, 1, 3, "3D rendering based on Z-depth images.", "")));
  EXPECT_EQ(fixture.host.calls(fn::sprintf), 1);
}

TEST(Commands, UserChangedParameterOfAnyIndexIsAnswered) {
  Fixture fixture;
  EXPECT_EQ(fixture.driver.user_changed_param(3), PF_Err_NONE);
  EXPECT_EQ(fixture.driver.user_changed_param(40), PF_Err_NONE);
  EXPECT_EQ(fixture.driver.send(PF_Cmd_USER_CHANGED_PARAM), PF_Err_NONE);  // no extra record
  EXPECT_EQ(fixture.host.imbalance(), "");
}

// ---- Smart pre-render --------------------------------------------------------------------

TEST(SmartPreRender, ProbesAndChecksOutEveryLayerAndSetsTheRectangles) {
  Fixture fixture;
  fixture.driver.set_frame(40, 30, argb_float());
  fixture.driver.set_texture(Slot{0}, 30, 20);  // the environment; the background has none
  EXPECT_EQ(fixture.driver.smart_pre_render(PF_LRect{-5, 2, 100, 25}), PF_Err_NONE);
  const auto checkouts = fixture.driver.layer_checkouts();
  ASSERT_EQ(checkouts.size(), 6u);
  const PF_LRect zero{0, 0, 0, 0};
  struct Expected {
    PF_ParamIndex index;
    A_long id;
    PF_LRect rect;
  };
  const std::vector<Expected> expected = {{0, 10000, zero},
                                          {1, 10001, zero},
                                          {2, 10002, zero},
                                          {0, 0, PF_LRect{-5, 2, 100, 25}},
                                          {1, 1, PF_LRect{0, 0, 30, 20}},
                                          {2, 2, zero}};
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(checkouts[i].index, expected[i].index) << i;
    EXPECT_EQ(checkouts[i].checkout_id, expected[i].id) << i;
    EXPECT_EQ(std::memcmp(&checkouts[i].rect, &expected[i].rect, sizeof(PF_LRect)), 0) << i;
  }
  const PF_PreRenderOutput& output = fixture.driver.pre_render_output();
  EXPECT_EQ(brel::rect_from_pf_rect(output.max_result_rect), (Rect{0, 40, 0, 30}));
  EXPECT_EQ(brel::rect_from_pf_rect(output.result_rect), (Rect{0, 40, 2, 25}));
  EXPECT_EQ(output.solid, 0);
  EXPECT_EQ(fixture.host.imbalance(), "");
}

TEST(SmartPreRender, CheckoutErrorsAnswerTheirCodes) {
  Fixture fixture;
  fixture.driver.set_frame(8, 8, argb_float());
  for (int64_t call : {1, 2, 4, 5}) {
    fixture.driver.inject(brel::sim::fn::checkout_layer, PF_Err_INVALID_CALLBACK,
                          fixture.driver.calls(brel::sim::fn::checkout_layer) + call);
    EXPECT_EQ(fixture.driver.smart_pre_render(), PF_Err_INVALID_CALLBACK) << call;
  }
  fixture.driver.inject(brel::sim::fn::checkout_layer, PF_Interrupt_CANCEL,
                        fixture.driver.calls(brel::sim::fn::checkout_layer) + 3);
  EXPECT_EQ(fixture.driver.smart_pre_render(), PF_Interrupt_CANCEL);
  EXPECT_EQ(fixture.host.imbalance(), "");
}

TEST(ClampRequest, KeepsTheRequestInsideTheOutput) {
  const Rect output{50, 80, -10, 40};
  EXPECT_EQ(brel::clamp_request(Rect{0, 100, 0, 100}, output), (Rect{50, 80, 0, 40}));
  EXPECT_EQ(brel::clamp_request(Rect{90, 100, 0, 10}, output), (Rect{80, 80, 0, 10}));
  EXPECT_EQ(brel::clamp_request(Rect{0, 10, 0, 10}, output), (Rect{50, 50, 0, 10}));
  EXPECT_EQ(brel::clamp_request(Rect{0, 10, 50, 60}, output), (Rect{50, 50, 40, 40}));
}

// ---- Smart render ------------------------------------------------------------------------

TEST(SmartRender, TexturesArriveUnderTheirIdentifiersCentredOnTheFrame) {
  Fixture fixture;
  fixture.host.set_downsample(1, 2, 1, 2);
  fixture.host.set_thread_count(3);
  World& input = fixture.driver.set_frame(40, 30, argb_float());
  World& environment = fixture.driver.set_texture(Slot{0}, 31, 10);
  environment.get()->pix_aspect_ratio = {2, 1};
  EXPECT_EQ(fixture.driver.smart_render(), PF_Err_NONE);
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
  EXPECT_EQ(texture.pixel_aspect, 2.0f);
  EXPECT_EQ(texture.pixel_description, brel::pixel_description_argb(32));
  const Layer_Typeless& background = last_render.layers.at("background_layer");
  EXPECT_EQ(background.pixels, nullptr);
  EXPECT_EQ(background.width, 0);
  EXPECT_EQ(background.pixel_description, brel::pixel_description_argb(32));
  EXPECT_EQ(last_render.worker_count, 3) << "the render's loops run on the host's threads";
  EXPECT_EQ(fixture.host.imbalance(), "");
}

// The pipeline reads textures in the frame's pixel type; one in another format is left out.
TEST(SmartRender, ATextureInAnotherFormatIsLeftOut) {
  Fixture fixture;
  fixture.driver.set_frame(16, 16, argb_float());
  fixture.driver.set_texture(Slot{0}, 16, 16, PF_PixelFormat_ARGB32);
  EXPECT_EQ(fixture.driver.smart_render(), PF_Err_NONE);
  const Layer_Typeless& texture = last_render.layers.at("environmental_layer");
  EXPECT_EQ(texture.pixels, nullptr);
  EXPECT_EQ(texture.width, 0);
}

TEST(SmartRender, WithoutAnOutputWorldNothingIsRendered) {
  Fixture fixture;
  fixture.driver.set_frame(16, 16, argb_float());
  EXPECT_EQ(fixture.driver.smart_render(false), PF_Err_NONE);
  EXPECT_EQ(last_render.calls, 0);
}

TEST(SmartRender, CheckoutErrorsAbortsAndMemoryExhaustionAnswerTheirCodes) {
  Fixture fixture;
  fixture.driver.set_frame(16, 16, argb_float());
  // Each fault hits the next call of its callback, or the one after as said.
  auto next = [&](const char* function, int64_t later = 0) {
    return fixture.driver.calls(function) + 1 + later;
  };
  namespace smart = brel::sim::fn;
  fixture.driver.inject(smart::checkout_layer_pixels, PF_Err_INVALID_CALLBACK,
                        next(smart::checkout_layer_pixels));
  EXPECT_EQ(fixture.driver.smart_render(), PF_Err_INVALID_CALLBACK);
  fixture.driver.inject(smart::checkout_output, PF_Err_BAD_CALLBACK_PARAM,
                        next(smart::checkout_output));
  EXPECT_EQ(fixture.driver.smart_render(), PF_Err_BAD_CALLBACK_PARAM);
  // The second texture.
  fixture.driver.inject(smart::checkout_layer_pixels, PF_Interrupt_CANCEL,
                        next(smart::checkout_layer_pixels, 2));
  EXPECT_EQ(fixture.driver.smart_render(), PF_Interrupt_CANCEL);
  EXPECT_EQ(last_render.calls, 0);

  render_action = [](brel::Render_Context& context) { context.allocate_memory(64)->cpu_data(); };
  fixture.host.inject(fn::suite_new_handle, 1);
  EXPECT_EQ(fixture.driver.smart_render(), PF_Err_OUT_OF_MEMORY);
  render_action = [](brel::Render_Context& context) {
    context.parallel_for(100, [&](const brel::Iteration&) {
      // Slow rows leave some to the host's thread 0, the one that polls the host.
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      context.check_abort();
    });
  };
  fixture.host.inject(fn::abort, PF_Interrupt_CANCEL, fixture.host.calls(fn::abort) + 1);
  EXPECT_EQ(fixture.driver.smart_render(), PF_Interrupt_CANCEL);
  EXPECT_EQ(fixture.host.imbalance(), "");
  EXPECT_EQ(fixture.host.live_handles(), 0);
  EXPECT_EQ(fixture.driver.escaped_exceptions(), 0);
}

// ---- Classic render ----------------------------------------------------------------------

TEST(ClassicRender, ChecksOutTheTexturesAndChecksThemBackIn) {
  Fixture fixture;
  World& input = fixture.driver.set_frame(20, 10, argb_float());
  World& environment = fixture.driver.set_texture(Slot{0}, 9, 4);
  EXPECT_EQ(fixture.driver.render(), PF_Err_NONE);
  ASSERT_EQ(last_render.calls, 1);
  EXPECT_EQ(last_render.input.pixels, input.get()->data);
  EXPECT_EQ(last_render.input.pixel_description, brel::pixel_description_argb(32));
  EXPECT_EQ(last_render.output.pixels, fixture.driver.output().get()->data);
  const Layer_Typeless& texture = last_render.layers.at("environmental_layer");
  EXPECT_EQ(texture.pixels, environment.get()->data);
  EXPECT_EQ(texture.origin_x, (20 - 9) / 2);
  EXPECT_EQ(texture.origin_y, (10 - 4) / 2);
  const Layer_Typeless& background = last_render.layers.at("background_layer");
  EXPECT_EQ(background.pixels, nullptr);
  EXPECT_EQ(background.pixel_description.bits, -1);
  // Both layer parameters were checked out, the empty one included, and all are back.
  EXPECT_EQ(fixture.host.calls(fn::checkin_param), fixture.host.calls(fn::checkout_param));
  EXPECT_EQ(fixture.host.imbalance(), "");
}

TEST(ClassicRender, ATextureInAnotherFormatIsLeftOutButCheckedIn) {
  Fixture fixture;
  fixture.driver.set_frame(16, 16, argb_float());
  fixture.driver.set_texture(Slot{1}, 16, 16, PF_PixelFormat_ARGB64);
  EXPECT_EQ(fixture.driver.render(), PF_Err_NONE);
  EXPECT_EQ(last_render.layers.at("background_layer").pixels, nullptr);
  EXPECT_EQ(fixture.host.imbalance(), "");
}

TEST(ClassicRender, ACheckoutErrorStillChecksInWhatWasTaken) {
  Fixture fixture;
  fixture.driver.set_frame(16, 16, argb_float());
  fixture.driver.set_texture(Slot{0}, 16, 16);
  fixture.host.inject(fn::checkout_param, PF_Err_INVALID_INDEX,
                      fixture.host.calls(fn::checkout_param) + 2);
  EXPECT_EQ(fixture.driver.render(), PF_Err_INVALID_INDEX);
  EXPECT_EQ(last_render.calls, 0);
  EXPECT_EQ(fixture.host.imbalance(), "");
}

// A host without iterate_generic still gets its frame: loops run serially.
TEST(ClassicRender, AHostWithoutParallelIterationRendersSerially) {
  Fixture fixture;
  fixture.driver.set_frame(16, 16, argb_float());
  fixture.host.set_utils_present(false);
  EXPECT_EQ(fixture.driver.render(), PF_Err_NONE);
  EXPECT_EQ(last_render.calls, 1);
  EXPECT_EQ(last_render.worker_count, 1);
}

// ---- Everything else becomes 512, reported -------------------------------------------------

// Runs the failing commands in a process of its own (the crash report belongs to the
// process-wide log) and exits 0 when each answered 512, left nothing out of balance, let no
// exception escape, and was reported with the error line in the crash report.
void unknown_failures_become_512() {
  brel::test::Temporary_Folder folder;
  brel::global_log().set_base_path(folder.path() + "/lumbrix_ae");
  auto crash_report = [&] {
    std::string report;
    for (const auto& entry : std::filesystem::directory_iterator(folder.path())) {
      if (entry.path().extension() == ".crash") {
        report += folder.read_file(entry.path().filename().string());
      }
    }
    return report;
  };
  std::string failures;
  auto expect_512 = [&](const std::string& name, const std::function<PF_Err(Fixture&)>& run,
                        Host_Identity identity = Host_Identity::after_effects()) {
    Fixture fixture(identity);
    fixture.driver.set_frame(
        8, 8, identity.is_premiere() ? PrPixelFormat_BGRA_4444_32f : PF_PixelFormat_ARGB128);
    const size_t reported = crash_report().size();
    const PF_Err code = run(fixture);
    if (code != PF_Err_INTERNAL_STRUCT_DAMAGED) {
      failures += name + ": answered " + std::to_string(code) + "\n";
    }
    if (!fixture.host.imbalance().empty()) {
      failures += name + ": " + fixture.host.imbalance();
    }
    if (fixture.driver.escaped_exceptions() != 0 || fixture.host.live_handles() != 0) {
      failures += name + ": escaped or leaked\n";
    }
    // The barrier's line, or for a worker the parallel loop's, then the crash report.
    const std::string added = crash_report().substr(reported);
    if (added.find("-**###  ERROR  ###**-: Unknown Exception escaped") == std::string::npos ||
        added.find("Writing Error Log. Crashing now.\n") == std::string::npos) {
      failures += name + ": not in the crash report\n";
    }
    render_action = nullptr;
  };
  expect_512("unsupported format, smart", [](Fixture& f) {
    f.driver.set_frame(8, 8, PrPixelFormat_BGRA_4444_8u);
    return f.driver.smart_render();
  });
  expect_512("unsupported format, classic", [](Fixture& f) {
    f.driver.set_frame(8, 8, PF_PixelFormat_ARGB64 + 1);
    return f.driver.render();
  });
  expect_512(
      "unsupported format, premiere",
      [](Fixture& f) {
        f.driver.set_frame(8, 8, PF_PixelFormat_ARGB64);
        return f.driver.smart_render();
      },
      Host_Identity::premiere());
  expect_512("missing world suite", [](Fixture& f) {
    f.host.remove_suite(kPFWorldSuite, 2);
    return f.driver.smart_render();
  });
  expect_512("missing registration suite", [](Fixture& f) {
    f.host.remove_suite(kAEGPUtilitySuite, 7);
    return f.driver.global_setup();
  });
  expect_512(
      "missing pixel format suite",
      [](Fixture& f) {
        f.host.remove_suite(kPFPixelFormatSuite, 1);
        return f.driver.global_setup();
      },
      Host_Identity::premiere());
  expect_512(
      "premiere suite error",
      [](Fixture& f) {
        f.host.inject(fn::app_info, suiteError_Fail, f.host.calls(fn::app_info) + 1);
        return f.driver.global_setup();
      },
      Host_Identity::premiere());
  expect_512("event command", [](Fixture& f) {
    PF_EventExtra extra{};
    return f.driver.send(PF_Cmd_EVENT, &extra);
  });
  expect_512("arbitrary data command", [](Fixture& f) {
    PF_ArbParamsExtra extra{};
    return f.driver.send(PF_Cmd_ARBITRARY_CALLBACK, &extra);
  });
  expect_512("gpu smart render", [](Fixture& f) {
    PF_SmartRenderExtra extra{};
    return f.driver.send(PF_Cmd_SMART_RENDER_GPU, &extra);
  });
  expect_512(
      "old host, classic render", [](Fixture& f) { return f.driver.render(); },
      Host_Identity::after_effects(12, 4));
  expect_512("exception in the render", [](Fixture& f) {
    render_action = [](brel::Render_Context&) { throw std::logic_error("broken"); };
    return f.driver.smart_render();
  });
  expect_512("exception in a worker", [](Fixture& f) {
    render_action = [](brel::Render_Context& context) {
      context.parallel_for(8, [](const brel::Iteration&) { throw std::logic_error("broken"); });
    };
    return f.driver.smart_render();
  });

  std::fputs(failures.c_str(), stderr);
  std::_Exit(failures.empty() ? 0 : 1);
}

TEST(CommandBarrierDeathTest, UnknownFailuresAreReportedAndAnswered512) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(unknown_failures_become_512(), ::testing::ExitedWithCode(0), "");
}

}  // namespace

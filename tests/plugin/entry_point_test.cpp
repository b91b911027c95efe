// The plug-in library as a host sees it: loaded with dlopen, driven through its one export by
// the simulated host, under both host identities and in every pixel format each carries.

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <functional>
#include <regex>
#include <string>
#include <vector>

#include "base/after_effects/helper/ae_helper.h"
#include "support/plugin_fixture.h"

namespace {

using brel::sim::Host_Identity;
using brel::sim::Plugin_Driver;
using brel::sim::Simulated_Host;
using brel::sim::World;
using brel::test::after_effects_formats;
using brel::test::argb_float_pixel;
using brel::test::fill_ramp;
using brel::test::Format;
using brel::test::Home;
using brel::test::Loaded;
using brel::test::premiere_formats;
namespace fn = brel::sim::fn;

// ---- The library -------------------------------------------------------------------------

TEST(Plugin_Library, ExportsOnlyItsEntryPoint) {
  void* library = dlopen(LUMBRIX_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(library, nullptr) << dlerror();
  EXPECT_NE(dlsym(library, "EntryPointFunc"), nullptr);
  EXPECT_EQ(dlsym(library, "_ZN4brel10global_logEv"), nullptr);  // brel::global_log()
  dlclose(library);
}

// The second flags exist from API 12.5 on; older hosts keep what they had. Premiere Pro gets
// the three BGRA formats, After Effects the registration.
TEST(Plugin_Library, GlobalSetupPerHostAndApiVersion) {
  const struct {
    Host_Identity identity;
    int32_t out_flags2;
    bool registers;
    std::vector<PrPixelFormat> formats;
  } cases[] = {
      {Host_Identity::after_effects(13, 28), 0x8001489, true, {}},
      {Host_Identity::after_effects(12, 5), 0x8001489, true, {}},
      {Host_Identity::after_effects(12, 4), 0x5A5A, true, {}},
      {Host_Identity::premiere(),
       0x8001489,
       false,
       {PrPixelFormat_BGRA_4444_32f, PrPixelFormat_BGRA_4444_16u, PrPixelFormat_BGRA_4444_8u}},
  };
  for (const auto& c : cases) {
    Home home;
    Simulated_Host host(c.identity);
    host.out_data()->out_flags2 = 0x5A5A;
    Plugin_Driver driver(host, LUMBRIX_PLUGIN_PATH);
    const std::string at = std::to_string(host.in_data()->version.major) + "." +
                           std::to_string(host.in_data()->version.minor);
    EXPECT_EQ(driver.global_setup(), PF_Err_NONE) << at;
    EXPECT_EQ(host.out_data()->my_version, 0x88E00u) << at;
    EXPECT_EQ(host.out_data()->out_flags, 0x6000004) << at;
    EXPECT_EQ(host.out_data()->out_flags2, c.out_flags2) << at;
    EXPECT_EQ(host.registered_name(), c.registers ? "Lumbrix" : "") << at;
    EXPECT_EQ(host.calls(fn::register_with_aegp), c.registers ? 1 : 0) << at;
    EXPECT_EQ(host.supported_pixel_formats(), c.formats) << at;
    EXPECT_EQ(host.imbalance(), "") << at;
  }
}

TEST(Plugin_Library, ParameterSetupRegistersTheEffectsParameters) {
  Loaded loaded;
  EXPECT_EQ(loaded.params_setup, PF_Err_NONE);
  EXPECT_EQ(loaded.host.out_data()->num_params, 96);
  EXPECT_EQ(loaded.host.parameters().size(), 95);
  EXPECT_EQ(loaded.host.calls(fn::add_param), 95);
}

TEST(Plugin_Library, AboutAndTheEnvironmentReport) {
  Home home;
  home.create_log_file();
  Simulated_Host host(Host_Identity::after_effects(13, 28));
  Plugin_Driver driver(host, LUMBRIX_PLUGIN_PATH);
  ASSERT_EQ(driver.global_setup(), PF_Err_NONE);
  ASSERT_EQ(driver.about(), PF_Err_NONE);
  const std::string about = host.out_data()->return_msg;
  EXPECT_EQ(about.rfind("Lumbrix - V1.1.1\nQuenvar #001\n\n3D rendering based on Z-depth images.\n"
                        "tip: set project to float or 16bit per channel!\n\n",
                        0),
            0u)
      << about;
  // The library's build date, in the compiler's form: it may differ from this test's own when a
  // build runs past midnight.
  EXPECT_TRUE(
      std::regex_search(about, std::regex("\nbuild date: [A-Z][a-z]{2} [ 123][0-9] [0-9]{4}\n")))
      << about;
  EXPECT_EQ(about.find("build date"), about.rfind("build date")) << "a release has one";
  EXPECT_EQ(host.sprintf_truncations(), 0);

  const std::string log = home.log();
  EXPECT_EQ(log.rfind("*** Environment Information ***\n"
                      "    Plugin Host: After Effects v13.28(app id: FXTC)\n"
                      "    Plugin: Lumbrix 1.1.1\n"
                      "    Installation folder: ",
                      0),
            0u)
      << log;
  EXPECT_NE(log.find("    Cpu Count: "), std::string::npos);
  EXPECT_NE(log.find("    Operating System: Linux\n----------------------------------\n"),
            std::string::npos);
}

TEST(Plugin_Library, InterfaceCommandsAnswerAndStayBalanced) {
  Loaded loaded;
  EXPECT_EQ(loaded.driver.update_params_ui(), PF_Err_NONE);
  EXPECT_EQ(loaded.host.update_ui_calls().size(), 64u);
  EXPECT_EQ(loaded.driver.query_dynamic_flags(), PF_Err_NONE);
  EXPECT_EQ(loaded.host.out_data()->out_flags & PF_OutFlag_NON_PARAM_VARY, 0);
  EXPECT_EQ(loaded.driver.user_changed_param(2), PF_Err_NONE);
  EXPECT_EQ(loaded.driver.send(PF_Cmd_GLOBAL_SETDOWN), PF_Err_NONE);
  EXPECT_EQ(loaded.host.imbalance(), "");
}

// ---- Smart pre-render --------------------------------------------------------------------

TEST(Plugin_Library, SmartPreRenderChecksOutEveryLayerTwice) {
  Loaded loaded;
  loaded.driver.set_frame(64, 48, PF_PixelFormat_ARGB128);
  loaded.driver.set_texture("normal texture", 32, 16);
  ASSERT_EQ(loaded.driver.smart_pre_render(PF_LRect{10, -4, 200, 30}), PF_Err_NONE);
  const auto checkouts = loaded.driver.layer_checkouts();
  ASSERT_EQ(checkouts.size(), 26u);
  const std::vector<PF_ParamIndex> textures = {27, 29, 48, 60, 62, 64, 66, 68, 73, 74, 79, 81};
  EXPECT_EQ(checkouts[0].checkout_id, 10000);
  EXPECT_EQ(checkouts[13].checkout_id, 0);
  EXPECT_EQ(checkouts[13].rect.right, 200);
  for (size_t k = 0; k < textures.size(); ++k) {
    EXPECT_EQ(checkouts[1 + k].index, textures[k]);
    EXPECT_EQ(checkouts[1 + k].checkout_id, 10000 + textures[k]);
    EXPECT_EQ(checkouts[14 + k].index, textures[k]);
    EXPECT_EQ(checkouts[14 + k].checkout_id, textures[k]);
  }
  // The normal texture (host index 48) is checked out over its whole area.
  EXPECT_EQ(checkouts[14 + 2].rect.right, 32);
  EXPECT_EQ(checkouts[14 + 2].rect.bottom, 16);
  const PF_PreRenderOutput& output = loaded.driver.pre_render_output();
  EXPECT_EQ(brel::rect_from_pf_rect(output.max_result_rect), (brel::Rect{0, 64, 0, 48}));
  EXPECT_EQ(brel::rect_from_pf_rect(output.result_rect), (brel::Rect{10, 64, 0, 30}));
  EXPECT_EQ(output.solid, 0);
  EXPECT_EQ(loaded.host.imbalance(), "");
}

// ---- Renders -----------------------------------------------------------------------------

// Every format each host carries goes through the pipeline of its pixel type, smart and
// classic, with the log line of the choice and the timing report in the log.
TEST(Plugin_Library, RendersEveryFormatEachHostCarries) {
  for (const bool premiere : {false, true}) {
    for (const Format& format : premiere ? premiere_formats : after_effects_formats) {
      for (const bool smart : {true, false}) {
        Loaded loaded(premiere ? Host_Identity::premiere() : Host_Identity::after_effects());
        loaded.home.create_log_file();
        loaded.host.parameters().set_popup("render mode", 5);  // normalmap
        fill_ramp(loaded.driver.set_frame(24, 16, format.code), premiere);
        const PF_Err result = smart ? loaded.driver.smart_render() : loaded.driver.render();
        const std::string context = std::string(format.pipeline) + (smart ? " smart" : " classic");
        EXPECT_EQ(result, PF_Err_NONE) << context;
        const std::string log = loaded.home.log();
        EXPECT_NE(log.find(std::string("render path: ") +
                           (smart ? "PF_Cmd_SMART_RENDER\n" : "PF_Cmd_RENDER\n")),
                  std::string::npos)
            << context;
        EXPECT_NE(log.find("translating render call to " + std::string(format.pipeline) + "\n"),
                  std::string::npos)
            << context << "\n"
            << log;
        EXPECT_NE(log.find("getting output layer (Cpu)"), std::string::npos) << context;
        EXPECT_NE(log.find("generate normals (Cpu)"), std::string::npos) << context;
        EXPECT_EQ(loaded.host.imbalance(), "") << context;
        EXPECT_EQ(loaded.host.live_handles(), 0) << context;
      }
    }
  }
}

TEST(Plugin_Library, WithoutTheLogFileNothingIsWritten) {
  Loaded loaded;
  loaded.home.create_log_folder();
  loaded.driver.set_frame(16, 16, PF_PixelFormat_ARGB128);
  ASSERT_EQ(loaded.driver.smart_render(), PF_Err_NONE);
  ASSERT_EQ(loaded.driver.render(), PF_Err_NONE);
  EXPECT_TRUE(loaded.home.log_folder_is_empty());
}

// Failures that are not the host's or the user's are logged, written to the crash report and
// answered 512; nothing leaves the library.
TEST(Plugin_Library, UnexpectedFailuresAreReportedAndAnswered512) {
  struct Case {
    const char* name;
    Host_Identity identity;
    std::function<PF_Err(Loaded&)> run;
  };
  const auto smart = [](Loaded& l) { return l.driver.smart_render(); };
  const auto classic = [](Loaded& l) { return l.driver.render(); };
  const auto setup = [](Loaded& l) { return l.driver.global_setup(); };
  // Runs `command` after taking a suite away, or on a frame in the given format.
  const auto without = [](const char* suite, int32_t version, auto command) {
    return [=](Loaded& l) {
      l.host.remove_suite(suite, version);
      return command(l);
    };
  };
  const auto in_format = [](PF_PixelFormat format, auto command) {
    return [=](Loaded& l) {
      l.driver.set_frame(8, 8, format);
      return command(l);
    };
  };
  const Host_Identity ae = Host_Identity::after_effects();
  const std::vector<Case> cases = {
      {"format the host lacks", ae, in_format(PrPixelFormat_BGRA_4444_8u, smart)},
      {"format no host has", ae, in_format(PF_PixelFormat_ARGB64 + 1, classic)},
      {"format premiere lacks", Host_Identity::premiere(), in_format(PF_PixelFormat_ARGB64, smart)},
      {"missing world suite", ae, without(kPFWorldSuite, 2, classic)},
      {"missing handle suite", ae, without(kPFHandleSuite, 2, smart)},
      {"missing registration suite", ae, without(kAEGPUtilitySuite, 7, setup)},
      {"missing pixel format suite", Host_Identity::premiere(),
       without(kPFPixelFormatSuite, 1, setup)},
      {"premiere suite error", Host_Identity::premiere(),
       [](Loaded& l) {
         l.host.inject(fn::app_info, suiteError_Fail, l.host.calls(fn::app_info) + 1);
         return l.driver.global_setup();
       }},
      {"event", ae,
       [](Loaded& l) {
         PF_EventExtra extra = l.host.custom_ui().event(PF_Event_DO_CLICK, 1, nullptr);
         return l.driver.send(PF_Cmd_EVENT, &extra);
       }},
      {"arbitrary data", ae,
       [](Loaded& l) {
         PF_ArbParamsExtra extra{};
         return l.driver.send(PF_Cmd_ARBITRARY_CALLBACK, &extra);
       }},
      {"input in another format than the output", ae,
       [](Loaded& l) {
         l.driver.set_frame(8, 8, PF_PixelFormat_ARGB32);
         l.driver.set_output_format(PF_PixelFormat_ARGB128);
         return l.driver.smart_render();
       }},
      // A wider input than the output would be read past its rows.
      {"classic input in another format than the output", ae,
       [](Loaded& l) {
         l.driver.set_frame(8, 8, PF_PixelFormat_ARGB128);
         l.driver.set_output_format(PF_PixelFormat_ARGB32);
         return l.driver.render();
       }},
      // The 16-bit frame would otherwise be read as 8-bit BGRA and reported rendered.
      {"premiere pixel format query fails", Host_Identity::premiere(),
       [](Loaded& l) {
         l.driver.set_frame(8, 8, PrPixelFormat_BGRA_4444_16u);
         l.host.inject(fn::pr_get_pixel_format, suiteError_Fail,
                       l.host.calls(fn::pr_get_pixel_format) + 1, -1);
         return l.driver.smart_render();
       }},
      {"old host", Host_Identity::after_effects(12, 4), classic},
  };
  for (const Case& c : cases) {
    Loaded loaded(c.identity);
    loaded.home.create_log_folder();
    if (loaded.driver.format() == 0) {
      loaded.driver.set_frame(
          8, 8, c.identity.is_premiere() ? PrPixelFormat_BGRA_4444_32f : PF_PixelFormat_ARGB128);
    }
    EXPECT_EQ(c.run(loaded), PF_Err_INTERNAL_STRUCT_DAMAGED) << c.name;
    EXPECT_NE(loaded.home.crash_reports().find(
                  "-**###  ERROR  ###**-: Unknown Exception escaped. Writing Error Log. Crashing "
                  "now.\n"),
              std::string::npos)
        << c.name;
    EXPECT_EQ(loaded.host.imbalance(), "") << c.name;
    EXPECT_EQ(loaded.host.live_handles(), 0) << c.name;
  }
}

// A host out of memory when a suite is asked for answers 4, as every allocation failure does,
// with the warning line and no crash report; the suites taken so far come back.
TEST(Plugin_Library, ASuiteRefusedForLackOfMemoryAnswers4) {
  for (const bool smart : {true, false}) {
    Loaded loaded;
    loaded.home.create_log_file();
    loaded.host.parameters().set_popup("render mode", 5);
    fill_ramp(loaded.driver.set_frame(8, 8, PF_PixelFormat_ARGB128), false);
    loaded.host.fail_suite(kPFHandleSuite, 2, kSPOutOfMemoryError);
    EXPECT_EQ(smart ? loaded.driver.smart_render() : loaded.driver.render(), PF_Err_OUT_OF_MEMORY);
    EXPECT_NE(loaded.home.log().find("-**### WARNING ###**-: After Effects Suite Error: "
                                     "kSPOutOfMemoryError"),
              std::string::npos);
    EXPECT_EQ(loaded.home.crash_reports(), "");
    EXPECT_EQ(loaded.host.imbalance(), "");
    EXPECT_EQ(loaded.host.live_handles(), 0);
  }
}

// The effect has no GPU render: the command is refused with its own log line before any layer
// is checked out or render state is built, and nothing is reported as a crash.
TEST(Plugin_Library, GpuRenderIsRefusedBeforeAnyRenderState) {
  Loaded loaded;
  loaded.home.create_log_file();
  loaded.driver.set_frame(8, 8, PF_PixelFormat_ARGB128);
  const int64_t checkouts = loaded.driver.calls(fn::checkout_layer_pixels);
  PF_SmartRenderExtra extra{};
  EXPECT_EQ(loaded.driver.send(PF_Cmd_SMART_RENDER_GPU, &extra), PF_Err_INTERNAL_STRUCT_DAMAGED);
  EXPECT_EQ(loaded.driver.calls(fn::checkout_layer_pixels), checkouts);
  const std::string log = loaded.home.log();
  EXPECT_NE(log.find("-**###  ERROR  ###**-: GPU render requested; this effect renders on the "
                     "CPU only.\n"),
            std::string::npos)
      << log;
  EXPECT_EQ(log.find("render path"), std::string::npos) << log;
  EXPECT_EQ(loaded.home.crash_reports(), "");
  EXPECT_EQ(loaded.host.imbalance(), "");
  // The processor render still runs afterwards.
  EXPECT_EQ(loaded.driver.smart_render(), PF_Err_NONE);
}

// Host error codes come back as they are, with the warning line in the log.
TEST(Plugin_Library, HostErrorsAndAbortsOfTheCheckoutsAnswerTheirCodes) {
  Loaded loaded;
  loaded.home.create_log_file();
  loaded.driver.set_frame(8, 8, PF_PixelFormat_ARGB128);
  loaded.driver.inject(fn::checkout_output, PF_Err_BAD_CALLBACK_PARAM,
                       loaded.driver.calls(fn::checkout_output) + 1);
  EXPECT_EQ(loaded.driver.smart_render(), PF_Err_BAD_CALLBACK_PARAM);
  EXPECT_NE(loaded.home.log().find("-**### WARNING ###**-: After Effects Error: "
                                   "PF_Err_BAD_CALLBACK_PARAM (516). Thrown in file "
                                   "base/after_effects/after_effects_host line 740. After "
                                   "Effects api Error (PF_Err)\n"),
            std::string::npos)
      << loaded.home.log();
  loaded.driver.inject(fn::checkout_layer_pixels, PF_Interrupt_CANCEL,
                       loaded.driver.calls(fn::checkout_layer_pixels) + 5);
  EXPECT_EQ(loaded.driver.smart_render(), PF_Interrupt_CANCEL);
  loaded.driver.inject(fn::checkout_layer, PF_Interrupt_CANCEL,
                       loaded.driver.calls(fn::checkout_layer) + 20);
  EXPECT_EQ(loaded.driver.smart_pre_render(), PF_Interrupt_CANCEL);
  loaded.host.inject(fn::checkout_param, PF_Err_INVALID_INDEX,
                     loaded.host.calls(fn::checkout_param) + 3);
  EXPECT_EQ(loaded.driver.render(), PF_Err_INVALID_INDEX);
  loaded.host.inject(fn::checkout_param, PF_Interrupt_CANCEL,
                     loaded.host.calls(fn::checkout_param) + 12);
  EXPECT_EQ(loaded.driver.render(), PF_Interrupt_CANCEL);
  EXPECT_EQ(loaded.host.imbalance(), "");
  EXPECT_EQ(loaded.home.crash_reports(), "");
}

}  // namespace

#include "base/after_effects/after_effects_custom_ui.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "base/after_effects/after_effects_host.h"
#include "base/after_effects/after_effects_parameter_factory.h"
#include "base/after_effects/helper/ae_helper.h"
#include "base/gui_event.h"
#include "base/parameter.h"
#include "base/plugin.h"
#include "plugin_driver.h"
#include "simulated_host.h"
#include "support/plugin_fixture.h"

namespace {

using brel::Layer_Typeless;
using brel::sim::Custom_Ui;
using brel::sim::Host_Identity;
using brel::sim::Plugin_Driver;
using brel::sim::Simulated_Host;
using brel::sim::World;
namespace fn = brel::sim::fn;
namespace gui = brel::gui;

// A knob's value: a position and the clicks that set it. Its text form is "position clicks".
struct Knob {
  double position;
  int32_t clicks;
};

class Knob_Data final : public brel::Data_Functions {
 public:
  explicit Knob_Data(Knob dephault) : dephault_(dephault) {}
  int64_t size(const PF_InData*) const override { return sizeof(Knob); }
  void write_default(void* memory) const override { std::memcpy(memory, &dephault_, sizeof(Knob)); }
  void copy(const void* source, void* destination) const override {
    std::memcpy(destination, source, sizeof(Knob));
  }
  bool equal(const void* a, const void* b) const override {
    return knob(a).position == knob(b).position && knob(a).clicks == knob(b).clicks;
  }
  void interpolate(const void* left, const void* right, double t, void* out) const override {
    const Knob value{knob(left).position + (knob(right).position - knob(left).position) * t,
                     knob(left).clicks};
    std::memcpy(out, &value, sizeof(Knob));
  }
  std::string text(const void* memory) const override {
    char text[64];
    std::snprintf(text, sizeof text, "%.17g %d", knob(memory).position, knob(memory).clicks);
    return text;
  }
  void read_text(const std::string& text, void* memory) const override {
    Knob value{};
    if (std::sscanf(text.c_str(), "%lf %d", &value.position, &value.clicks) == 2) {
      std::memcpy(memory, &value, sizeof(Knob));
    }
  }

 private:
  static Knob knob(const void* memory) {
    Knob value;
    std::memcpy(&value, memory, sizeof(Knob));
    return value;
  }
  Knob dephault_;
};

// What the control did with its events; the effect object is made anew for every command.
struct Control_Script {
  std::vector<std::string> kinds;
  std::vector<gui::Point> positions;
  bool request_drag = false;
  int32_t cursor = 0;
  bool hovered = false;
  std::function<void(gui::Event&)> action;
};
Control_Script script;
int render_calls = 0;

class Knob_Handler final : public brel::Custom_Handler {
 public:
  void handle_event(gui::Event& event) override {
    if (auto* click = event.payload_as<gui::Click_Event_Payload>()) {
      record("click", click->position);
      click->request_drag = script.request_drag;
    } else if (auto* drag = event.payload_as<gui::Drag_Event_Payload>()) {
      record(drag->last ? "last drag" : "drag", drag->position);
    } else if (auto* hover = event.payload_as<gui::Hover_Event_Payload>()) {
      record("hover", hover->position);
      hover->cursor = script.cursor;
    } else {
      record("draw", {});
    }
    if (script.action) {
      script.action(event);
    }
  }
  bool hovered() const override { return script.hovered; }

 private:
  static void record(const char* kind, gui::Point position) {
    script.kinds.push_back(kind);
    script.positions.push_back(position);
  }
};

constexpr int64_t knob_refcon = 11;
constexpr int64_t companion_refcon = 12;
constexpr int32_t minimum_height = 30;
constexpr int32_t knob_height = 60;

// An effect whose only control is a knob drawn by the effect (host index 1, its companion 2).
class Knob_Plugin final : public brel::Plugin {
 public:
  Knob_Plugin(PF_InData* in_data, PF_ParamDef** params, PF_EventExtra* event)
      : Plugin(brel::ae::host_context(in_data)), factory_(in_data, params, event) {
    knob_ = factory_.create_custom(
        std::make_shared<Knob_Handler>(),
        brel::Custom_Parameter_Description(
            "knob", "", 100, minimum_height, knob_height, knob_refcon, companion_refcon, 101,
            std::make_shared<Knob_Data>(Knob{0.5, 0}), std::make_shared<Knob_Data>(Knob{-1.0, 7})));
    parameters_ = factory_.parameters();
  }
  const std::list<brel::Parameter*>& parameters() const override { return parameters_; }
  void render(brel::Plugin_Context, brel::Render_Context, Layer_Typeless input,
              Layer_Typeless output, brel::Layer_Map, brel::Pixel_Description) override {
    ++render_calls;
    EXPECT_EQ(input.pixels, output.pixels) << "the output frame is rendered over the input";
  }

 private:
  brel::Parameter_Factory_After_Effects factory_;
  std::unique_ptr<brel::Custom_Parameter> knob_;
  std::list<brel::Parameter*> parameters_;
};

PF_Err knob_entry(PF_Cmd command, PF_InData* in_data, PF_OutData* out_data, PF_ParamDef* params[],
                  PF_LayerDef* output, void* extra) {
  Knob_Plugin plugin(in_data, params,
                     command == PF_Cmd_EVENT ? static_cast<PF_EventExtra*>(extra) : nullptr);
  const auto description = brel::build_plugin_description("Knob", "Tests", 1, 0, 0, 0, "", "");
  return brel::handle_command_guarded(command, in_data, out_data, params, output, extra,
                                      description, &plugin);
}

struct Fixture {
  explicit Fixture(Host_Identity identity = Host_Identity::after_effects())
      : host(identity), driver(host, &knob_entry) {
    script = Control_Script{};
    render_calls = 0;
    EXPECT_EQ(driver.global_setup(), PF_Err_NONE);
    EXPECT_EQ(driver.params_setup(), PF_Err_NONE);
    baseline_handles = host.live_handles();
  }
  Custom_Ui& ui() { return host.custom_ui(); }
  PF_EventExtra event(A_long type, PF_Point origin = {100, 200}) {
    return ui().event(type, 1, reinterpret_cast<void*>(knob_refcon), origin);
  }
  // A pointer event at (x, y) from the control's top left corner.
  PF_Err pointer(PF_EventExtra& extra, int32_t x, int32_t y) {
    extra.u.do_click.screen_point = {extra.draw_origin.h + x, extra.draw_origin.v + y};
    return driver.send(PF_Cmd_EVENT, &extra);
  }
  PF_Err arbitrary(PF_ArbParamsExtra& extra) {
    return driver.send(PF_Cmd_ARBITRARY_CALLBACK, &extra);
  }
  int32_t ui_height() const { return host_const().update_ui_calls().back().ui_height; }
  const Simulated_Host& host_const() const { return host; }
  // Everything taken from the host came back; the effect's own data handles stay the host's.
  void expect_balanced(const std::string& what) {
    EXPECT_EQ(host.imbalance(), "") << what;
    EXPECT_EQ(host.live_handles(), baseline_handles) << what;
  }

  Simulated_Host host;
  Plugin_Driver driver;
  int64_t baseline_handles = 0;
};

PF_ArbParamsExtra arb_request(A_long function, int64_t refcon = knob_refcon) {
  PF_ArbParamsExtra extra{};
  extra.which_function = function;
  extra.u.new_func_params.refconPV = reinterpret_cast<void*>(refcon);
  return extra;
}

Knob knob_in(Simulated_Host& host, PF_Handle handle) {
  PF_UtilCallbacks* utils = host.in_data()->utils;
  Knob value;
  std::memcpy(&value, utils->host_lock_handle(handle), sizeof value);
  utils->host_unlock_handle(handle);
  return value;
}

void set_knob(Simulated_Host& host, PF_Handle handle, Knob value) {
  PF_UtilCallbacks* utils = host.in_data()->utils;
  std::memcpy(utils->host_lock_handle(handle), &value, sizeof value);
  utils->host_unlock_handle(handle);
}

PF_Handle new_knob(Fixture& f, int64_t refcon = knob_refcon) {
  PF_Handle handle = nullptr;
  PF_ArbParamsExtra extra = arb_request(PF_Arbitrary_NEW_FUNC, refcon);
  extra.u.new_func_params.arbPH = &handle;
  EXPECT_EQ(f.arbitrary(extra), PF_Err_NONE);
  return handle;
}

void dispose(Fixture& f, PF_Handle handle) {
  PF_ArbParamsExtra extra = arb_request(PF_Arbitrary_DISPOSE_FUNC);
  extra.u.dispose_func_params.arbH = handle;
  EXPECT_EQ(f.arbitrary(extra), PF_Err_NONE);
}

// ---- Arbitrary data ----------------------------------------------------------------------

TEST(Arbitrary_Data, FlattenedValuesComeBackEqualAndCopiesAndInterpolationsGoThroughTheData) {
  Fixture f;
  PF_Handle knob = new_knob(f);
  ASSERT_NE(knob, nullptr);
  EXPECT_EQ(knob_in(f.host, knob).position, 0.5) << "a new value is the default";
  EXPECT_EQ(knob_in(f.host, new_knob(f, companion_refcon)).clicks, 7)
      << "the companion's reference value selects the companion's data";
  set_knob(f.host, knob, {0.1, 3});

  A_u_long size = 0;
  PF_ArbParamsExtra flat_size = arb_request(PF_Arbitrary_FLAT_SIZE_FUNC);
  flat_size.u.flat_size_func_params = {reinterpret_cast<void*>(knob_refcon), knob, &size};
  ASSERT_EQ(f.arbitrary(flat_size), PF_Err_NONE);
  EXPECT_EQ(size, std::string("0.10000000000000001 3").size() + 1);
  std::vector<char> flat(size, 'x');
  PF_ArbParamsExtra flatten = arb_request(PF_Arbitrary_FLATTEN_FUNC);
  flatten.u.flatten_func_params = {reinterpret_cast<void*>(knob_refcon), knob, size, flat.data()};
  ASSERT_EQ(f.arbitrary(flatten), PF_Err_NONE);
  EXPECT_STREQ(flat.data(), "0.10000000000000001 3");
  // A buffer of another size would store a cut value: the host hears of it.
  flatten.u.flatten_func_params.buf_sizeLu = size - 1;
  EXPECT_EQ(f.arbitrary(flatten), PF_Err_BAD_CALLBACK_PARAM);

  PF_Handle restored = nullptr;
  PF_ArbParamsExtra unflatten = arb_request(PF_Arbitrary_UNFLATTEN_FUNC);
  unflatten.u.unflatten_func_params = {reinterpret_cast<void*>(knob_refcon), size, flat.data(),
                                       &restored};
  ASSERT_EQ(f.arbitrary(unflatten), PF_Err_NONE);
  A_long compared = -1;
  PF_ArbParamsExtra compare = arb_request(PF_Arbitrary_COMPARE_FUNC);
  compare.u.compare_func_params = {reinterpret_cast<void*>(knob_refcon), knob, restored, &compared};
  ASSERT_EQ(f.arbitrary(compare), PF_Err_NONE);
  EXPECT_EQ(compared, PF_ArbCompare_EQUAL);

  PF_Handle copy = nullptr;
  PF_ArbParamsExtra copy_request = arb_request(PF_Arbitrary_COPY_FUNC);
  copy_request.u.copy_func_params = {reinterpret_cast<void*>(knob_refcon), knob, &copy};
  ASSERT_EQ(f.arbitrary(copy_request), PF_Err_NONE);
  EXPECT_NE(copy, knob);
  EXPECT_EQ(knob_in(f.host, copy).clicks, 3);

  set_knob(f.host, copy, {0.9, 3});
  PF_Handle between = nullptr;
  PF_ArbParamsExtra interpolate = arb_request(PF_Arbitrary_INTERP_FUNC);
  interpolate.u.interp_func_params = {reinterpret_cast<void*>(knob_refcon), knob, copy, 0.25,
                                      &between};
  ASSERT_EQ(f.arbitrary(interpolate), PF_Err_NONE);
  EXPECT_DOUBLE_EQ(knob_in(f.host, between).position, 0.1 + 0.8 * 0.25);
  compare.u.compare_func_params.b_arbH = between;
  ASSERT_EQ(f.arbitrary(compare), PF_Err_NONE);
  EXPECT_EQ(compared, PF_ArbCompare_NOT_EQUAL);

  PF_ArbParamsExtra print_size = arb_request(PF_Arbitrary_PRINT_SIZE_FUNC);
  ASSERT_EQ(f.arbitrary(print_size), PF_Err_NONE);
  EXPECT_EQ(print_size.u.print_func_params.print_sizeLu, 1024u);

  for (PF_Handle handle : {knob, restored, copy, between}) {
    dispose(f, handle);
  }
  EXPECT_EQ(f.host.live_handles(), f.baseline_handles + 1) << "only the companion's value is left";
  EXPECT_EQ(f.host.imbalance(), "");
}

// Unflattening reads no further than the host's buffer, terminated or not.
TEST(Arbitrary_Data, UnflattenStopsAtTheBuffersEnd) {
  Fixture f;
  const char flat[] = {'0', '.', '2', '5', ' ', '4', '2'};
  PF_Handle restored = nullptr;
  PF_ArbParamsExtra unflatten = arb_request(PF_Arbitrary_UNFLATTEN_FUNC);
  unflatten.u.unflatten_func_params = {reinterpret_cast<void*>(knob_refcon), 6, flat, &restored};
  ASSERT_EQ(f.arbitrary(unflatten), PF_Err_NONE);
  EXPECT_EQ(knob_in(f.host, restored).position, 0.25);
  EXPECT_EQ(knob_in(f.host, restored).clicks, 4);
}

// A handle that cannot be made or locked answers out of memory; nothing half-made stays with the
// host and the host's result handle is left alone.
TEST(Arbitrary_Data, EveryHandleFailureAnswersOutOfMemoryAndLeavesNothingBehind) {
  for (const char* function : {fn::new_handle, fn::lock_handle}) {
    for (A_long request : {PF_Arbitrary_NEW_FUNC, PF_Arbitrary_COPY_FUNC, PF_Arbitrary_INTERP_FUNC,
                           PF_Arbitrary_UNFLATTEN_FUNC, PF_Arbitrary_COMPARE_FUNC}) {
      for (int64_t at = 1;; ++at) {
        Fixture f;
        PF_Handle a = new_knob(f);
        f.baseline_handles = f.host.live_handles();
        PF_Handle result = nullptr;
        A_long compared = -1;
        const char flat[] = "0.5 1";
        PF_ArbParamsExtra extra = arb_request(request);
        extra.u.copy_func_params = {reinterpret_cast<void*>(knob_refcon), a, &result};
        if (request == PF_Arbitrary_INTERP_FUNC) {
          extra.u.interp_func_params = {reinterpret_cast<void*>(knob_refcon), a, a, 0.5, &result};
        } else if (request == PF_Arbitrary_UNFLATTEN_FUNC) {
          extra.u.unflatten_func_params = {reinterpret_cast<void*>(knob_refcon), sizeof flat, flat,
                                           &result};
        } else if (request == PF_Arbitrary_COMPARE_FUNC) {
          extra.u.compare_func_params = {reinterpret_cast<void*>(knob_refcon), a, a, &compared};
        }
        const int64_t before = f.host.calls(function);
        f.host.inject(function, 1, before + at);
        const PF_Err err = f.arbitrary(extra);
        if (f.host.calls(function) < before + at) {
          EXPECT_EQ(err, PF_Err_NONE);
          break;  // every call of this request has failed once
        }
        const std::string what = std::string(function) + " call " + std::to_string(at) +
                                 " of request " + std::to_string(request);
        EXPECT_EQ(err, PF_Err_OUT_OF_MEMORY) << what;
        EXPECT_EQ(result, nullptr) << what;
        f.expect_balanced(what);
      }
    }
  }
}

// ---- Events ------------------------------------------------------------------------------

TEST(Custom_Ui_Event, TheBottomRowsResizeTheControlNeverBelowItsMinimum) {
  Fixture f;
  PF_EventExtra click = f.event(PF_Event_DO_CLICK);
  ASSERT_EQ(f.pointer(click, 5, knob_height - 4), PF_Err_NONE);
  EXPECT_TRUE(script.kinds.empty()) << "a click in the grip does not reach the control";
  EXPECT_EQ(click.u.do_click.continue_refcon[0], 9999);
  EXPECT_EQ(click.u.do_click.continue_refcon[1], 4);
  EXPECT_TRUE(click.u.do_click.send_drag);
  EXPECT_TRUE(click.evt_out_flags & PF_EO_HANDLED_EVENT);
  EXPECT_TRUE(click.evt_out_flags & PF_EO_UPDATE_NOW);
  EXPECT_EQ(f.host.calls(fn::invalidate_rect), 1);

  // The host hands the continue values back with every drag.
  PF_EventExtra drag = click;
  drag.e_type = PF_Event_DRAG;
  ASSERT_EQ(f.pointer(drag, 5, 90), PF_Err_NONE);
  EXPECT_EQ(f.ui_height(), 94);
  ASSERT_EQ(f.pointer(drag, 5, 3), PF_Err_NONE);
  EXPECT_EQ(f.ui_height(), minimum_height);
  drag.u.do_click.last_time = 1;
  ASSERT_EQ(f.pointer(drag, 5, 40), PF_Err_NONE);
  EXPECT_EQ(f.ui_height(), 44);
  EXPECT_EQ(drag.u.do_click.continue_refcon[0], 0) << "the last drag ends the resize";
  EXPECT_TRUE(script.kinds.empty());

  // Above the grip a click reaches the control, and the control may ask for the drags.
  PF_EventExtra above = f.event(PF_Event_DO_CLICK);
  script.request_drag = true;
  ASSERT_EQ(f.pointer(above, 7, 30), PF_Err_NONE);
  ASSERT_EQ(script.kinds, std::vector<std::string>{"click"});
  EXPECT_EQ(script.positions[0].x, 7);
  EXPECT_EQ(script.positions[0].y, 30);
  EXPECT_TRUE(above.u.do_click.send_drag) << "the control asked for the drags";
  EXPECT_EQ(f.host.imbalance(), "");
}

TEST(Custom_Ui_Event, ClicksOutsideTheEffectPanelAndUnusedTypesAreIgnored) {
  Fixture f;
  PF_EventExtra other_area = f.event(PF_Event_DO_CLICK);
  other_area.effect_win.area = 1;
  EXPECT_EQ(f.pointer(other_area, 5, 5), PF_Err_NONE);
  f.ui().context()->w_type = 1;
  PF_EventExtra other_window = f.event(PF_Event_DRAG);
  EXPECT_EQ(f.pointer(other_window, 5, 5), PF_Err_NONE);
  for (A_long type : {1, 5, 7, 8, 10}) {
    PF_EventExtra extra = f.event(type);
    EXPECT_EQ(f.driver.send(PF_Cmd_EVENT, &extra), PF_Err_NONE);
    EXPECT_EQ(extra.evt_out_flags, 0);
  }
  EXPECT_TRUE(script.kinds.empty());
  EXPECT_EQ(f.host.calls(fn::invalidate_rect), 0);
}

TEST(Custom_Ui_Event, ThePointerOverTheGripShowsTheResizeCursorUnlessTheControlChoseOne) {
  Fixture f;
  PF_EventExtra over = f.event(PF_Event_ADJUST_CURSOR);
  over.u.adjust_cursor.screen_point = {over.draw_origin.h + 3, over.draw_origin.v + 55};
  ASSERT_EQ(f.driver.send(PF_Cmd_EVENT, &over), PF_Err_NONE);
  EXPECT_EQ(over.u.adjust_cursor.set_cursor, 21);
  script.cursor = 5;
  over.u.adjust_cursor.set_cursor = 0;
  ASSERT_EQ(f.driver.send(PF_Cmd_EVENT, &over), PF_Err_NONE);
  EXPECT_EQ(over.u.adjust_cursor.set_cursor, 5);
  script.cursor = 0;
  over.u.adjust_cursor.set_cursor = 0;
  over.u.adjust_cursor.screen_point.v -= 20;
  ASSERT_EQ(f.driver.send(PF_Cmd_EVENT, &over), PF_Err_NONE);
  EXPECT_EQ(over.u.adjust_cursor.set_cursor, 0);
  EXPECT_EQ(script.kinds.size(), 3u);
  EXPECT_EQ(f.host.calls(fn::invalidate_rect), 0) << "After Effects redraws on its own";
}

// Premiere Pro redraws a hovered control only when its hover state changes; the state lives in
// the context's block from its opening to its closing.
TEST(Custom_Ui_Event, UnderPremiereAHoverChangeRedrawsAndContextsKeepTheirBlocks) {
  Fixture f(Host_Identity::premiere());
  PF_EventExtra open = f.event(PF_Event_NEW_CONTEXT);
  ASSERT_EQ(f.driver.send(PF_Cmd_EVENT, &open), PF_Err_NONE);
  EXPECT_EQ(f.host.live_handles(), f.baseline_handles + 2) << "the state and the knob's block";
  PF_EventExtra hover = f.event(PF_Event_ADJUST_CURSOR);
  for (const bool hovered : {true, true, false}) {
    script.hovered = hovered;
    ASSERT_EQ(f.driver.send(PF_Cmd_EVENT, &hover), PF_Err_NONE);
  }
  EXPECT_EQ(f.host.calls(fn::invalidate_rect), 2);
  EXPECT_TRUE(f.host.out_data()->out_flags & PF_OutFlag_REDRAW_REQUEST);
  PF_EventExtra close = f.event(PF_Event_CLOSE_CONTEXT);
  ASSERT_EQ(f.driver.send(PF_Cmd_EVENT, &close), PF_Err_NONE);
  EXPECT_EQ(f.ui().context()->effect_stateH, nullptr);
  f.expect_balanced("closed");
}

TEST(Custom_Ui_Event, APremiereOlderThan502IsAskedToRedrawThroughTheOutFlags) {
  Fixture f(Host_Identity::premiere(13, 4, {5, 0, 1}));
  PF_EventExtra click = f.event(PF_Event_DO_CLICK);
  ASSERT_EQ(f.pointer(click, 1, 1), PF_Err_NONE);
  EXPECT_TRUE(f.host.out_data()->out_flags & PF_OutFlag_REDRAW_REQUEST);
  EXPECT_EQ(click.evt_out_flags & PF_EO_UPDATE_NOW, 0);
  EXPECT_EQ(f.host.calls(fn::invalidate_rect), 0);
}

TEST(Custom_Ui_Event, FailuresOpeningAContextLeaveNothingBehind) {
  for (const char* function : {fn::new_handle, fn::lock_handle}) {
    for (int64_t at = 1;; ++at) {
      Fixture f;
      const int64_t before = f.host.calls(function);
      f.host.inject(function, 1, before + at);
      PF_EventExtra open = f.event(PF_Event_NEW_CONTEXT);
      const PF_Err err = f.driver.send(PF_Cmd_EVENT, &open);
      if (f.host.calls(function) < before + at) {
        EXPECT_EQ(err, PF_Err_NONE);
        break;
      }
      EXPECT_EQ(err, PF_Err_OUT_OF_MEMORY) << function << at;
      EXPECT_EQ(open.contextH->effect_stateH, nullptr);
      f.expect_balanced(std::string(function) + " " + std::to_string(at));
    }
  }
}

// A refused redraw or resize is the event's error, and nothing stays taken.
TEST(Custom_Ui_Event, EveryFailingHostCallOfAnEventIsItsError) {
  struct Case {
    Host_Identity identity;
    const char* function;
    bool resize;
  };
  const Case cases[] = {
      {Host_Identity::after_effects(), fn::invalidate_rect, false},
      {Host_Identity::after_effects(), fn::update_param_ui, true},
      {Host_Identity::premiere(), fn::invalidate_rect, false},
  };
  for (const Case& c : cases) {
    Fixture f(c.identity);
    PF_EventExtra click = f.event(PF_Event_DO_CLICK);
    ASSERT_EQ(f.pointer(click, 1, c.resize ? knob_height - 1 : 1), PF_Err_NONE) << c.function;
    f.host.inject(c.function, 33, f.host.calls(c.function) + 1);
    PF_EventExtra drag = click;
    drag.e_type = PF_Event_DRAG;
    EXPECT_EQ(f.pointer(drag, 1, 80), 33) << c.function;
    EXPECT_EQ(f.host.imbalance(), "") << c.function;
  }
}

// The effect itself declares no control: its contexts still open and close with their state,
// and a click names no control of it (answered 512 in the library's own tests).
TEST(Custom_Ui_Event, TheEffectOpensAndClosesContextsWithoutAControl) {
  brel::test::Loaded loaded;
  const int64_t handles = loaded.host.live_handles();
  PF_EventExtra open = loaded.host.custom_ui().event(PF_Event_NEW_CONTEXT, 1, nullptr);
  ASSERT_EQ(loaded.driver.send(PF_Cmd_EVENT, &open), PF_Err_NONE);
  EXPECT_NE(open.contextH->effect_stateH, nullptr);
  PF_EventExtra close = loaded.host.custom_ui().event(PF_Event_CLOSE_CONTEXT, 1, nullptr);
  ASSERT_EQ(loaded.driver.send(PF_Cmd_EVENT, &close), PF_Err_NONE);
  EXPECT_EQ(loaded.host.live_handles(), handles);
  EXPECT_EQ(loaded.host.imbalance(), "");
}

// A context is closed, or opened anew, whatever the effect answers: a state block that cannot
// be locked is given back all the same, and the failed lock answers out of memory.
TEST(Custom_Ui_Event, AStateThatCannotBeLockedIsStillGivenBack) {
  for (const A_long second : {PF_Event_CLOSE_CONTEXT, PF_Event_NEW_CONTEXT}) {
    brel::test::Loaded loaded;
    const int64_t handles = loaded.host.live_handles();
    PF_EventExtra open = loaded.host.custom_ui().event(PF_Event_NEW_CONTEXT, 1, nullptr);
    ASSERT_EQ(loaded.driver.send(PF_Cmd_EVENT, &open), PF_Err_NONE);
    loaded.host.inject(fn::lock_handle, 1, loaded.host.calls(fn::lock_handle) + 1);
    PF_EventExtra again = loaded.host.custom_ui().event(second, 1, nullptr);
    EXPECT_EQ(loaded.driver.send(PF_Cmd_EVENT, &again), PF_Err_OUT_OF_MEMORY) << second;
    EXPECT_EQ(again.contextH->effect_stateH, nullptr) << second;
    EXPECT_EQ(loaded.host.live_handles(), handles) << second;
    EXPECT_EQ(loaded.host.imbalance(), "") << second;
  }
}

// ---- Drawing -----------------------------------------------------------------------------

const uint8_t two_pixels[] = {1, 2, 3, 255, 4, 5, 6, 128};

void draw_two_pixels(gui::Event& event) {
  auto* draw = event.payload_as<gui::Draw_Event_Payload>();
  ASSERT_NE(draw, nullptr);
  draw->steps.push_back([draw] { draw->draw_image(two_pixels, 2, 1); });
}

TEST(Custom_Ui_Drawing, AnImageIsDrawnAtTheControlsOriginWithTheSurfacePoliciesSet) {
  Fixture f;
  script.action = draw_two_pixels;
  PF_EventExtra draw = f.event(PF_Event_DRAW, {12, 34});
  ASSERT_EQ(f.driver.send(PF_Cmd_EVENT, &draw), PF_Err_NONE);
  EXPECT_TRUE(draw.evt_out_flags & PF_EO_HANDLED_EVENT);
  const std::vector<Custom_Ui::Drawn_Image> drawn = f.ui().drawn();
  ASSERT_EQ(drawn.size(), 1u);
  EXPECT_EQ(drawn[0].width, 2);
  EXPECT_EQ(drawn[0].height, 1);
  EXPECT_EQ(drawn[0].row_bytes, 8);
  EXPECT_EQ(drawn[0].pixel_layout, DRAWBOT_PixelLayout_32BGRA);
  EXPECT_EQ(drawn[0].pixels, std::vector<uint8_t>(std::begin(two_pixels), std::end(two_pixels)));
  EXPECT_EQ(drawn[0].origin.x, 12.0f);
  EXPECT_EQ(drawn[0].origin.y, 34.0f);
  EXPECT_EQ(drawn[0].opacity, 1.0f);
  const std::vector<std::pair<std::string, A_long>> policies = {{fn::interpolation_policy, 2},
                                                                {fn::anti_alias_policy, 0}};
  EXPECT_EQ(f.ui().policies(), policies);
  EXPECT_EQ(f.host.imbalance(), "");
}

TEST(Custom_Ui_Drawing, EveryFailingDrawingCallIsTheEventsErrorAndTheImageGoesBack) {
  for (const char* function :
       {fn::drawing_reference, fn::get_supplier, fn::get_surface, fn::supports_bgra,
        fn::interpolation_policy, fn::anti_alias_policy, fn::new_image, fn::draw_image}) {
    Fixture f;
    script.action = draw_two_pixels;
    f.host.inject(function, 9);
    PF_EventExtra draw = f.event(PF_Event_DRAW);
    EXPECT_EQ(f.driver.send(PF_Cmd_EVENT, &draw), 9) << function;
    f.expect_balanced(function);
  }
}

TEST(Custom_Ui_Drawing, TheBackgroundColourIsTheHostsHighBytesOrGreyUnderOldPremiere) {
  struct Case {
    Host_Identity identity;
    PF_App_Color host_color;
    bool remove_app_suite;
    uint8_t expected;
  };
  const Case cases[] = {
      {Host_Identity::after_effects(), {0x8080, 0x8080, 0x8080}, false, 128},
      {Host_Identity::premiere(13, 4, {5, 0, 2}), {0x20FF, 0x20FF, 0x20FF}, false, 0x20},
      {Host_Identity::premiere(13, 4, {5, 0, 1}), {0x8080, 0x8080, 0x8080}, false, 116},
      {Host_Identity::after_effects(), {0x8080, 0x8080, 0x8080}, true, 7},  // left as it was
  };
  for (const Case& c : cases) {
    Fixture f(c.identity);
    f.ui().set_background_color(c.host_color);
    if (c.remove_app_suite) {
      f.host.remove_suite(kPFAppSuite, 6);
    }
    uint8_t rgb[3] = {7, 7, 7};
    script.action = [&rgb](gui::Event& event) {
      event.payload_as<gui::Draw_Event_Payload>()->background_color(rgb[0], rgb[1], rgb[2]);
    };
    PF_EventExtra draw = f.event(PF_Event_DRAW);
    ASSERT_EQ(f.driver.send(PF_Cmd_EVENT, &draw), PF_Err_NONE);
    for (uint8_t component : rgb) {
      EXPECT_EQ(component, c.expected) << c.host_color.red;
    }
    EXPECT_EQ(f.host.imbalance(), "");
  }
}

// ---- The effect's frames -----------------------------------------------------------------

// What the control got when it asked for a frame during a click.
struct Fetched {
  bool present = false;
  Layer_Typeless frame;
};

Fetched fetch_on_click(Fixture& f, bool input) {
  Fetched fetched;
  script.action = [&fetched, input](gui::Event& event) {
    auto frame = input ? event.sequence.input_frame() : event.sequence.output_frame();
    fetched.present = frame != nullptr;
    if (frame) {
      fetched.frame = *frame;
    }
  };
  PF_EventExtra click = f.event(PF_Event_DO_CLICK);
  EXPECT_EQ(f.pointer(click, 1, 1), PF_Err_NONE);
  return fetched;
}

TEST(Effect_Frame, AfterEffectsHandsTheFramesOnceRenderedAndTakesThemBack) {
  Fixture f;
  World before(4, 3, PF_PixelFormat_ARGB128, 16);
  World after(4, 3, PF_PixelFormat_ARGB128, 16);
  f.ui().set_effect_frames(&before, &after, 1);
  EXPECT_FALSE(fetch_on_click(f, true).present) << "still rendering";
  const Fetched input = fetch_on_click(f, true);
  ASSERT_TRUE(input.present);
  EXPECT_EQ(input.frame.pixels, before.get()->data);
  EXPECT_EQ(input.frame.width, 4);
  EXPECT_EQ(input.frame.pixel_description, brel::pixel_description_argb(32));
  EXPECT_EQ(fetch_on_click(f, false).frame.pixels, after.get()->data);
  EXPECT_EQ(f.ui().frame_requests(), (std::vector<bool>{true, true, false}));
  f.expect_balanced("fetched");
}

TEST(Effect_Frame, WithoutAnyOfItsFiveSuitesTheFetchIsEmptyWithoutAnError) {
  for (const brel::sim::Suite_Name& suite : brel::sim::frame_fetch_suites) {
    Fixture f;
    World before(4, 3, PF_PixelFormat_ARGB128, 16);
    f.ui().set_effect_frames(&before, &before);
    f.host.remove_suite(suite.name, suite.version);
    EXPECT_FALSE(fetch_on_click(f, true).present) << suite.name;
    EXPECT_EQ(f.host.calls(fn::new_effect), 0) << suite.name;
    f.expect_balanced(suite.name);
  }
}

TEST(Effect_Frame, EveryFailingHostCallIsTheEventsErrorAndTheBooksBalance) {
  for (const char* function : {fn::new_effect, fn::upstream_options, fn::async_manager,
                               fn::render_frame, fn::receipt_world, fn::fill_world}) {
    Fixture f;
    World before(4, 3, PF_PixelFormat_ARGB128, 16);
    f.ui().set_effect_frames(&before, &before);
    f.host.inject(function, 21);
    script.action = [](gui::Event& event) { event.sequence.input_frame(); };
    PF_EventExtra click = f.event(PF_Event_DO_CLICK);
    EXPECT_EQ(f.pointer(click, 1, 1), 21) << function;
    f.expect_balanced(function);
  }
  // Giving back is never an error of the event: the refusal is the host's to account for.
  for (const char* function : {fn::dispose_effect, fn::dispose_options, fn::checkin_frame}) {
    Fixture f;
    World before(4, 3, PF_PixelFormat_ARGB128, 16);
    f.ui().set_effect_frames(&before, &before);
    f.host.inject(function, 21);
    EXPECT_TRUE(fetch_on_click(f, true).present) << function;
  }
}

// Premiere Pro has no background renders: the input is the effect's input layer, and the output
// is the effect rendered over it, or the empty record when the input has no pixels.
TEST(Effect_Frame, UnderPremiereTheOutputIsRenderedInPlaceOrEmpty) {
  Fixture f(Host_Identity::premiere());
  const Fetched empty = fetch_on_click(f, false);
  ASSERT_TRUE(empty.present);
  EXPECT_EQ(empty.frame.pixels, nullptr);
  EXPECT_EQ(empty.frame.width, 0);
  EXPECT_EQ(empty.frame.pixel_description, brel::Pixel_Description{});
  EXPECT_EQ(render_calls, 0);

  World input(5, 2, PrPixelFormat_BGRA_4444_32f, 16);
  f.host.parameters().set_input(input.get());
  const Fetched rendered = fetch_on_click(f, false);
  EXPECT_EQ(render_calls, 1);
  EXPECT_EQ(rendered.frame.pixels, input.get()->data);
  EXPECT_EQ(rendered.frame.width, 5);
  EXPECT_EQ(rendered.frame.pixel_description, brel::pixel_description_bgra(32));
  EXPECT_EQ(fetch_on_click(f, true).frame.pixels, input.get()->data);
  f.expect_balanced("premiere frames");
}

}  // namespace

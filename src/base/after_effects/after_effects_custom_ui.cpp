#include "base/after_effects/after_effects_custom_ui.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "base/after_effects/after_effects_parameter.h"
#include "base/after_effects/after_effects_sequence.h"
#include "base/after_effects/helper/ae_arb.h"
#include "base/after_effects/helper/ae_gui.h"
#include "base/after_effects/helper/ae_helper.h"
#include "base/after_effects/helper/ae_result.h"
#include "base/after_effects/helper/ae_suite.h"
#include "base/exception.h"
#include "base/gui_event.h"
#include "base/plugin.h"

namespace brel {

namespace {

constexpr const char* source = report::custom_ui_file;

// The bottom rows of a control that resize it instead of reaching the control.
constexpr int32_t resize_grip = 10;
// The first continue value of a click that started a resize.
constexpr A_long resizing = 9999;
constexpr A_long grip_cursor = 21;

// The effect's state of one event context: a block in host memory, the hover state first
// (-1 until known), then the handles of the custom controls' context blocks.
struct Context_State {
  int64_t hovered = -1;
  int64_t blocks = 0;
};

std::vector<Custom_Parameter_AE*> custom_parameters(Plugin* plugin) {
  std::vector<Custom_Parameter_AE*> found;
  for (Parameter* parameter : plugin->parameters()) {
    if (auto* custom = dynamic_cast<Custom_Parameter_AE*>(parameter)) {
      found.push_back(custom);
    }
  }
  return found;
}

// The state block locked for one scope.
class Locked_State {
 public:
  Locked_State(const PF_UtilCallbacks* utils, PF_Handle handle) : locked_(utils, handle) {}

  Context_State& state() { return *static_cast<Context_State*>(locked_.get()); }
  PF_Handle& block(int64_t i) {
    return reinterpret_cast<PF_Handle*>(static_cast<std::byte*>(locked_.get()) +
                                        sizeof(Context_State))[i];
  }

 private:
  Locked_Handle locked_;
};

// Gives back a context's state and the control blocks it holds, and clears the context's
// reference to it. The host lets go of the context whatever the effect answers, so the state
// block goes back even when it cannot be locked (the blocks it holds are then out of reach);
// the failed lock is still reported.
void release_context_state(const PF_UtilCallbacks* utils, PF_ContextH context) {
  const PF_Handle handle = context->effect_stateH;
  context->effect_stateH = nullptr;
  try {
    Locked_State locked(utils, handle);
    for (int64_t i = 0; i < locked.state().blocks; ++i) {
      utils->host_dispose_handle(locked.block(i));
    }
  } catch (...) {
    utils->host_dispose_handle(handle);
    throw;
  }
  utils->host_dispose_handle(handle);
}

void new_context(PF_InData* in_data, PF_EventExtra* extra, Plugin* plugin) {
  BREL_ASSERT_MSG(extra->contextH != nullptr && in_data->utils != nullptr,
                  "a new event context without its record or the host's handles");
  const PF_UtilCallbacks* utils = in_data->utils;
  // A context opened twice keeps only its newest state.
  if (extra->contextH->effect_stateH != nullptr) {
    release_context_state(utils, extra->contextH);
  }
  const std::vector<Custom_Parameter_AE*> customs = custom_parameters(plugin);
  PF_Handle handle =
      utils->host_new_handle(sizeof(Context_State) + customs.size() * sizeof(PF_Handle));
  if (handle == nullptr) {
    throw std::bad_alloc();
  }
  std::vector<PF_Handle> blocks;
  try {
    blocks.reserve(customs.size());
    for (Custom_Parameter_AE* custom : customs) {
      PF_Handle block = nullptr;
      arb_new(custom->kind_description().data_functions.get(), in_data, &block);
      blocks.push_back(block);
    }
    Locked_State locked(utils, handle);
    locked.state() = Context_State{};
    for (PF_Handle block : blocks) {
      locked.block(locked.state().blocks++) = block;
    }
  } catch (...) {
    for (PF_Handle block : blocks) {
      utils->host_dispose_handle(block);
    }
    utils->host_dispose_handle(handle);
    throw;
  }
  extra->contextH->effect_stateH = handle;
}

void close_context(PF_InData* in_data, PF_EventExtra* extra) {
  if (extra->contextH == nullptr || extra->contextH->effect_stateH == nullptr) {
    return;
  }
  BREL_ASSERT_MSG(in_data->utils != nullptr, "closing an event context without the host's handles");
  release_context_state(in_data->utils, extra->contextH);
}

// Has the host draw the control again.
void request_redraw(PF_InData* in_data, PF_OutData* out_data, PF_EventExtra* extra) {
  const bool premiere = host_is_premiere(in_data);
  if (premiere && !premiere_version_at_least(in_data, 5, 0, 2)) {
    out_data->out_flags |= PF_OutFlag_REDRAW_REQUEST;
    return;
  }
  {
    Suite_Guard<PF_AppSuite6> app(in_data->pica_basicP, kPFAppSuite, 6);
    ae::throw_on_host_error(app->PF_InvalidateRect(extra->contextH, nullptr), source, __LINE__);
  }
  extra->evt_out_flags |= PF_EO_UPDATE_NOW;
  if (premiere) {
    out_data->out_flags |= PF_OutFlag_REDRAW_REQUEST;
  }
}

// Dispatches one event of a found control.
class Control_Event {
 public:
  Control_Event(PF_InData* in_data, PF_OutData* out_data, PF_EventExtra* extra, Plugin* plugin,
                const Render_Context& render_context, Custom_Parameter_AE* custom)
      : in_data_(in_data),
        out_data_(out_data),
        extra_(extra),
        plugin_(plugin),
        render_context_(render_context),
        custom_(custom) {}

  void click() {
    if (!in_effect_window()) {
      return;
    }
    PF_DoClickEventInfo& click = extra_->u.do_click;
    const gui::Point position = position_of(click.screen_point);
    const int32_t height = control_height();
    if (over_grip(position, height)) {
      click.continue_refcon[0] = resizing;
      click.continue_refcon[1] = height - position.y;
      click.send_drag = 1;
    } else {
      auto* payload = hand_over(std::make_unique<gui::Click_Event_Payload>(position));
      click.send_drag = payload != nullptr && payload->request_drag ? 1 : 0;
    }
    extra_->evt_out_flags |= PF_EO_HANDLED_EVENT;
    request_redraw(in_data_, out_data_, extra_);
  }

  void drag() {
    if (!in_effect_window()) {
      return;
    }
    PF_DoClickEventInfo& click = extra_->u.do_click;
    const gui::Point position = position_of(click.screen_point);
    if (click.continue_refcon[0] == resizing) {
      resize(position.y + static_cast<int64_t>(click.continue_refcon[1]));
      if (click.last_time) {
        std::fill(std::begin(click.continue_refcon), std::end(click.continue_refcon), 0);
      }
    } else {
      hand_over(std::make_unique<gui::Drag_Event_Payload>(position, click.last_time != 0));
    }
    extra_->evt_out_flags |= PF_EO_HANDLED_EVENT;
    request_redraw(in_data_, out_data_, extra_);
  }

  void hover() {
    PF_AdjustCursorEventInfo& cursor = extra_->u.adjust_cursor;
    const gui::Point position = position_of(cursor.screen_point);
    auto* payload = hand_over(std::make_unique<gui::Hover_Event_Payload>(position));
    if (payload != nullptr && payload->cursor != 0) {
      cursor.set_cursor = payload->cursor;
    } else if (over_grip(position, control_height())) {
      cursor.set_cursor = grip_cursor;
    }
    if (host_is_premiere(in_data_) && hover_state_changed()) {
      request_redraw(in_data_, out_data_, extra_);
    }
  }

  void draw() {
    if (extra_->effect_win.area != PF_EA_CONTROL) {
      return;
    }
    PF_InData* in_data = in_data_;
    PF_EventExtra* extra = extra_;
    auto payload = std::make_unique<gui::Draw_Event_Payload>(
        [in_data, extra](const uint8_t* pixels, int32_t width, int32_t height) {
          draw_image(in_data, extra, pixels, width, height);
        },
        [in_data](uint8_t& red, uint8_t& green, uint8_t& blue) {
          ui_background_color(in_data, red, green, blue);
        });
    if (auto* drawn = hand_over(std::move(payload))) {
      for (const auto& step : drawn->steps) {
        step();
      }
    }
    extra_->evt_out_flags |= PF_EO_HANDLED_EVENT;
  }

 private:
  bool in_effect_window() const {
    return extra_->contextH != nullptr && extra_->contextH->w_type == PF_Window_EFFECT &&
           extra_->effect_win.area == PF_EA_CONTROL;
  }

  gui::Point position_of(const PF_Point& point) const {
    return {point.h - extra_->draw_origin.h, point.v - extra_->draw_origin.v};
  }

  // The control's height as the panel shows it now.
  int32_t control_height() const {
    if (custom_->params != nullptr && custom_->params[custom_->index] != nullptr) {
      return custom_->params[custom_->index]->ui_height;
    }
    return static_cast<int32_t>(custom_->kind_description().height);
  }

  static bool over_grip(const gui::Point& position, int32_t height) {
    return position.y >= height - resize_grip && position.y <= height;
  }

  void resize(int64_t height) {
    const int64_t minimum = custom_->kind_description().minimum_height;
    const int64_t clamped = std::min<int64_t>(std::max(height, minimum), INT16_MAX);
    BREL_ASSERT_MSG(custom_->params != nullptr, "a resize needs the command's parameter array");
    custom_->params[custom_->index]->ui_height = static_cast<A_short>(clamped);
    custom_->redraw();  // pushes the entry, new height included, to the host
  }

  // Hands the payload to the control's handler inside an event; the payload afterwards, or null
  // when the control has no handler.
  template <class Payload>
  Payload* hand_over(std::unique_ptr<Payload> payload) {
    if (custom_->custom_handler == nullptr) {
      return nullptr;
    }
    Payload* kept = payload.get();
    event_ = std::make_unique<gui::Event>(
        std::move(payload), ae::get_sequence_access(in_data_, extra_, plugin_, render_context_));
    custom_->custom_handler->handle_event(*event_);
    return kept;
  }

  // Compares the handler's hover state with the context's and keeps the new one.
  bool hover_state_changed() {
    const int64_t now = custom_->custom_handler != nullptr && custom_->custom_handler->hovered();
    if (extra_->contextH == nullptr || extra_->contextH->effect_stateH == nullptr) {
      return true;
    }
    Locked_State locked(in_data_->utils, extra_->contextH->effect_stateH);
    const bool changed = locked.state().hovered != now;
    locked.state().hovered = now;
    return changed;
  }

  PF_InData* in_data_;
  PF_OutData* out_data_;
  PF_EventExtra* extra_;
  Plugin* plugin_;
  const Render_Context& render_context_;
  Custom_Parameter_AE* custom_;
  std::unique_ptr<gui::Event> event_;
};

}  // namespace

Custom_Parameter_AE* find_custom_parameter(Plugin* plugin, const void* refcon) {
  const auto reference = static_cast<int64_t>(reinterpret_cast<intptr_t>(refcon));
  Custom_Parameter_AE* cp = nullptr;
  for (Custom_Parameter_AE* custom : custom_parameters(plugin)) {
    const Custom_Parameter_Description& d = custom->kind_description();
    if (d.refcon == reference || d.second_refcon == reference) {
      cp = custom;
    }
  }
  BREL_ASSERT_MSG_AT(cp, "recieved arb or ui event for unknown parameter type.",
                     report::custom_ui_unknown_parameter);
  return cp;
}

void handle_event(PF_InData* in_data, PF_OutData* out_data, PF_ParamDef* /*params*/[],
                  PF_EventExtra* extra, Plugin* plugin, const Render_Context& render_context) {
  BREL_ASSERT_MSG(extra != nullptr, "an event without its extra record");
  switch (extra->e_type) {
    case PF_Event_NEW_CONTEXT:
      new_context(in_data, extra, plugin);
      return;
    case PF_Event_CLOSE_CONTEXT:
      close_context(in_data, extra);
      return;
    case PF_Event_DO_CLICK:
    case PF_Event_DRAG:
    case PF_Event_DRAW:
    case PF_Event_ADJUST_CURSOR:
      break;
    default:
      return;
  }
  Control_Event event(in_data, out_data, extra, plugin, render_context,
                      find_custom_parameter(plugin, extra->effect_win.refconPV));
  switch (extra->e_type) {
    case PF_Event_DO_CLICK:
      event.click();
      break;
    case PF_Event_DRAG:
      event.drag();
      break;
    case PF_Event_DRAW:
      event.draw();
      break;
    default:
      event.hover();
      break;
  }
}

void handle_arbitrary_callback(PF_InData* in_data, PF_ArbParamsExtra* extra, Plugin* plugin) {
  BREL_ASSERT_MSG(extra != nullptr, "an arbitrary-data request without its extra record");
  // Every request carries the reference value first.
  const void* refcon = extra->u.new_func_params.refconPV;
  Custom_Parameter_AE* custom = find_custom_parameter(plugin, refcon);
  const Custom_Parameter_Description& d = custom->kind_description();
  const bool control = d.refcon == static_cast<int64_t>(reinterpret_cast<intptr_t>(refcon));
  arb_callback((control ? d.data_functions : d.second_data_functions).get(), in_data, extra);
}

}  // namespace brel

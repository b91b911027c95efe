#pragma once

// What a custom control's handler receives from the host adapter: one event with the payload of
// its kind and access to the frames entering and leaving the effect. Positions are pixels from
// the control's top left corner.

#include <cstdint>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

#include "base/layer_description.h"

namespace brel {

// Fetches the frame entering the effect and the frame leaving it, each on demand. Valid only
// during the event it was made for.
struct Sequence_Access {
  std::function<std::shared_ptr<Layer_Typeless>()> input_frame;
  std::function<std::shared_ptr<Layer_Typeless>()> output_frame;
};

namespace gui {

struct Point {
  int32_t x = 0;
  int32_t y = 0;
};

class Event_Payload {
 public:
  virtual ~Event_Payload() = default;
};

// The user pressed the mouse button over the control.
class Click_Event_Payload final : public Event_Payload {
 public:
  explicit Click_Event_Payload(Point position) : position(position) {}
  Point position;
  bool request_drag = false;  // set by the handler to receive the drags that follow
};

class Drag_Event_Payload final : public Event_Payload {
 public:
  Drag_Event_Payload(Point position, bool last) : position(position), last(last) {}
  Point position;
  bool last;  // the button was released
};

// The pointer moves over the control.
class Hover_Event_Payload final : public Event_Payload {
 public:
  explicit Hover_Event_Payload(Point position) : position(position) {}
  Point position;
  int32_t cursor = 0;  // the host cursor the handler chooses; 0 leaves the choice to the host
};

// The control is to be drawn. The handler draws at once through the two callables or queues
// steps that run in order once it returns.
class Draw_Event_Payload final : public Event_Payload {
 public:
  Draw_Event_Payload(
      std::function<void(const uint8_t* bgra, int32_t width, int32_t height)> draw_image,
      std::function<void(uint8_t& red, uint8_t& green, uint8_t& blue)> background_color)
      : draw_image(std::move(draw_image)), background_color(std::move(background_color)) {}
  // Draws 8-bit BGRA pixels, rows without padding, at the control's top left corner.
  std::function<void(const uint8_t* bgra, int32_t width, int32_t height)> draw_image;
  // The panel's colour; the outputs keep their values when the host cannot tell.
  std::function<void(uint8_t& red, uint8_t& green, uint8_t& blue)> background_color;
  std::vector<std::function<void()>> steps;
};

class Event {
 public:
  Event(std::unique_ptr<Event_Payload> payload, Sequence_Access sequence)
      : sequence(std::move(sequence)), payload_(std::move(payload)) {}

  Event_Payload& payload() { return *payload_; }
  // The payload if it is of kind T, else null.
  template <class T>
  T* payload_as() {
    return dynamic_cast<T*>(payload_.get());
  }

  Sequence_Access sequence;

 private:
  std::unique_ptr<Event_Payload> payload_;
};

}  // namespace gui
}  // namespace brel

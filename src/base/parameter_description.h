#pragma once

// The descriptions of the effect's controls: plain records held by value that say what a
// control is called, which stable host id it carries, how it starts out and how the user may
// change it. They know nothing of any host; parameter setup turns them into host definitions.

#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <vector>

struct PF_InData;

namespace brel {

// The part every kind shares. The six switches start at the values below.
struct Parameter_Description {
  // An empty identifier takes the name; every blank of the identifier becomes "_".
  Parameter_Description(std::string name, std::string identifier, int64_t disc_id);

  std::string name;         // the label; the host shows at most 31 characters of it
  std::string identifier;   // the key of the control inside the system (layer map, lookups)
  int64_t disc_id;          // the stable id under which hosts store the control in projects
  bool animatable = true;   // false: the host refuses keyframes
  bool supervised = false;  // the host reports every change of the control to the effect
  bool ui_only = false;     // a pure interface control: never animated, read from the host's array
  bool start_collapsed = true;  // a group starts folded
  bool enabled = true;          // false greys the control out
  bool visible = true;          // false hides the control
};

inline constexpr double lowest_double = std::numeric_limits<double>::lowest();
inline constexpr double highest_double = std::numeric_limits<double>::max();

struct Group_Parameter_Description : Parameter_Description {
  using Parameter_Description::Parameter_Description;
};

struct Group_End_Parameter_Description : Parameter_Description {
  using Parameter_Description::Parameter_Description;
};

// Colour components are fractions of white, 0 to 1.
struct Rgb_Parameter_Description : Parameter_Description {
  using Parameter_Description::Parameter_Description;
  double red = 0.0;
  double green = 0.0;
  double blue = 0.0;
};

// A colour with an opacity; the host shows the opacity as a second control of its own id.
struct Rgba_Parameter_Description : Parameter_Description {
  using Parameter_Description::Parameter_Description;
  double red = 0.0;
  double green = 0.0;
  double blue = 0.0;
  double alpha = 0.0;
  int64_t disc_id_alpha = 0;  // must be above 0 before the control can be registered
};

struct Int_Parameter_Description : Parameter_Description {
  using Parameter_Description::Parameter_Description;
  int32_t default_value = 0;
  int32_t valid_min = std::numeric_limits<int32_t>::min();
  int32_t valid_max = std::numeric_limits<int32_t>::max();
  int32_t slider_min = std::numeric_limits<int32_t>::min();
  int32_t slider_max = std::numeric_limits<int32_t>::max();
};

struct Float_Parameter_Description : Parameter_Description {
  using Parameter_Description::Parameter_Description;
  bool display_pixel = false;    // the host shows the value in pixels
  bool display_percent = false;  // the host shows the value as a percentage
  int32_t precision = 2;         // decimal places shown
  double default_value = 0.0;
  double valid_min = lowest_double;
  double valid_max = highest_double;
  double slider_min = lowest_double;
  double slider_max = highest_double;
};

// Values in degrees.
struct Angle_Parameter_Description : Parameter_Description {
  using Parameter_Description::Parameter_Description;
  int32_t precision = 2;
  double default_value = 0.0;
  double valid_min = lowest_double;
  double valid_max = highest_double;
  double slider_min = 0.0;
  double slider_max = 360.0;
};

struct Checkbox_Parameter_Description : Parameter_Description {
  using Parameter_Description::Parameter_Description;
  bool default_value = false;
};

struct Button_Parameter_Description : Parameter_Description {
  Button_Parameter_Description(std::string name, std::string identifier, int64_t disc_id,
                               std::string label);
  std::string label;  // the text on the button
};

// A popup; the system counts its entries from 0.
struct Choice_Parameter_Description : Parameter_Description {
  using Parameter_Description::Parameter_Description;
  std::vector<std::string> entries;
  int32_t default_index = 0;
};

// The default position as fractions of the layer's width and height.
struct Point_2d_Parameter_Description : Parameter_Description {
  using Parameter_Description::Parameter_Description;
  double default_x = 0.5;
  double default_y = 0.5;
  bool restrict_bounds = false;  // the host keeps the point inside the layer
};

struct Layer_Parameter_Description : Parameter_Description {
  using Parameter_Description::Parameter_Description;
  bool layer_switch = false;  // carried with the control; nothing in the system reads it yet
};

// What a custom control's data is made of. The host keeps the data in a handle of `size`
// bytes; `write_default` fills a fresh one. The other operations work on such blocks: the host
// copies, compares and interpolates values through them and stores them in projects as their
// text form.
class Data_Functions {
 public:
  virtual ~Data_Functions() = default;
  virtual int64_t size(const PF_InData* in_data) const = 0;
  virtual void write_default(void* memory) const = 0;
  virtual void copy(const void* source, void* destination) const = 0;
  virtual bool equal(const void* a, const void* b) const = 0;
  // The value at `t` between `left` (t = 0) and `right` (t = 1).
  virtual void interpolate(const void* left, const void* right, double t,
                           void* destination) const = 0;
  virtual std::string text(const void* memory) const = 0;
  // Reads the text form back into a block that holds the default value.
  virtual void read_text(const std::string& text, void* memory) const = 0;
};

// A control the effect draws itself, with a hidden companion parameter for further data.
struct Custom_Parameter_Description : Parameter_Description {
  Custom_Parameter_Description(std::string name, std::string identifier, int64_t disc_id,
                               int64_t minimum_height, int64_t height, int64_t refcon,
                               int64_t second_refcon, int64_t second_disc_id,
                               std::shared_ptr<Data_Functions> data_functions,
                               std::shared_ptr<Data_Functions> second_data_functions);
  int64_t minimum_height;  // a resize by the user never makes the control lower
  int64_t height;          // the control's height in the effect panel when it is made
  int64_t refcon;          // host reference value of the control
  int64_t second_refcon;   // host reference value of the companion
  int64_t second_disc_id;  // host id of the companion
  std::shared_ptr<Data_Functions> data_functions;
  std::shared_ptr<Data_Functions> second_data_functions;
};

}  // namespace brel

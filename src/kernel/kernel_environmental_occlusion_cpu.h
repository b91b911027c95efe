#pragma once

// Environmental occlusion: for every pixel, how much of the surrounding surface rises above it,
// as a factor for the light that comes from the environment (1 unoccluded). The window around
// the pixel is moved along the normal's slope. The full mode compares every depth of the
// window with the pixel's own; the quick mode compares the mean depth of each window row, taken
// from running sums.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/kernel.h"
#include "base/layer.h"
#include "base/layer_holder.h"
#include "base/pixel.h"
#include "effect/pipeline_layers.h"
#include "util/row_bands.h"

namespace brel {

// What the passes need, the same for every pixel type.
struct Occlusion_Settings {
  Layer<float> depth;
  Layer<Vector_3<float>> normals;  // at least the depth's size
  float amount = 0.0f;             // "occlusion amount"
  // Half sizes of the window in pixels at the depth's resolution; negative leaves every pixel
  // unoccluded.
  int64_t rx = 0;
  int64_t ry = 0;
  bool quick_mode = false;
  bool skip_zero_depth = false;  // pixels of depth exactly 0 have no surface and get 1
};

// The radius is given in full-resolution pixels and scaled by the depth's downsample factors.
Occlusion_Settings occlusion_settings(const Layer<float>& depth,
                                      const Layer<Vector_3<float>>& normals, float amount,
                                      int64_t radius, bool quick_mode, bool skip_zero_depth);

// The full mode's occlusion once `count` samples of the window rose above the pixel: 1 less the
// window's weight 1 / ((2 ry + 1)(2 rx + 1)), subtracted in float one sample after the other.
// The result depends on the count alone, so a run counts samples and looks the value up.
class Occlusion_Steps {
 public:
  // Negative radii leave 1, as does a window of 2^25 samples or more.
  Occlusion_Steps(int64_t rx, int64_t ry);
  float after(int64_t count) const;
  // True when every count leaves 1.
  bool unchanged() const { return table_.empty(); }
  // Samples in the window; 0 when unchanged.
  int64_t window() const { return window_; }

 private:
  int64_t window_ = 0;
  float weight_ = 0.0f;
  std::vector<float> table_;  // empty: the weight is too small to move 1, which stays 1
};

// The quick mode's occlusion once `count` rows of the window had a mean above the pixel, for a
// span of n samples: 1 less 1 / n subtracted in float row after row. Again the count alone
// decides, so a run counts rows and looks the value up: one table per span width, each up to the
// rows a window holds (fewer where the tables would pass 2^16 entries: larger counts continue the
// subtraction from the last entry).
class Quick_Occlusion_Steps {
 public:
  // Spans of 1 .. widest samples and windows of up to `rows` rows.
  Quick_Occlusion_Steps(int64_t widest, int64_t rows);
  // `samples` is at least 1.
  float after(int64_t samples, int64_t count) const;

 private:
  int64_t widest_ = 0;
  int64_t entries_ = 0;  // per span width, for counts 0 .. entries_ - 1
  std::vector<float> table_;
};

// The least difference of running sums d whose mean over n samples, d / n in double, lies above
// c. The division rounds monotonically in d, so the mean lies above c exactly when d is at least
// this bound: the quick mode's rows take one subtraction and one comparison each instead of a
// division. NaN (no difference reaches it) when c is NaN or +inf. n is at least 1.
double least_sum_above(double c, double n);

// The plain rule at pixel (x, y), sample by sample and row by row, with the full mode's weight
// subtracted per sample; the row body must agree with it bit for bit. `prefix_sums` holds the
// rows' running sums in quick mode.
float environmental_occlusion_pixel_reference(const Occlusion_Settings& settings,
                                              const Layer<double>& prefix_sums, int64_t x,
                                              int64_t y);

// The occlusion layer's rows go out in wide bands of 32 rows (a pixel's window reads the rows
// around it: the depths in full mode, the running sums in quick mode, nearly the same for the
// next row), and the last 32 rows per worker `grain` rows at a time (the rows counted together).
inline constexpr int64_t occlusion_wide_band_rows = 32;
Row_Bands occlusion_bands(int64_t rows, int64_t grain, int64_t workers);

// The rows of band `iteration.index` of the occlusion layer.
void environmental_occlusion_rows(const Iteration& iteration, Render_Context context,
                                  Occlusion_Settings settings, Row_Bands bands,
                                  Layer<float> occlusion, Layer<double> prefix_sums,
                                  const Occlusion_Steps* steps,
                                  const Quick_Occlusion_Steps* quick_steps);

// False when there is no environment light to occlude, or nothing occludes it.
inline bool environmental_occlusion_has_work(float occlusion_amount, float illumination_amount,
                                             float reflection_amount) {
  return occlusion_amount != 0.0f && (illumination_amount != 0.0f || reflection_amount != 0.0f);
}

// Makes the occlusion layer (w × h floats, origin 0) into `result`, running the preparation of
// the running sums first in quick mode.
void run_environmental_occlusion(const Render_Context& context, const Occlusion_Settings& settings,
                                 std::unique_ptr<Layer_Holder>& result);

// (2 r + 1)² samples of 4 bytes for every depth pixel plus the normals read once; saturates
// instead of overflowing for radii far beyond the control's range.
int64_t environmental_occlusion_workload(int64_t normal_pixels, int64_t depth_pixels,
                                         int64_t radius);

template <class L, class Implementation>
class Kernel_Environmental_Occlusion;

// The pixel type only selects the instantiation: the environment record carries views of it,
// which occlusion does not read.
template <class P>
class Kernel_Environmental_Occlusion<Layer<P>, Implementation_Cpu>
    : public Kernel_Implementation<Implementation_Cpu> {
 public:
  struct Parameters_In {
    Layer<float> depth;  // the image's w × h inside the bordered depth layer
    Layer<Vector_3<float>> normals;
    Environment_Parameter<P> environment;
    bool skip_zero_depth = false;  // "alpha clipping" on or "alpha fading" above 0
  };

  Parameters_In parameters_in;
  // The occlusion layer; empty when there was nothing to occlude. The pipeline keeps the kernel
  // until the final shading has read it.
  std::unique_ptr<Layer_Holder> result;

  std::string name() const override { return "environmental occlusion"; }
  int64_t workload() const override {
    const Parameters_In& in = parameters_in;
    return environmental_occlusion_workload(in.normals.width * in.normals.height,
                                            in.depth.width * in.depth.height,
                                            in.environment.occlusion_radius);
  }
  void run(Render_Context context) override {
    const Parameters_In& in = parameters_in;
    const Environment_Parameter<P>& e = in.environment;
    if (!environmental_occlusion_has_work(e.occlusion_amount, e.illumination_amount,
                                          e.reflection_amount)) {
      return;
    }
    run_environmental_occlusion(
        context,
        occlusion_settings(in.depth, in.normals, e.occlusion_amount, e.occlusion_radius,
                           e.quick_mode, in.skip_zero_depth),
        result);
  }
};

extern template class Kernel_Environmental_Occlusion<Layer<ARGB32f>, Implementation_Cpu>;
extern template class Kernel_Environmental_Occlusion<Layer<BGRA32f>, Implementation_Cpu>;
extern template class Kernel_Environmental_Occlusion<Layer<ARGB16>, Implementation_Cpu>;
extern template class Kernel_Environmental_Occlusion<Layer<BGRA16>, Implementation_Cpu>;
extern template class Kernel_Environmental_Occlusion<Layer<ARGB8>, Implementation_Cpu>;
extern template class Kernel_Environmental_Occlusion<Layer<BGRA8>, Implementation_Cpu>;

}  // namespace brel

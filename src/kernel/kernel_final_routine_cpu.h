#pragma once

// The final routine: the last stage of the full render and of "refraction only" and
// "highlights only". Every output pixel is lit by both lights with their shadows, gets the
// environment's illumination and reflections gathered over its footprint, is scaled by the
// occlusion, tinted by the specular colour, laid over the refracted background by the
// transparency, and clipped and faded by its depth; the result overwrites the surface colour
// that the output held.

#include <cstdint>
#include <string>

#include "base/kernel.h"
#include "base/layer.h"
#include "base/pixel.h"
#include "kernel/final_routine_parameters.h"
#include "kernel/gatherer_cpu.h"

namespace brel {

// Which environment samplers a render needs. A reflection prepared by a brightness bias or a
// gamma has its own gatherer over the prepared layer; otherwise the reflections read the
// illumination's gatherer over the raw environment. A setting that is not a number counts as
// not 0 and not 1.
template <class T>
bool reflections_share_illumination_gatherer(const Environment_Parameter<T>& environment) {
  return environment.reflection_bias == 0.0f && environment.gamma == 1.0f;
}

template <class T>
bool needs_reflection_gatherer(const Environment_Parameter<T>& environment) {
  return environment.environment_texture.pixels != nullptr &&
         environment.reflection_amount != 0.0f &&
         !reflections_share_illumination_gatherer(environment);
}

template <class T>
bool needs_illumination_gatherer(const Environment_Parameter<T>& environment) {
  return (environment.environment_texture.pixels != nullptr &&
          environment.illumination_amount != 0.0f) ||
         (environment.reflection_amount != 0.0f &&
          reflections_share_illumination_gatherer(environment));
}

template <class T>
using Environment_Gatherer = Gatherer<Layer<T>, Implementation_Cpu>;

// One output row y = iteration.index. Worker w = iteration.worker_index fills rows 4w to 4w + 3
// of `landing` with the landing points of image rows y - 1 and y (row 0 twice for y = 0), first
// for the reflections, then for the illumination, each only when its gatherer has a source.
template <class T>
void final_routine_body(const Iteration& iteration, Render_Context context,
                        Final_Routine_Parameters_In<T> in,
                        const Environment_Gatherer<T>* reflections,
                        const Environment_Gatherer<T>* illumination,
                        Array_2d<Blur_Coordinates> landing);

// Output rows a final routine iteration takes: neighbouring rows share their landing rows, so
// each image row's landing points are found about once instead of twice.
inline constexpr int64_t final_routine_rows = 8;

// Output rows iteration.index * final_routine_rows onwards (at most that many), exactly as
// final_routine_body gives each of them. Worker w = iteration.worker_index fills rows
// 2 (final_routine_rows + 1) w onwards of `landing`: the reflections' landing points of image
// rows first - 1 to last, then the illumination's.
template <class T>
void final_routine_rows_body(const Iteration& iteration, Render_Context context,
                             Final_Routine_Parameters_In<T> in,
                             const Environment_Gatherer<T>* reflections,
                             const Environment_Gatherer<T>* illumination,
                             Array_2d<Blur_Coordinates> landing);

// Adds the environment at pixel (x, y): the illumination (the illumination colour, times the
// environment gathered around the normal when there is one) into `diffuse`, and the reflection
// weighted by the occlusion, the reflection amount and its texture into `specular`. Each pair of
// landing rows is (image row y, image row y - 1).
template <class T>
void add_environment_light(
    int64_t x, int64_t y, Rgb_Value& diffuse, Rgb_Value& specular,
    const Blur_Coordinates* reflection_row, const Blur_Coordinates* reflection_previous_row,
    const Environment_Gatherer<T>* reflections, const Blur_Coordinates* illumination_row,
    const Blur_Coordinates* illumination_previous_row, const Environment_Gatherer<T>* illumination,
    const Environment_Parameter<T>& environment, const Layer<float>& occlusion);

template <class L, class Implementation>
class Kernel_Final_Routine;

template <class P>
class Kernel_Final_Routine<Layer<P>, Implementation_Cpu>
    : public Kernel_Implementation<Implementation_Cpu> {
 public:
  using Parameters_In = Final_Routine_Parameters_In<P>;

  Parameters_In parameters_in;

  std::string name() const override { return "final routine"; }
  int64_t workload() const override {
    const Parameters_In& in = parameters_in;
    return in.output.width * in.output.height * static_cast<int64_t>(sizeof(P)) +
           in.depth.width * in.depth.height * 4 + in.normals.width * in.normals.height * 12;
  }
  // Sets up the gatherers the environment settings call for, then shades every output row.
  void run(Render_Context context) override;
};

extern template class Kernel_Final_Routine<Layer<ARGB32f>, Implementation_Cpu>;
extern template class Kernel_Final_Routine<Layer<BGRA32f>, Implementation_Cpu>;
extern template class Kernel_Final_Routine<Layer<ARGB16>, Implementation_Cpu>;
extern template class Kernel_Final_Routine<Layer<BGRA16>, Implementation_Cpu>;
extern template class Kernel_Final_Routine<Layer<ARGB8>, Implementation_Cpu>;
extern template class Kernel_Final_Routine<Layer<BGRA8>, Implementation_Cpu>;

}  // namespace brel

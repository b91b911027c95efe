#pragma once

// The environment layer as reflections look it up: colour premultiplied by alpha, its
// brightness reshaped by the reflection bias and raised to the gamma.

#include <cstdint>
#include <memory>
#include <string>

#include "base/kernel.h"
#include "base/layer.h"
#include "base/layer_holder.h"

namespace brel {

template <class L, class Implementation>
class Kernel_Prepare_Environment_Layer;

// Float types work on the channels as they are. 8-bit and 16-bit types bring colour and alpha to
// white 1, run the same steps and store value x white + 0.5, clamped to 0 .. white and
// truncated; their alpha is written back unchanged.
template <class P>
class Kernel_Prepare_Environment_Layer<Layer<P>, Implementation_Cpu> final
    : public Kernel_Implementation<Implementation_Cpu> {
 public:
  struct Parameters_In {
    struct Image {
      Layer<P> in;   // the environment layer
      Layer<P> out;  // the prepared layer, as large as `in`
    } image;
    float bias = 0.0f;   // brightness bias, -1 .. 1e8: towards 1 brightens, towards -1 darkens
    float gamma = 1.0f;  // 0 .. 100
  };

  std::string name() const override { return "prepare environment layer"; }
  int64_t workload() const override {
    const auto& image = parameters_in.image;
    return (image.in.width * image.in.height + image.out.width * image.out.height) *
           static_cast<int64_t>(sizeof(P));
  }
  // Fails an assertion, writing nothing, when the layers differ in size.
  void run(Render_Context context) override;

  Parameters_In parameters_in;
};

// A new layer of the environment's pixel type, size and geometry (flag, origin, downsample,
// pixel aspect), not yet written.
template <class P>
std::unique_ptr<Layer_Holder> make_prepared_environment_layer(const Render_Context& context,
                                                              const Layer<P>& environment);

// The prepared environment for the reflections, or null when none is due: an environment
// without pixels, a reflection amount of 0, or bias 0 with gamma 1 (the raw environment then
// serves). A not-a-number amount, bias or gamma counts as a change.
template <class P>
std::unique_ptr<Layer_Holder> launch_prepared_environment(const Render_Context& context,
                                                          const Layer<P>& environment,
                                                          float reflection_amount, float bias,
                                                          float gamma);

// One pixel of the prepared layer from the environment's `pixel`, with the bias exponent `p` of
// `bias` (environment_bias_exponent): the plain rule the row body follows.
template <class P>
P prepared_environment_pixel(const P& pixel, float bias, float p, float gamma);

// The brightness exponent of a bias in (-1, 1e8]: the mean brightness m of a colour becomes
// m^p.
float environment_bias_exponent(float bias);

extern template class Kernel_Prepare_Environment_Layer<Layer<ARGB32f>, Implementation_Cpu>;
extern template class Kernel_Prepare_Environment_Layer<Layer<BGRA32f>, Implementation_Cpu>;
extern template class Kernel_Prepare_Environment_Layer<Layer<ARGB16>, Implementation_Cpu>;
extern template class Kernel_Prepare_Environment_Layer<Layer<BGRA16>, Implementation_Cpu>;
extern template class Kernel_Prepare_Environment_Layer<Layer<ARGB8>, Implementation_Cpu>;
extern template class Kernel_Prepare_Environment_Layer<Layer<BGRA8>, Implementation_Cpu>;
extern template ARGB32f prepared_environment_pixel<ARGB32f>(const ARGB32f&, float, float, float);
extern template BGRA32f prepared_environment_pixel<BGRA32f>(const BGRA32f&, float, float, float);
extern template ARGB16 prepared_environment_pixel<ARGB16>(const ARGB16&, float, float, float);
extern template BGRA16 prepared_environment_pixel<BGRA16>(const BGRA16&, float, float, float);
extern template ARGB8 prepared_environment_pixel<ARGB8>(const ARGB8&, float, float, float);
extern template BGRA8 prepared_environment_pixel<BGRA8>(const BGRA8&, float, float, float);
extern template std::unique_ptr<Layer_Holder> make_prepared_environment_layer<ARGB32f>(
    const Render_Context&, const Layer<ARGB32f>&);
extern template std::unique_ptr<Layer_Holder> launch_prepared_environment<ARGB32f>(
    const Render_Context&, const Layer<ARGB32f>&, float, float, float);
extern template std::unique_ptr<Layer_Holder> make_prepared_environment_layer<BGRA32f>(
    const Render_Context&, const Layer<BGRA32f>&);
extern template std::unique_ptr<Layer_Holder> launch_prepared_environment<BGRA32f>(
    const Render_Context&, const Layer<BGRA32f>&, float, float, float);
extern template std::unique_ptr<Layer_Holder> make_prepared_environment_layer<ARGB16>(
    const Render_Context&, const Layer<ARGB16>&);
extern template std::unique_ptr<Layer_Holder> launch_prepared_environment<ARGB16>(
    const Render_Context&, const Layer<ARGB16>&, float, float, float);
extern template std::unique_ptr<Layer_Holder> make_prepared_environment_layer<BGRA16>(
    const Render_Context&, const Layer<BGRA16>&);
extern template std::unique_ptr<Layer_Holder> launch_prepared_environment<BGRA16>(
    const Render_Context&, const Layer<BGRA16>&, float, float, float);
extern template std::unique_ptr<Layer_Holder> make_prepared_environment_layer<ARGB8>(
    const Render_Context&, const Layer<ARGB8>&);
extern template std::unique_ptr<Layer_Holder> launch_prepared_environment<ARGB8>(
    const Render_Context&, const Layer<ARGB8>&, float, float, float);
extern template std::unique_ptr<Layer_Holder> make_prepared_environment_layer<BGRA8>(
    const Render_Context&, const Layer<BGRA8>&);
extern template std::unique_ptr<Layer_Holder> launch_prepared_environment<BGRA8>(
    const Render_Context&, const Layer<BGRA8>&, float, float, float);

}  // namespace brel

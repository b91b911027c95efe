#include "kernel/kernel_show_render_mode_normals_cpu.h"

#include "util/target_clones.h"

namespace brel {

namespace show_render_mode_normals_detail {

// Conversions bound this loop: where the processor has AVX2 it runs eight pixels an instruction
// instead of four, with the same results.
template <class P>
BREL_TARGET_CLONES_AVX2 void normals_to_integer_pixels(const Vector_3<float>* normals, P* output,
                                                       int64_t n) {
  using Traits = Pixel_Traits<P>;
  using Word = typename Traits::Word;
  const float white = Traits::white_value;
  const Word alpha = Traits::to_word_truncated(white, Traits::alpha);
  const float* components = reinterpret_cast<const float*>(normals);
  for (int64_t i = 0; i < n; ++i) {
    const Word word =
        alpha | Traits::to_word_truncated((components[3 * i] + 1.0f) * 0.5f * white, Traits::red) |
        Traits::to_word_truncated((components[3 * i + 1] + 1.0f) * 0.5f * white, Traits::green) |
        Traits::to_word_truncated((components[3 * i + 2] + 1.0f) * 0.5f * white, Traits::blue);
    std::memcpy(output + i, &word, sizeof(Word));
  }
}

template <class P>
BREL_TARGET_CLONES_AVX2 void normals_to_float_pixels(const Vector_3<float>* normals, P* output,
                                                     int64_t n) {
  using Traits = Pixel_Traits<P>;
  const float white = Traits::white_value;
  for (int64_t i = 0; i < n; ++i) {
    P& pixel = output[i];
    pixel.channel[Traits::red] = (normals[i].x + 1.0f) * 0.5f * white;
    pixel.channel[Traits::green] = (normals[i].y + 1.0f) * 0.5f * white;
    pixel.channel[Traits::blue] = (normals[i].z + 1.0f) * 0.5f * white;
    pixel.channel[Traits::alpha] = white;
  }
}

template void normals_to_float_pixels(const Vector_3<float>*, ARGB32f*, int64_t);
template void normals_to_float_pixels(const Vector_3<float>*, BGRA32f*, int64_t);
template void normals_to_integer_pixels(const Vector_3<float>*, ARGB16*, int64_t);
template void normals_to_integer_pixels(const Vector_3<float>*, BGRA16*, int64_t);
template void normals_to_integer_pixels(const Vector_3<float>*, ARGB8*, int64_t);
template void normals_to_integer_pixels(const Vector_3<float>*, BGRA8*, int64_t);

}  // namespace show_render_mode_normals_detail

template class Kernel_Show_Render_Mode_Normals<Layer<ARGB32f>, Implementation_Cpu>;
template class Kernel_Show_Render_Mode_Normals<Layer<BGRA32f>, Implementation_Cpu>;
template class Kernel_Show_Render_Mode_Normals<Layer<ARGB16>, Implementation_Cpu>;
template class Kernel_Show_Render_Mode_Normals<Layer<BGRA16>, Implementation_Cpu>;
template class Kernel_Show_Render_Mode_Normals<Layer<ARGB8>, Implementation_Cpu>;
template class Kernel_Show_Render_Mode_Normals<Layer<BGRA8>, Implementation_Cpu>;

}  // namespace brel

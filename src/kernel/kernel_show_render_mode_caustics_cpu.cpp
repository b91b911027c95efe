#include "kernel/kernel_show_render_mode_caustics_cpu.h"

namespace brel {

template class Kernel_Show_Render_Mode_Caustics<Layer<ARGB32f>, Implementation_Cpu>;
template class Kernel_Show_Render_Mode_Caustics<Layer<BGRA32f>, Implementation_Cpu>;
template class Kernel_Show_Render_Mode_Caustics<Layer<ARGB16>, Implementation_Cpu>;
template class Kernel_Show_Render_Mode_Caustics<Layer<BGRA16>, Implementation_Cpu>;
template class Kernel_Show_Render_Mode_Caustics<Layer<ARGB8>, Implementation_Cpu>;
template class Kernel_Show_Render_Mode_Caustics<Layer<BGRA8>, Implementation_Cpu>;

}  // namespace brel

#include "kernel/kernel_show_render_mode_shadows_cpu.h"

namespace brel {

template class Kernel_Show_Render_Mode_Shadows<Layer<ARGB32f>, Implementation_Cpu>;
template class Kernel_Show_Render_Mode_Shadows<Layer<BGRA32f>, Implementation_Cpu>;
template class Kernel_Show_Render_Mode_Shadows<Layer<ARGB16>, Implementation_Cpu>;
template class Kernel_Show_Render_Mode_Shadows<Layer<BGRA16>, Implementation_Cpu>;
template class Kernel_Show_Render_Mode_Shadows<Layer<ARGB8>, Implementation_Cpu>;
template class Kernel_Show_Render_Mode_Shadows<Layer<BGRA8>, Implementation_Cpu>;

}  // namespace brel

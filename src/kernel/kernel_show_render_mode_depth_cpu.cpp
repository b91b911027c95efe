#include "kernel/kernel_show_render_mode_depth_cpu.h"

namespace brel {

template class Kernel_Show_Render_Mode_Depth<Layer<ARGB32f>, Implementation_Cpu>;
template class Kernel_Show_Render_Mode_Depth<Layer<BGRA32f>, Implementation_Cpu>;
template class Kernel_Show_Render_Mode_Depth<Layer<ARGB16>, Implementation_Cpu>;
template class Kernel_Show_Render_Mode_Depth<Layer<BGRA16>, Implementation_Cpu>;
template class Kernel_Show_Render_Mode_Depth<Layer<ARGB8>, Implementation_Cpu>;
template class Kernel_Show_Render_Mode_Depth<Layer<BGRA8>, Implementation_Cpu>;

}  // namespace brel

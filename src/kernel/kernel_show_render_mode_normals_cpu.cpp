#include "kernel/kernel_show_render_mode_normals_cpu.h"

namespace brel {

template class Kernel_Show_Render_Mode_Normals<Layer<ARGB32f>, Implementation_Cpu>;
template class Kernel_Show_Render_Mode_Normals<Layer<BGRA32f>, Implementation_Cpu>;
template class Kernel_Show_Render_Mode_Normals<Layer<ARGB16>, Implementation_Cpu>;
template class Kernel_Show_Render_Mode_Normals<Layer<BGRA16>, Implementation_Cpu>;
template class Kernel_Show_Render_Mode_Normals<Layer<ARGB8>, Implementation_Cpu>;
template class Kernel_Show_Render_Mode_Normals<Layer<BGRA8>, Implementation_Cpu>;

}  // namespace brel

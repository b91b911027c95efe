#include "base/after_effects/after_effects_dynamic_pixel_type_translation.h"

#include <cstdint>
#include <string>

#include "base/exception.h"
#include "base/log.h"

namespace brel {

namespace {

template <class T>
void call_translated_render(const Render_Call_Context& call, Render_Pipeline<T> pipeline,
                            const std::string& name) {
  global_log().write("translating render call to " + name + "\n", Log::information);
  pipeline(call.host_context, call.plugin_context, call.render_context, *call.parameters,
           layer_view<T>(call.input), layer_view<T>(call.output), call.layers);
}

struct Pipeline_Row {
  int64_t bits;
  int32_t red;
  int32_t green;
  int32_t blue;
  int32_t alpha;
  const char* name;
  void (*run)(const Render_Pipelines&, const Render_Call_Context&, const char* name);
};

template <class T, Render_Pipeline<T> Render_Pipelines::*member>
void run_pipeline(const Render_Pipelines& pipelines, const Render_Call_Context& call,
                  const char* name) {
  call_translated_render<T>(call, pipelines.*member, name);
}

// The layouts in the order they are tested.
constexpr Pipeline_Row pipeline_table[] = {
    {8, 1, 2, 3, 0, "8 bit argb uc - cpu", run_pipeline<ARGB8, &Render_Pipelines::argb8>},
    {16, 1, 2, 3, 0, "16 bit argb uc - cpu", run_pipeline<ARGB16, &Render_Pipelines::argb16>},
    {32, 1, 2, 3, 0, "32 bit argb float - cpu", run_pipeline<ARGB32f, &Render_Pipelines::argb32f>},
    {8, 2, 1, 0, 3, "8 bit bgra uc - cpu", run_pipeline<BGRA8, &Render_Pipelines::bgra8>},
    {16, 2, 1, 0, 3, "16 bit bgra us - cpu", run_pipeline<BGRA16, &Render_Pipelines::bgra16>},
    {32, 2, 1, 0, 3, "32 bit bgra float - cpu", run_pipeline<BGRA32f, &Render_Pipelines::bgra32f>},
};

const Pipeline_Row* find_pipeline(const Pixel_Description& pixels) {
  if (pixels.kind != Pixel_Description::packed_color) {
    return nullptr;
  }
  for (const Pipeline_Row& row : pipeline_table) {
    if (row.bits == pixels.bits && row.red == pixels.red && row.green == pixels.green &&
        row.blue == pixels.blue && row.alpha == pixels.alpha) {
      return &row;
    }
  }
  return nullptr;
}

}  // namespace

void translate_pixel_type(const Render_Pipelines& pipelines, BREL_Render_Pipeline pipeline_kind,
                          const Host_Context& host_context, const Plugin_Context& plugin_context,
                          const Render_Context& render_context, Parameter_Set* parameters,
                          Pixel_Description pixel_description, const Layer_Typeless& input,
                          const Layer_Typeless& output, const Layer_Map& layers) {
  const Render_Call_Context call{host_context, plugin_context, render_context, parameters,
                                 input,        output,         layers};
  if (pipeline_kind != BREL_Render_Pipeline_Cpu) {
    BREL_ASSERT_INCOMPLETE_AT(report::translation_not_cpu);
  }
  const Pipeline_Row* row = find_pipeline(pixel_description);
  if (row == nullptr) {
    BREL_ASSERT_INCOMPLETE_AT(report::translation_unknown_pixel);
  }
  BREL_ASSERT(parameters != nullptr);
  row->run(pipelines, call, row->name);
}

}  // namespace brel

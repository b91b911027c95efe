// The library's one export. Hosts find it by name; everything else stays hidden.

#include "effect/effect_main.h"
#include "host_api.h"

extern "C" __attribute__((visibility("default"))) PF_Err EntryPointFunc(
    PF_Cmd command, PF_InData* in_data, PF_OutData* out_data, PF_ParamDef* params[],
    PF_LayerDef* output, void* extra) {
  return brel::effect_main(command, in_data, out_data, params, output, extra);
}

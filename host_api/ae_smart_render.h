#pragma once

/* Records of smart rendering: in the pre-render the effect tells the host which part of every
 * input it needs and how large its output will be; in the render it checks out the pixels the
 * host prepared. A layer keeps one checkout id across both commands. */

#include "ae_effect.h"

#ifdef __cplusplus
extern "C" {
#endif

enum { PF_Field_FRAME = 0 };
enum { PF_ChannelMask_ARGB = 0xF };

typedef struct PF_RenderRequest {
  PF_LRect rect;
  PF_Field field;
  PF_ChannelMask channel_mask;
  PF_Boolean preserve_rgb_of_zero_alpha;
  A_u_char unused[3];
} PF_RenderRequest;

typedef struct PF_CheckoutResult {
  PF_LRect result_rect;
  PF_LRect max_result_rect;
  PF_RationalScale par;
  A_long solid;
  A_long ref_width;
  A_long ref_height;
} PF_CheckoutResult;

typedef struct PF_PreRenderInput {
  PF_RenderRequest output_request;
  A_short bitdepth;
  A_short reserved;
} PF_PreRenderInput;

typedef void (*PF_DeletePreRenderDataFunc)(void* pre_render_data);

typedef struct PF_PreRenderOutput {
  PF_LRect result_rect;
  PF_LRect max_result_rect;
  PF_Boolean solid;
  A_u_char reserved[3];
  A_long flags;
  void* pre_render_data;
  PF_DeletePreRenderDataFunc delete_pre_render_data_func;
} PF_PreRenderOutput;

typedef struct PF_PreRenderCallbacks {
  PF_Err (*checkout_layer)(PF_ProgPtr effect_ref, PF_ParamIndex index, A_long checkout_idL,
                           const PF_RenderRequest* req, A_long what_time, A_long time_step,
                           A_u_long time_scale, PF_CheckoutResult* checkout_result);
} PF_PreRenderCallbacks;

typedef struct PF_PreRenderExtra {
  PF_PreRenderInput* input;
  PF_PreRenderOutput* output;
  PF_PreRenderCallbacks* cb;
} PF_PreRenderExtra;

typedef struct PF_SmartRenderInput {
  PF_RenderRequest output_request;
  A_short bitdepth;
  A_short reserved;
  void* pre_render_data;
  const void* gpu_data;
} PF_SmartRenderInput;

typedef struct PF_SmartRenderCallbacks {
  /* A null world means the layer parameter holds no layer; that is not an error. */
  PF_Err (*checkout_layer_pixels)(PF_ProgPtr effect_ref, A_long checkout_idL,
                                  PF_EffectWorld** pixels);
  PF_Err (*checkin_layer_pixels)(PF_ProgPtr effect_ref, A_long checkout_idL);
  PF_Err (*checkout_output)(PF_ProgPtr effect_ref, PF_EffectWorld** output);
} PF_SmartRenderCallbacks;

typedef struct PF_SmartRenderExtra {
  PF_SmartRenderInput* input;
  PF_SmartRenderCallbacks* cb;
} PF_SmartRenderExtra;

#ifdef __cplusplus
}
#endif

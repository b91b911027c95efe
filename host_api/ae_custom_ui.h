#pragma once

/* What a custom control needs of the host beyond the event and arbitrary-data records: the
 * control's drawing reference, the drawing suites that put an image into the effect panel,
 * and the AEGP suites through which the control fetches the frame entering or leaving the
 * effect without waiting for a render. Tables list the functions the effect calls; layouts and
 * the numeric values of the drawing policies are ours. */

#include "ae_suites.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Drawing ---------------------------------------------------------------------------- */

typedef struct DRAWBOT_DrawRefOpaque* DRAWBOT_DrawRef;
typedef struct DRAWBOT_SupplierOpaque* DRAWBOT_SupplierRef;
typedef struct DRAWBOT_SurfaceOpaque* DRAWBOT_SurfaceRef;
typedef struct DRAWBOT_ImageOpaque* DRAWBOT_ImageRef;
typedef void* DRAWBOT_ObjectRef;

typedef struct DRAWBOT_PointF32 {
  float x;
  float y;
} DRAWBOT_PointF32;

/* Pixel layouts of an image made from a buffer: 8 bits per channel, in memory order. */
enum {
  DRAWBOT_PixelLayout_24RGB = 0,
  DRAWBOT_PixelLayout_32RGB = 1,
  DRAWBOT_PixelLayout_32BGRA = 2
};
enum {
  DRAWBOT_InterpolationPolicy_None = 0,
  DRAWBOT_InterpolationPolicy_Med = 1,
  DRAWBOT_InterpolationPolicy_High = 2
};
enum {
  DRAWBOT_AntiAliasPolicy_None = 0,
  DRAWBOT_AntiAliasPolicy_Med = 1,
  DRAWBOT_AntiAliasPolicy_High = 2
};

#define kDRAWBOT_SupplierSuite "DRAWBOT Supplier Suite"
#define kDRAWBOT_SupplierSuiteVersion1 1

typedef struct DRAWBOT_SupplierSuite1 {
  SPErr (*SupportsPixelLayoutBGRA)(DRAWBOT_SupplierRef supplier, PF_Boolean* supports);
  SPErr (*PrefersPixelLayoutBGRA)(DRAWBOT_SupplierRef supplier, PF_Boolean* prefers);
  SPErr (*SupportsPremultipliedAlpha)(DRAWBOT_SupplierRef supplier, PF_Boolean* supports);
  SPErr (*PrefersPremultipliedAlpha)(DRAWBOT_SupplierRef supplier, PF_Boolean* prefers);
  /* The image reads the buffer when it is drawn; the buffer must live until then. */
  SPErr (*NewImageFromBuffer)(DRAWBOT_SupplierRef supplier, A_long width, A_long height,
                              A_long row_bytes, A_long pixel_layout, const void* data,
                              DRAWBOT_ImageRef* image);
  SPErr (*ReleaseObject)(DRAWBOT_ObjectRef object);
} DRAWBOT_SupplierSuite1;

#define kDRAWBOT_DrawSuite "DRAWBOT Draw Suite"
#define kDRAWBOT_DrawSuiteVersion1 1

typedef struct DRAWBOT_DrawbotSuite1 {
  SPErr (*GetSupplier)(DRAWBOT_DrawRef draw_ref, DRAWBOT_SupplierRef* supplier);
  SPErr (*GetSurface)(DRAWBOT_DrawRef draw_ref, DRAWBOT_SurfaceRef* surface);
} DRAWBOT_DrawbotSuite1;

#define kDRAWBOT_SurfaceSuite "DRAWBOT Surface Suite"
#define kDRAWBOT_SurfaceSuiteVersion1 1

typedef struct DRAWBOT_SurfaceSuite1 {
  SPErr (*SetInterpolationPolicy)(DRAWBOT_SurfaceRef surface, A_long policy);
  SPErr (*SetAntiAliasPolicy)(DRAWBOT_SurfaceRef surface, A_long policy);
  SPErr (*DrawImage)(DRAWBOT_SurfaceRef surface, DRAWBOT_ImageRef image,
                     const DRAWBOT_PointF32* origin, float opacity);
} DRAWBOT_SurfaceSuite1;

/* ---- "PF Effect Custom UI Suite": the drawing reference and the frame manager of an event */

typedef struct PF_AsyncManagerOpaque* PF_AsyncManagerP;

#define kPFEffectCustomUISuite "PF Effect Custom UI Suite"
#define kPFEffectCustomUISuiteVersion1 1
#define kPFEffectCustomUISuiteVersion2 2

typedef struct PF_EffectCustomUISuite1 {
  PF_Err (*PF_GetDrawingReference)(PF_ContextH context, DRAWBOT_DrawRef* draw_ref);
} PF_EffectCustomUISuite1;

typedef struct PF_EffectCustomUISuite2 {
  PF_Err (*PF_GetDrawingReference)(PF_ContextH context, DRAWBOT_DrawRef* draw_ref);
  /* The manager that renders frames for this event's control in the background. */
  PF_Err (*PF_GetContextAsyncManager)(PF_InData* in_data, PF_EventExtra* extra,
                                      PF_AsyncManagerP* manager);
} PF_EffectCustomUISuite2;

/* ---- AEGP: the frame entering or leaving an effect instance ----------------------------- */

typedef struct AEGP_EffectRefOpaque* AEGP_EffectRefH;
typedef struct AEGP_LayerRenderOptionsOpaque* AEGP_LayerRenderOptionsH;
typedef struct AEGP_FrameReceiptOpaque* AEGP_FrameReceiptH;
typedef struct AEGP_WorldOpaque* AEGP_WorldH;
typedef A_u_longlong AEGP_AsyncFrameRequestID;

#define kAEGPPFInterfaceSuite "AEGP PF Interface Suite"
#define kAEGPPFInterfaceSuiteVersion1 1

typedef struct AEGP_PFInterfaceSuite1 {
  /* The AEGP effect of the instance the effect reference names; dispose of it when done. */
  A_Err (*AEGP_GetNewEffectForEffect)(AEGP_PluginID plugin_id, PF_ProgPtr effect_ref,
                                      AEGP_EffectRefH* effect);
} AEGP_PFInterfaceSuite1;

#define kAEGPEffectSuite "AEGP Effect Suite"
#define kAEGPEffectSuiteVersion3 3

typedef struct AEGP_EffectSuite3 {
  A_Err (*AEGP_DisposeEffect)(AEGP_EffectRefH effect);
} AEGP_EffectSuite3;

#define kAEGPLayerRenderOptionsSuite "AEGP Layer Render Options Suite"
#define kAEGPLayerRenderOptionsSuiteVersion2 2

typedef struct AEGP_LayerRenderOptionsSuite2 {
  /* Options that render the layer as it enters the effect (upstream) or leaves it. */
  A_Err (*AEGP_NewFromUpstreamOfEffect)(AEGP_PluginID plugin_id, AEGP_EffectRefH effect,
                                        AEGP_LayerRenderOptionsH* options);
  A_Err (*AEGP_NewFromDownstreamOfEffect)(AEGP_PluginID plugin_id, AEGP_EffectRefH effect,
                                          AEGP_LayerRenderOptionsH* options);
  A_Err (*AEGP_Dispose)(AEGP_LayerRenderOptionsH options);
} AEGP_LayerRenderOptionsSuite2;

/* The name as hosts register it. */
#define kAEGPRenderAsyncManagerSuite "AEGP Render Asyc Manager Suite"
#define kAEGPRenderAsyncManagerSuiteVersion1 1

typedef struct AEGP_RenderAsyncManagerSuite1 {
  /* A receipt of the frame when it is ready, null while it is still being rendered; a receipt
   * is checked in through "AEGP Render Suite". */
  A_Err (*AEGP_CheckoutOrRender_LayerFrame_AsyncManager)(PF_AsyncManagerP manager,
                                                         AEGP_AsyncFrameRequestID request_id,
                                                         AEGP_LayerRenderOptionsH options,
                                                         AEGP_FrameReceiptH* receipt);
} AEGP_RenderAsyncManagerSuite1;

#define kAEGPRenderSuite "AEGP Render Suite"
#define kAEGPRenderSuiteVersion5 5

typedef struct AEGP_RenderSuite5 {
  A_Err (*AEGP_CheckinFrame)(AEGP_FrameReceiptH receipt);
  /* The world stays the receipt's; it goes with the check-in. */
  A_Err (*AEGP_GetReceiptWorld)(AEGP_FrameReceiptH receipt, AEGP_WorldH* world);
} AEGP_RenderSuite5;

#define kAEGPWorldSuite "AEGP World Suite"
#define kAEGPWorldSuiteVersion3 3

typedef struct AEGP_WorldSuite3 {
  /* Fills an effect world that shares the AEGP world's pixels. */
  A_Err (*AEGP_FillOutPFEffectWorld)(AEGP_WorldH world, PF_EffectWorld* effect_world);
} AEGP_WorldSuite3;

#ifdef __cplusplus
}
#endif

#pragma once

/* The After Effects suites the effect acquires through SPBasicSuite, with their names and
 * versions. Where the effect calls a function by its position in the table, that position is
 * fixed here and noted; the remaining slots are ours and padded with reserved entries. */

#include "ae_effect.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef void (*PF_ReservedSuiteFunc)(void);

/* ---- After Effects world pixel formats: the bytes in memory, lowest first, spell the code */

#define PF_PixelFormat_ARGB32 PF_FOURCC_LSB_FIRST('a', 'r', 'g', 'b')  /* 0x62677261, 8-bit */
#define PF_PixelFormat_ARGB64 PF_FOURCC_LSB_FIRST('a', 'e', '1', '6')  /* 0x36316561, 16-bit */
#define PF_PixelFormat_ARGB128 PF_FOURCC_LSB_FIRST('a', 'e', '3', '2') /* 0x32336561, float */
#define PF_PixelFormat_BGRA128 ((PF_PixelFormat)0x41444340)            /* float, BGRA order */

/* ---- "PF Handle Suite" 2: host memory handles ------------------------------------------- */

#define kPFHandleSuite "PF Handle Suite"
#define kPFHandleSuiteVersion2 2

typedef struct PF_HandleSuite2 {
  PF_Handle (*host_new_handle)(A_u_longlong size); /* null when out of memory */
  void* (*host_lock_handle)(PF_Handle handle);     /* null on failure */
  void (*host_unlock_handle)(PF_Handle handle);
  void (*host_dispose_handle)(PF_Handle handle);
  A_u_longlong (*host_get_handle_size)(PF_Handle handle);
  PF_Err (*host_resize_handle)(A_u_longlong new_size, PF_Handle* handle);
} PF_HandleSuite2;

/* ---- "PF World Suite" 2: worlds and their pixel formats --------------------------------- */

#define kPFWorldSuite "PF World Suite"
#define kPFWorldSuiteVersion2 2

typedef struct PF_WorldSuite2 {
  PF_Err (*PF_NewWorld)(PF_ProgPtr effect_ref, A_long width, A_long height, PF_Boolean clear_pix,
                        PF_PixelFormat pixel_format, PF_EffectWorld* world);
  PF_Err (*PF_DisposeWorld)(PF_ProgPtr effect_ref, PF_EffectWorld* world);
  /* position 2 */
  PF_Err (*PF_GetPixelFormat)(const PF_EffectWorld* world, PF_PixelFormat* pixel_format);
} PF_WorldSuite2;

/* ---- "PF ColorParamSuite" 1: colour parameters in float --------------------------------- */

#define kPFColorParamSuite "PF ColorParamSuite"
#define kPFColorParamSuiteVersion1 1

typedef struct PF_ColorParamSuite1 {
  /* position 0; `color_def` is a checked-out colour parameter */
  PF_Err (*PF_GetFloatingPointColorFromColorDef)(PF_ProgPtr effect_ref,
                                                 const PF_ParamDef* color_def,
                                                 PF_PixelFloat* float_color);
} PF_ColorParamSuite1;

/* ---- "PF Param Utils Suite" 2: telling the host that a parameter's UI changed ----------- */

#define kPFParamUtilsSuite "PF Param Utils Suite"
#define kPFParamUtilsSuiteVersion2 2

typedef struct PF_ParamUtilsSuite2 {
  /* position 0; `param` is the entry of the command's parameter array */
  PF_Err (*PF_UpdateParamUI)(PF_ProgPtr effect_ref, PF_ParamIndex param_index,
                             const PF_ParamDef* param);
  PF_ReservedSuiteFunc reserved[3];
} PF_ParamUtilsSuite2;

/* ---- "PF AE Channel Suite" 1: auxiliary channels of a layer (depth) --------------------- */

#define kPFChannelSuite1 "PF AE Channel Suite"
#define kPFChannelSuiteVersion1 1

typedef A_long PF_ChannelType; /* first character most significant */
typedef A_long PF_DataType;

#define PF_ChannelType_DEPTH PF_FOURCC_MSB_FIRST('D', 'P', 'T', 'H') /* 0x44505448 */
#define PF_DataType_FLOAT PF_FOURCC_MSB_FIRST('F', 'L', 'T', '4')    /* 0x464C5434 */
#define PF_DataType_DOUBLE PF_FOURCC_MSB_FIRST('D', 'B', 'L', '8')   /* 0x44424C38 */

typedef struct PF_ChannelRef {
  A_long opaque[8];
} PF_ChannelRef;

typedef PF_ChannelRef* PF_ChannelRefPtr;

typedef struct PF_ChannelDesc {
  PF_ChannelType channel_type;
  A_char name[64];
  PF_DataType data_type;
  A_long dimensionL;
} PF_ChannelDesc;

typedef struct PF_ChannelChunk {
  PF_ChannelRef channel_ref;
  A_long widthL;
  A_long heightL;
  A_long dimensionL;
  A_long row_bytesL;
  PF_DataType data_type;
  PF_Handle dataH;
  void* dataPV; /* null: no pixels */
} PF_ChannelChunk;

typedef struct PF_ChannelSuite1 {
  PF_Err (*PF_GetLayerChannelCount)(PF_ProgPtr effect_ref, PF_ParamIndex param_index,
                                    A_long* num_channels);
  PF_Err (*PF_GetLayerChannelIndexedRefAndDesc)(PF_ProgPtr effect_ref, PF_ParamIndex param_index,
                                                A_long channel_index, PF_Boolean* found,
                                                PF_ChannelRef* channel_ref,
                                                PF_ChannelDesc* channel_desc);
  /* position 2 */
  PF_Err (*PF_GetLayerChannelTypedRefAndDesc)(PF_ProgPtr effect_ref, PF_ParamIndex param_index,
                                              PF_ChannelType channel_type, PF_Boolean* found,
                                              PF_ChannelRef* channel_ref,
                                              PF_ChannelDesc* channel_desc);
  /* position 3 */
  PF_Err (*PF_CheckoutLayerChannel)(PF_ProgPtr effect_ref, PF_ChannelRefPtr channel_ref,
                                    A_long what_time, A_long duration, A_u_long time_scale,
                                    PF_DataType data_type, PF_ChannelChunk* channel_chunk);
  /* position 4 */
  PF_Err (*PF_CheckinLayerChannel)(PF_ProgPtr effect_ref, PF_ChannelRefPtr channel_ref,
                                   PF_ChannelChunk* channel_chunk);
} PF_ChannelSuite1;

/* ---- AEGP suites: registration and the project's working colour space ------------------- */

typedef void* AEGP_GlobalRefcon;
typedef struct AEGP_ProjectOpaque* AEGP_ProjectH;
typedef struct AEGP_ItemOpaque* AEGP_ItemH;
typedef struct AEGP_CompOpaque* AEGP_CompH;
typedef struct AEGP_MemHandleOpaque* AEGP_MemHandle;
typedef struct AEGP_ColorProfileOpaque* AEGP_ColorProfileP;
typedef const struct AEGP_ColorProfileOpaque* AEGP_ConstColorProfileP;
typedef A_long AEGP_ItemType;

enum { AEGP_ItemType_NONE = 0, AEGP_ItemType_FOLDER = 1, AEGP_ItemType_COMP = 2 };

#define kAEGPUtilitySuite "AEGP Utility Suite"
#define kAEGPUtilitySuiteVersion7 7

typedef struct AEGP_UtilitySuite7 {
  PF_ReservedSuiteFunc reserved[7];
  /* position 7: registers the effect with the AEGP layer and yields its plug-in id */
  A_Err (*AEGP_RegisterWithAEGP)(AEGP_GlobalRefcon global_refcon, const A_char* plugin_name,
                                 AEGP_PluginID* plugin_id);
} AEGP_UtilitySuite7;

#define kAEGPProjSuite "AEGP Proj Suite"
#define kAEGPProjSuiteVersion8 8

typedef struct AEGP_ProjSuite8 {
  A_Err (*AEGP_GetNumProjects)(A_long* num_projects);
  A_Err (*AEGP_GetProjectByIndex)(A_long proj_index, AEGP_ProjectH* project);
} AEGP_ProjSuite8;

#define kAEGPItemSuite "AEGP Item Suite"
#define kAEGPItemSuiteVersion10 10

typedef struct AEGP_ItemSuite10 {
  A_Err (*AEGP_GetFirstProjItem)(AEGP_ProjectH project, AEGP_ItemH* item); /* null: none */
  A_Err (*AEGP_GetNextProjItem)(AEGP_ProjectH project, AEGP_ItemH item, AEGP_ItemH* next_item);
  A_Err (*AEGP_GetItemType)(AEGP_ItemH item, AEGP_ItemType* item_type);
} AEGP_ItemSuite10;

#define kAEGPCompSuite "AEGP Comp Suite"
#define kAEGPCompSuiteVersion9 9

typedef struct AEGP_CompSuite9 {
  A_Err (*AEGP_GetCompFromItem)(AEGP_ItemH item, AEGP_CompH* comp);
} AEGP_CompSuite9;

#define kAEGPMemorySuite "AEGP Memory Suite"
#define kAEGPMemorySuiteVersion1 1

typedef struct AEGP_MemorySuite1 {
  A_Err (*AEGP_NewMemHandle)(AEGP_PluginID plugin_id, const A_char* what, A_u_longlong size,
                             A_long flags, AEGP_MemHandle* mem_handle);
  A_Err (*AEGP_FreeMemHandle)(AEGP_MemHandle mem_handle);
} AEGP_MemorySuite1;

#define kPFColorSettingsSuite "PF Color Settings Suite"
#define kPFColorSettingsSuiteVersion3 3

typedef struct PF_ColorSettingsSuite3 {
  A_Err (*AEGP_GetNewWorkingSpaceColorProfile)(AEGP_PluginID plugin_id, AEGP_CompH comp,
                                               AEGP_ColorProfileP* color_profile);
  A_Err (*AEGP_GetNewICCProfileFromColorProfile)(AEGP_PluginID plugin_id,
                                                 AEGP_ConstColorProfileP color_profile,
                                                 AEGP_MemHandle* icc_profile);
  A_Err (*AEGP_GetColorProfileApproximateGamma)(AEGP_ConstColorProfileP color_profile,
                                                A_FpShort* approximate_gamma);
  A_Err (*AEGP_DisposeColorProfile)(AEGP_ColorProfileP color_profile);
} PF_ColorSettingsSuite3;

/* ---- Custom-control host services ------------------------------------------------------- */

#define kPFAppSuite "PF AE App Suite"
#define kPFAppSuiteVersion6 6

typedef struct PF_AppSuite6 {
  /* position 0 */
  PF_Err (*PF_AppGetBgColor)(PF_App_Color* bg_color);
  PF_ReservedSuiteFunc reserved[7];
  /* position 8; a null rectangle invalidates the whole control */
  PF_Err (*PF_InvalidateRect)(PF_ContextH context, const PF_LRect* rect);
} PF_AppSuite6;

/* ---- "PF GPU Device Suite" 1 ------------------------------------------------------------ */

#define kPFGPUDeviceSuite "PF GPU Device Suite"
#define kPFGPUDeviceSuiteVersion1 1

typedef struct PF_GPUDeviceSuite1 {
  PF_Err (*GetGPUWorldData)(PF_ProgPtr effect_ref, PF_EffectWorld* world, void** pixel_data);
} PF_GPUDeviceSuite1;

#ifdef __cplusplus
}
#endif

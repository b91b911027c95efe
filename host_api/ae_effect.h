#pragma once

/* The effect interface proper: commands, result codes, parameter definitions, worlds, the
 * host's call record (PF_InData) with its callbacks, the effect's answer record (PF_OutData)
 * and the extra records of single commands. Layouts are ours; only the facts the effect relies
 * on are fixed: `reserved0` is the first field of a world, popups count from 1, angles and
 * points are 16.16 fixed point, and `name` holds 32 bytes. */

#include "ae_types.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Commands --------------------------------------------------------------------------- */

enum {
  PF_Cmd_ABOUT = 0,
  PF_Cmd_GLOBAL_SETUP = 1,
  PF_Cmd_RESERVED_2 = 2,
  PF_Cmd_GLOBAL_SETDOWN = 3,
  PF_Cmd_PARAMS_SETUP = 4,
  PF_Cmd_SEQUENCE_SETUP = 5,
  PF_Cmd_SEQUENCE_RESETUP = 6,
  PF_Cmd_SEQUENCE_FLATTEN = 7,
  PF_Cmd_SEQUENCE_SETDOWN = 8,
  PF_Cmd_DO_DIALOG = 9,
  PF_Cmd_FRAME_SETUP = 10,
  PF_Cmd_RENDER = 11,
  PF_Cmd_FRAME_SETDOWN = 12,
  PF_Cmd_USER_CHANGED_PARAM = 13,
  PF_Cmd_UPDATE_PARAMS_UI = 14,
  PF_Cmd_EVENT = 15,
  PF_Cmd_RESERVED_16 = 16,
  PF_Cmd_RESERVED_17 = 17,
  PF_Cmd_QUERY_DYNAMIC_FLAGS = 18,
  PF_Cmd_AUDIO_RENDER = 19,
  PF_Cmd_AUDIO_SETUP = 20,
  PF_Cmd_AUDIO_SETDOWN = 21,
  PF_Cmd_ARBITRARY_CALLBACK = 22,
  PF_Cmd_SMART_PRE_RENDER = 23,
  PF_Cmd_SMART_RENDER = 24,
  PF_Cmd_RESERVED_25 = 25,
  PF_Cmd_RESERVED_26 = 26,
  PF_Cmd_RESERVED_27 = 27,
  PF_Cmd_RESERVED_28 = 28,
  PF_Cmd_RESERVED_29 = 29,
  PF_Cmd_RESERVED_30 = 30,
  PF_Cmd_SMART_RENDER_GPU = 31,
  PF_Cmd_RESERVED_32 = 32,
  PF_Cmd_RESERVED_33 = 33,
  PF_Cmd_NUM_CMDS = 34 /* first value no host sends */
};

/* ---- Result codes ----------------------------------------------------------------------- */

enum {
  PF_Err_NONE = 0,
  PF_Err_OUT_OF_MEMORY = 4,
  PF_Err_INTERNAL_STRUCT_DAMAGED = 512,
  PF_Err_INVALID_INDEX = 513,
  PF_Err_UNRECOGNIZED_PARAM_TYPE = 514,
  PF_Err_INVALID_CALLBACK = 515,
  PF_Err_BAD_CALLBACK_PARAM = 516,
  PF_Interrupt_CANCEL = 517, /* the user stopped the operation */
  PF_Err_CANNOT_PARSE_KEYFRAME_TEXT = 518
};

/* A result code's name as written above, for messages and log lines; "unknown error" for any
 * other code. */
static inline const char* PF_Err_name(PF_Err err) {
  switch (err) {
    case PF_Err_NONE:
      return "PF_Err_NONE";
    case PF_Err_OUT_OF_MEMORY:
      return "PF_Err_OUT_OF_MEMORY";
    case PF_Err_INTERNAL_STRUCT_DAMAGED:
      return "PF_Err_INTERNAL_STRUCT_DAMAGED";
    case PF_Err_INVALID_INDEX:
      return "PF_Err_INVALID_INDEX";
    case PF_Err_UNRECOGNIZED_PARAM_TYPE:
      return "PF_Err_UNRECOGNIZED_PARAM_TYPE";
    case PF_Err_INVALID_CALLBACK:
      return "PF_Err_INVALID_CALLBACK";
    case PF_Err_BAD_CALLBACK_PARAM:
      return "PF_Err_BAD_CALLBACK_PARAM";
    case PF_Interrupt_CANCEL:
      return "PF_Interrupt_CANCEL";
    case PF_Err_CANNOT_PARSE_KEYFRAME_TEXT:
      return "PF_Err_CANNOT_PARSE_KEYFRAME_TEXT";
    default:
      return "unknown error";
  }
}

/* ---- Host applications (PF_InData::appl_id; first character most significant) ---------- */

#define PF_APPL_ID_AFTER_EFFECTS PF_FOURCC_MSB_FIRST('F', 'X', 'T', 'C') /* 0x46585443 */
#define PF_APPL_ID_PREMIERE PF_FOURCC_MSB_FIRST('P', 'r', 'M', 'r')      /* 0x50724D72 */

/* ---- Parameters ------------------------------------------------------------------------- */

enum {
  PF_Param_LAYER = 0,
  PF_Param_SLIDER = 1,
  PF_Param_ANGLE = 3,
  PF_Param_CHECKBOX = 4,
  PF_Param_COLOR = 5,
  PF_Param_POINT = 6,
  PF_Param_POPUP = 7,
  PF_Param_FLOAT_SLIDER = 10,
  PF_Param_ARBITRARY_DATA = 11,
  PF_Param_GROUP_START = 13,
  PF_Param_GROUP_END = 14,
  PF_Param_BUTTON = 15
};

enum {
  PF_ParamFlag_CANNOT_TIME_VARY = 1 << 1,
  PF_ParamFlag_COLLAPSE_TWIRLY = 1 << 5,
  PF_ParamFlag_SUPERVISE = 1 << 6
};

enum {
  PF_PUI_CONTROL = 1 << 1,
  PF_PUI_STD_CONTROL_ONLY = 1 << 2,
  PF_PUI_NO_ECW_UI = 1 << 3,
  PF_PUI_DISABLED = 1 << 5,
  PF_PUI_DONT_ERASE_CONTROL = 1 << 7,
  PF_PUI_INVISIBLE = 1 << 9
};

enum { PF_ValueDisplayFlag_PERCENT = 1 << 0, PF_ValueDisplayFlag_PIXEL = 1 << 1 };

/* Set in a parameter array entry's `uu.change_flags` after the effect changed its value. */
enum { PF_ChangeFlag_CHANGED_VALUE = 1 << 0 };

#define PF_MAX_NAME_LEN 31         /* characters of a parameter name that reach the host */
#define PF_MAX_EFFECT_MSG_LEN 2047 /* characters of PF_OutData::return_msg */

/* ---- Worlds ----------------------------------------------------------------------------- */

/* A host image. `reserved0` must stay the first field: newer After Effects hosts make it
 * non-null exactly when a layer parameter has a layer assigned. The pixel format is not a
 * field; it is asked through a suite. `host_reserved` belongs to the host alone (it survives
 * the effect's copies of a checked-out record, so the host can recognise its worlds by it). */
typedef struct PF_LayerDef {
  void* reserved0;
  void* reserved1;
  A_long world_flags;
  PF_PixelPtr data;
  A_long rowbytes;
  A_long width;
  A_long height;
  PF_LRect extent_hint;
  void* platform_ref;
  PF_RationalScale pix_aspect_ratio;
  A_long origin_x;
  A_long origin_y;
  A_long dephault; /* default layer of a layer parameter definition; 0 = none */
  A_long host_reserved[4];
} PF_LayerDef;

typedef PF_LayerDef PF_EffectWorld;

/* ---- Parameter value records ------------------------------------------------------------ */

typedef struct PF_SliderDef {
  A_long value;
  A_char value_str[32]; /* value texts, left empty by the effect */
  A_char value_desc[32];
  A_long valid_min;
  A_long valid_max;
  A_long slider_min;
  A_long slider_max;
  A_long dephault;
} PF_SliderDef;

typedef struct PF_FloatSliderDef {
  PF_FpLong value;
  PF_FpShort valid_min;
  PF_FpShort valid_max;
  PF_FpShort slider_min;
  PF_FpShort slider_max;
  PF_FpShort dephault;
  A_short precision;
  A_short display_flags; /* PF_ValueDisplayFlag_* */
  PF_FpShort curve_tolerance;
  A_long fs_flags;
} PF_FloatSliderDef;

typedef struct PF_AngleDef {
  PF_Fixed value; /* degrees, 16.16 */
  PF_Fixed dephault;
  PF_Fixed valid_min;
  PF_Fixed valid_max;
} PF_AngleDef;

typedef struct PF_CheckBoxDef {
  A_long value;
  A_long dephault;
  union {
    const A_char* nameptr;
  } u;
} PF_CheckBoxDef;

typedef struct PF_PopupDef {
  A_long value; /* 1-based */
  A_short num_choices;
  A_short dephault; /* 1-based */
  union {
    const A_char* namesptr; /* "a|b|c|" */
  } u;
} PF_PopupDef;

typedef struct PF_PointDef {
  PF_Fixed x_value; /* 16.16, pixels of the layer as currently rendered */
  PF_Fixed y_value;
  PF_Fixed x_dephault; /* 16.16, whole percent of the layer size */
  PF_Fixed y_dephault;
  PF_Boolean restrict_bounds;
  A_u_char reserved[3];
} PF_PointDef;

typedef struct PF_ColorDef {
  PF_Pixel value;
  PF_Pixel dephault;
} PF_ColorDef;

typedef struct PF_ArbitraryDef {
  A_short id;
  A_short pad;
  PF_ArbitraryH dephault;
  PF_ArbitraryH value;
  void* refconPV;
} PF_ArbitraryDef;

typedef struct PF_ButtonDef {
  A_long value;
  union {
    const A_char* namesptr; /* the button's label */
  } u;
} PF_ButtonDef;

typedef union PF_ParamDefUnion {
  PF_LayerDef ld;
  PF_SliderDef sd;
  PF_FloatSliderDef fs_d;
  PF_AngleDef ad;
  PF_CheckBoxDef bd;
  PF_ColorDef cd;
  PF_PointDef td;
  PF_PopupDef pd;
  PF_ArbitraryDef arb_d;
  PF_ButtonDef button_d;
} PF_ParamDefUnion;

/* One parameter: a definition at set-up, an entry of the command's parameter array, or a
 * record filled by checkout_param. */
typedef struct PF_ParamDef {
  union {
    A_long id;                   /* at set-up: the parameter's stable host id */
    PF_ChangeFlags change_flags; /* in an array entry: PF_ChangeFlag_* */
  } uu;
  PF_ParamUIFlags ui_flags;
  A_short ui_width;
  A_short ui_height;
  PF_ParamType param_type;
  A_char name[PF_MAX_NAME_LEN + 1];
  PF_ParamFlags flags;
  PF_ParamDefUnion u;
} PF_ParamDef;

typedef PF_ParamDef* PF_ParamDefPtr;
typedef PF_ParamDef** PF_ParamList;

/* ---- Custom controls -------------------------------------------------------------------- */

enum { PF_CustomEFlag_EFFECT = 1 << 2 };

typedef struct PF_CustomUIInfo {
  A_long events; /* PF_CustomEFlag_* */
  A_long comp_ui_width;
  A_long comp_ui_height;
  A_long layer_ui_width;
  A_long layer_ui_height;
  A_long preview_ui_width;
  A_long preview_ui_height;
} PF_CustomUIInfo;

/* ---- Host callbacks --------------------------------------------------------------------- */

/* Pass as the iteration count of iterate_generic to get one call per host render thread. */
enum { PF_Iterations_ONCE_PER_PROCESSOR = -1 };

typedef PF_Err (*PF_IterateGenericFunc)(void* refconPV, A_long thread_indexL, A_long i,
                                        A_long iterationsL);

/* Calls the effect makes on the host. Every one takes the effect reference first. */
typedef struct PF_InteractCallbacks {
  PF_Err (*checkout_param)(PF_ProgPtr effect_ref, PF_ParamIndex index, A_long what_time,
                           A_long time_step, A_u_long time_scale, PF_ParamDef* param);
  PF_Err (*checkin_param)(PF_ProgPtr effect_ref, PF_ParamDef* param);
  PF_Err (*add_param)(PF_ProgPtr effect_ref, PF_ParamIndex index, PF_ParamDefPtr def);
  PF_Err (*abort)(PF_ProgPtr effect_ref); /* non-zero: stop */
  PF_Err (*progress)(PF_ProgPtr effect_ref, A_long current, A_long total);
  PF_Err (*register_ui)(PF_ProgPtr effect_ref, PF_CustomUIInfo* cust_info); /* may be null */
} PF_InteractCallbacks;

typedef struct PF_ANSICallbacks {
  /* The host formats into `buffer` (PF_OutData::return_msg holds PF_MAX_EFFECT_MSG_LEN
   * characters) and returns the number of characters written. */
  A_long (*sprintf)(A_char* buffer, const A_char* format, ...);
  A_long (*strcpy)(A_char* dest, const A_char* src);
} PF_ANSICallbacks;

typedef struct PF_UtilCallbacks {
  PF_Handle (*host_new_handle)(A_u_longlong size); /* null when out of memory */
  void* (*host_lock_handle)(PF_Handle handle);     /* null on failure */
  void (*host_unlock_handle)(PF_Handle handle);
  void (*host_dispose_handle)(PF_Handle handle);
  A_u_longlong (*host_get_handle_size)(PF_Handle handle);
  PF_Err (*iterate_generic)(A_long iterationsL, void* refconPV, PF_IterateGenericFunc fn_func);
  PF_ANSICallbacks ansi;
} PF_UtilCallbacks;

/* ---- The host's call record ------------------------------------------------------------- */

struct SPBasicSuite;

typedef struct PF_SpecVersion {
  A_short major;
  A_short minor;
} PF_SpecVersion;

typedef struct PF_InData {
  PF_InteractCallbacks inter;
  PF_UtilCallbacks* utils; /* may be null */
  PF_ProgPtr effect_ref;
  A_long quality;
  PF_SpecVersion version; /* the effect interface version the host speaks */
  A_long serial_num;
  A_long appl_id; /* PF_APPL_ID_* */
  A_long num_params;
  A_long current_time;
  A_long time_step;
  A_long total_time;
  A_long local_time_step;
  A_u_long time_scale;
  PF_Field field;
  PF_Fixed shutter_angle;
  A_long width; /* full-resolution size of the effect's layer */
  A_long height;
  PF_LRect extent_hint;
  A_long output_origin_x;
  A_long output_origin_y;
  PF_RationalScale downsample_x;
  PF_RationalScale downsample_y;
  PF_RationalScale pixel_aspect_ratio;
  PF_InFlags in_flags;
  PF_Handle global_data;
  PF_Handle sequence_data;
  PF_Handle frame_data;
  struct SPBasicSuite* pica_basicP; /* the suite broker */
  A_long pre_effect_source_origin_x;
  A_long pre_effect_source_origin_y;
  PF_Fixed shutter_phase;
} PF_InData;

/* ---- The effect's answer record --------------------------------------------------------- */

enum {
  PF_OutFlag_NON_PARAM_VARY = 1 << 2,
  PF_OutFlag_CUSTOM_UI = 1 << 15,
  PF_OutFlag_REDRAW_REQUEST = 1 << 17, /* asks older Premiere Pro hosts for a redraw */
  PF_OutFlag_DEEP_COLOR_AWARE = 1 << 25,
  PF_OutFlag_SEND_UPDATE_PARAMS_UI = 1 << 26
};

enum {
  PF_OutFlag2_SUPPORTS_QUERY_DYNAMIC_FLAGS = 1 << 0,
  PF_OutFlag2_PARAM_GROUP_START_COLLAPSED_FLAG = 1 << 3,
  PF_OutFlag2_REVEALS_ZERO_ALPHA = 1 << 7,
  PF_OutFlag2_SUPPORTS_SMART_RENDER = 1 << 10,
  PF_OutFlag2_FLOAT_COLOR_AWARE = 1 << 12,
  PF_OutFlag2_CUSTOM_UI_ASYNC_MANAGER = 1 << 24,
  PF_OutFlag2_SUPPORTS_THREADED_RENDERING = 1 << 27
};

typedef struct PF_OutData {
  A_u_long my_version;
  A_char name[PF_MAX_NAME_LEN + 1];
  PF_Handle global_data;
  A_long num_params;
  PF_Handle sequence_data;
  A_long flat_sdata_size;
  PF_Handle frame_data;
  A_long width;
  A_long height;
  PF_Point origin;
  PF_OutFlags out_flags;
  A_char return_msg[PF_MAX_EFFECT_MSG_LEN + 1];
  PF_OutFlags2 out_flags2;
} PF_OutData;

/* ---- Extra records of single commands --------------------------------------------------- */

/* PF_Cmd_USER_CHANGED_PARAM */
typedef struct PF_UserChangedParamExtra {
  PF_ParamIndex param_index;
} PF_UserChangedParamExtra;

/* PF_Cmd_EVENT: custom-control events. */
enum {
  PF_Event_NEW_CONTEXT = 0,
  PF_Event_ACTIVATE = 1,
  PF_Event_DO_CLICK = 2,
  PF_Event_DRAG = 3,
  PF_Event_DRAW = 4,
  PF_Event_DEACTIVATE = 5,
  PF_Event_CLOSE_CONTEXT = 6,
  PF_Event_IDLE = 7,
  PF_Event_KEYDOWN = 8,
  PF_Event_ADJUST_CURSOR = 9
};

enum { PF_Window_EFFECT = 2 };
enum { PF_EA_CONTROL = 2 };
enum { PF_EO_HANDLED_EVENT = 1 << 0, PF_EO_UPDATE_NOW = 1 << 3 };

typedef struct PF_ContextRecord {
  A_long magic;
  A_long w_type; /* PF_Window_* */
  A_long reserved_flt;
  void* reserved_wind;
  void* reserved_drawref;
  /* The effect's own state for this context: set by the effect at the new-context event, kept
   * by the host untouched and cleared by the effect at the close-context event. */
  PF_Handle effect_stateH;
} PF_ContextRecord;

typedef PF_ContextRecord* PF_ContextH;

typedef struct PF_EffectArea {
  A_long area; /* PF_EA_* */
  PF_ParamIndex index;
  void* refconPV; /* the reference value the control was registered with */
} PF_EffectArea;

typedef struct PF_DoClickEventInfo {
  A_u_long when;
  PF_Point screen_point;
  A_long num_clicks;
  A_long modifiers;
  A_long continue_refcon[4]; /* kept by the host between a click and its drags */
  PF_Boolean send_drag;
  PF_Boolean last_time;
} PF_DoClickEventInfo;

typedef struct PF_DrawEventInfo {
  PF_LRect update_rect;
  A_long depth;
} PF_DrawEventInfo;

typedef struct PF_AdjustCursorEventInfo {
  PF_Point screen_point;
  A_long modifiers;
  A_long set_cursor; /* out */
} PF_AdjustCursorEventInfo;

typedef union PF_EventUnion {
  PF_DoClickEventInfo do_click;
  PF_DrawEventInfo draw;
  PF_AdjustCursorEventInfo adjust_cursor;
} PF_EventUnion;

typedef struct PF_EventExtra {
  PF_ContextH contextH;
  A_long e_type; /* PF_Event_* */
  PF_EventUnion u;
  PF_EffectArea effect_win;
  PF_Point draw_origin; /* the control's top left corner; pointer positions share its frame */
  A_long evt_out_flags; /* PF_EO_* */
} PF_EventExtra;

/* PF_Cmd_ARBITRARY_CALLBACK: the host's requests about arbitrary parameter data. */
enum {
  PF_Arbitrary_NEW_FUNC = 0,
  PF_Arbitrary_DISPOSE_FUNC = 1,
  PF_Arbitrary_COPY_FUNC = 2,
  PF_Arbitrary_FLAT_SIZE_FUNC = 3,
  PF_Arbitrary_FLATTEN_FUNC = 4,
  PF_Arbitrary_UNFLATTEN_FUNC = 5,
  PF_Arbitrary_INTERP_FUNC = 6,
  PF_Arbitrary_COMPARE_FUNC = 7,
  PF_Arbitrary_PRINT_SIZE_FUNC = 8,
  PF_Arbitrary_PRINT_FUNC = 9,
  PF_Arbitrary_SCAN_FUNC = 10
};

enum { PF_ArbCompare_EQUAL = 0, PF_ArbCompare_NOT_EQUAL = 3 };

typedef struct PF_ArbParamsExtra {
  A_long which_function; /* PF_Arbitrary_* */
  A_short id;
  A_short padding;
  union {
    struct {
      void* refconPV;
      PF_ArbitraryH* arbPH;
    } new_func_params;
    struct {
      void* refconPV;
      PF_ArbitraryH arbH;
    } dispose_func_params;
    struct {
      void* refconPV;
      PF_ArbitraryH src_arbH;
      PF_ArbitraryH* dst_arbPH;
    } copy_func_params;
    struct {
      void* refconPV;
      PF_ArbitraryH arbH;
      A_u_long* flat_data_sizePLu;
    } flat_size_func_params;
    struct {
      void* refconPV;
      PF_ArbitraryH arbH;
      A_u_long buf_sizeLu;
      void* flat_dataPV;
    } flatten_func_params;
    struct {
      void* refconPV;
      A_u_long buf_sizeLu;
      const void* flat_dataPV;
      PF_ArbitraryH* arbPH;
    } unflatten_func_params;
    struct {
      void* refconPV;
      PF_ArbitraryH left_arbH;
      PF_ArbitraryH right_arbH;
      PF_FpLong tF;
      PF_ArbitraryH* interpPH;
    } interp_func_params;
    struct {
      void* refconPV;
      PF_ArbitraryH a_arbH;
      PF_ArbitraryH b_arbH;
      A_long* compareP; /* PF_ArbCompare_* */
    } compare_func_params;
    struct {
      void* refconPV;
      A_long print_flags;
      PF_ArbitraryH arbH;
      A_u_long print_sizeLu; /* the print-size request answers here */
      A_char* print_bufferPC;
    } print_func_params;
    struct {
      void* refconPV;
      const A_char* bufPC;
      A_u_long bytes_to_scanLu;
      PF_ArbitraryH* arbPH;
    } scan_func_params;
  } u;
} PF_ArbParamsExtra;

/* ---- The effect's entry point ----------------------------------------------------------- */

typedef PF_Err (*PF_EntryPointFunc)(PF_Cmd cmd, PF_InData* in_data, PF_OutData* out_data,
                                    PF_ParamDef* params[], PF_LayerDef* output, void* extra);

#ifdef __cplusplus
}
#endif

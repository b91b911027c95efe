#pragma once

/* Basic scalar types, four-character codes and small records of the host plug-in interface.
 * Every other host header builds on these. C-compatible: the effect is C++, but the interface
 * is a C one, and a host (or our simulated host) may be written in either language. */

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef int8_t A_char_s;
typedef char A_char;
typedef uint8_t A_u_char;
typedef int16_t A_short;
typedef uint16_t A_u_short;
typedef int32_t A_long;
typedef uint32_t A_u_long;
typedef int64_t A_longlong;
typedef uint64_t A_u_longlong;
typedef float A_FpShort;
typedef double A_FpLong;
typedef uint8_t A_Boolean;

typedef A_long PF_Err;   /* effect-interface result; 0 = no error */
typedef A_long A_Err;    /* result of the AEGP suites; 0 = no error */
typedef A_long SPErr;    /* result of the suite broker; 0 = no error */
typedef A_long PF_Cmd;   /* command selector of the entry point */
typedef A_long PF_Fixed; /* signed 16.16 fixed point */
typedef A_u_char PF_Boolean;
typedef A_FpShort PF_FpShort;
typedef A_FpLong PF_FpLong;
typedef A_long PF_ParamIndex;
typedef A_long PF_ParamType;
typedef A_long PF_ParamFlags;
typedef A_long PF_ParamUIFlags;
typedef A_long PF_ChangeFlags;
typedef A_long PF_OutFlags;
typedef A_long PF_OutFlags2;
typedef A_long PF_InFlags;
typedef A_long PF_Field;
typedef A_long PF_ChannelMask;
typedef A_long PF_PixelFormat; /* After Effects world formats; see ae_suites.h */
typedef A_long AEGP_PluginID;

/* Opaque references the host hands out and takes back. */
typedef struct PF_ProgressInfo* PF_ProgPtr; /* the effect reference */
typedef void** PF_Handle;                   /* a host memory handle */
typedef PF_Handle PF_ArbitraryH;
typedef void* PF_PixelPtr;

/* Four-character codes come in two byte orders in this interface, and mixing them up swaps
 * formats silently (the value of 'argb' read one way is 'bgra' read the other way):
 * - application ids, suite-broker errors and channel codes put the first character in the
 *   most significant byte;
 * - pixel-format codes are the four bytes in memory, lowest address first, so the first
 *   character is the least significant byte. */
#define PF_FOURCC_MSB_FIRST(a, b, c, d)                                         \
  ((A_long)(((A_u_long)(A_u_char)(a) << 24) | ((A_u_long)(A_u_char)(b) << 16) | \
            ((A_u_long)(A_u_char)(c) << 8) | (A_u_long)(A_u_char)(d)))
#define PF_FOURCC_LSB_FIRST(a, b, c, d)                                         \
  ((A_long)(((A_u_long)(A_u_char)(d) << 24) | ((A_u_long)(A_u_char)(c) << 16) | \
            ((A_u_long)(A_u_char)(b) << 8) | (A_u_long)(A_u_char)(a)))

/* A ratio; hosts never give a zero denominator for downsampling, worlds may for the aspect. */
typedef struct PF_RationalScale {
  A_long num;
  A_u_long den;
} PF_RationalScale;

/* Host rectangle: note the edge order left, top, right, bottom. */
typedef struct PF_LRect {
  A_long left;
  A_long top;
  A_long right;
  A_long bottom;
} PF_LRect;

typedef struct PF_Point {
  A_long h;
  A_long v;
} PF_Point;

/* 8-bit colour as colour parameters carry it. */
typedef struct PF_Pixel {
  A_u_char alpha;
  A_u_char red;
  A_u_char green;
  A_u_char blue;
} PF_Pixel;

typedef struct PF_Pixel16 {
  A_u_short alpha;
  A_u_short red;
  A_u_short green;
  A_u_short blue;
} PF_Pixel16;

typedef struct PF_PixelFloat {
  PF_FpShort alpha;
  PF_FpShort red;
  PF_FpShort green;
  PF_FpShort blue;
} PF_PixelFloat;

typedef struct PF_App_Color {
  A_u_short red;
  A_u_short green;
  A_u_short blue;
} PF_App_Color;

#ifdef __cplusplus
}
#endif

#pragma once

/* Premiere Pro's additions to the effect interface: its pixel formats, the suites that choose
 * and report them, its application-info suite and its suite result codes. */

#include "ae_suites.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef A_long PrPixelFormat;
typedef A_long prSuiteError;

/* ---- Pixel formats: the bytes in memory, lowest first, spell the code ------------------- */

#define PrPixelFormat_BGRA_4444_32f PF_FOURCC_LSB_FIRST('B', 'G', 'r', 'a') /* 0x61724742 */
#define PrPixelFormat_BGRA_4444_16u PF_FOURCC_LSB_FIRST('B', 'g', 'r', 'a') /* 0x61726742 */
#define PrPixelFormat_BGRA_4444_8u PF_FOURCC_LSB_FIRST('b', 'g', 'r', 'a')  /* 0x61726762 */
#define PrPixelFormat_ARGB_4444_8u PF_FOURCC_LSB_FIRST('a', 'r', 'g', 'b')  /* 0x62677261 */

/* ---- "PF Pixel Format Suite" 1 ---------------------------------------------------------- */

#define kPFPixelFormatSuite "PF Pixel Format Suite"
#define kPFPixelFormatSuiteVersion1 1

typedef struct PF_PixelFormatSuite1 {
  /* position 0 */
  PF_Err (*AddSupportedPixelFormat)(PF_ProgPtr effect_ref, PrPixelFormat pixel_format);
  /* position 1 */
  PF_Err (*ClearSupportedPixelFormats)(PF_ProgPtr effect_ref);
  PF_Err (*NewWorldOfPixelFormat)(PF_ProgPtr effect_ref, A_u_long width, A_u_long height,
                                  A_long flags, PrPixelFormat pixel_format, PF_EffectWorld* world);
  PF_Err (*DisposeWorld)(PF_ProgPtr effect_ref, PF_EffectWorld* world);
  /* position 4 */
  PF_Err (*GetPixelFormat)(const PF_EffectWorld* world, PrPixelFormat* pixel_format);
} PF_PixelFormatSuite1;

/* ---- "PF Utility Suite" 4 --------------------------------------------------------------- */

#define kPFUtilitySuite "PF Utility Suite"
#define kPFUtilitySuiteVersion4 4

typedef struct PF_UtilitySuite4 {
  PF_ReservedSuiteFunc reserved[12];
  /* position 12: checked-out frames come in the pixel format of the render */
  PF_Err (*EffectWantsCheckedOutFramesToMatchRenderPixelFormat)(PF_ProgPtr effect_ref);
} PF_UtilitySuite4;

/* ---- "MediaCore App Info Suite" 2 ------------------------------------------------------- */

#define kPrSDKAppInfoSuite "MediaCore App Info Suite"
#define kPrSDKAppInfoSuiteVersion2 2

enum { PrAppInfo_Version = 1 };

/* The answer to PrAppInfo_Version. */
typedef struct PrAppVersion {
  A_u_long major;
  A_u_long minor;
  A_u_long patch;
} PrAppVersion;

typedef struct PrSDKAppInfoSuite2 {
  /* position 0 */
  prSuiteError (*GetAppInfo)(A_long selector, void* info);
} PrSDKAppInfoSuite2;

/* ---- Suite result codes ----------------------------------------------------------------- */

#define suiteError_NoError ((prSuiteError)0x00000000)
#define malUnknownError ((prSuiteError)99)
#define malSupports7 ((prSuiteError)100)
#define malSupports8 ((prSuiteError)101)

#define suiteError_Fail ((prSuiteError)0x80000000)
#define suiteError_InvalidParms ((prSuiteError)0x80000001)
#define suiteError_OutOfMemory ((prSuiteError)0x80000002)
#define suiteError_InvalidCall ((prSuiteError)0x80000003)
#define suiteError_NotImplemented ((prSuiteError)0x80000004)
#define suiteError_IDNotValid ((prSuiteError)0x80000005)

/* The remaining codes are grouped by the service that reports them, one block of 0x100
 * values per service. */
#define suiteError_RenderPending ((prSuiteError)0x80000100)
#define suiteError_RenderedFrameNotFound ((prSuiteError)0x80000101)
#define suiteError_RenderedFrameCanceled ((prSuiteError)0x80000102)
#define suiteError_RenderInvalidPixelFormat ((prSuiteError)0x80000103)
#define suiteError_RenderCompletionProcNotSet ((prSuiteError)0x80000104)

#define suiteError_TimeRoundedAudioRate ((prSuiteError)0x80000200)

#define suiteError_CompilerCompileAbort ((prSuiteError)0x80000300)
#define suiteError_CompilerCompileDone ((prSuiteError)0x80000301)
#define suiteError_CompilerOutputFormatAccept ((prSuiteError)0x80000302)
#define suiteError_CompilerOutputFormatDecline ((prSuiteError)0x80000303)
#define suiteError_CompilerRebuildCutList ((prSuiteError)0x80000304)
#define suiteError_CompilerIterateCompiler ((prSuiteError)0x80000305)
#define suiteError_CompilerIterateCompilerDone ((prSuiteError)0x80000306)
#define suiteError_CompilerInternalErrorSilent ((prSuiteError)0x80000307)
#define suiteError_CompilerIterateCompilerCacheable ((prSuiteError)0x80000308)
#define suiteError_CompilerBadFormatIndex ((prSuiteError)0x80000309)
#define suiteError_CompilerInternalError ((prSuiteError)0x8000030A)
#define suiteError_CompilerOutOfDiskSpace ((prSuiteError)0x8000030B)
#define suiteError_CompilerBufferFull ((prSuiteError)0x8000030C)
#define suiteError_CompilerErrOther ((prSuiteError)0x8000030D)
#define suiteError_CompilerErrMemory ((prSuiteError)0x8000030E)
#define suiteError_CompilerErrFileNotFound ((prSuiteError)0x8000030F)
#define suiteError_CompilerErrTooManyOpenFiles ((prSuiteError)0x80000310)
#define suiteError_CompilerErrPermErr ((prSuiteError)0x80000311)
#define suiteError_CompilerErrOpenErr ((prSuiteError)0x80000312)
#define suiteError_CompilerErrInvalidDrive ((prSuiteError)0x80000313)
#define suiteError_CompilerErrDupFile ((prSuiteError)0x80000314)
#define suiteError_CompilerErrIo ((prSuiteError)0x80000315)
#define suiteError_CompilerErrInUse ((prSuiteError)0x80000316)
#define suiteError_CompilerErrCodecBadInput ((prSuiteError)0x80000317)

#define suiteError_ExporterSuspended ((prSuiteError)0x80000400)
#define suiteError_ExporterNoMoreFrames ((prSuiteError)0x80000401)

#define suiteError_FileBufferTooSmall ((prSuiteError)0x80000500)
#define suiteError_FileNotImportableFileType ((prSuiteError)0x80000501)

#define suiteError_LegacyInvalidVideoRate ((prSuiteError)0x80000600)

#define suiteError_PlayModuleAudioInitFailure ((prSuiteError)0x80000700)
#define suiteError_PlayModuleAudioIllegalPlaySetting ((prSuiteError)0x80000701)
#define suiteError_PlayModuleAudioNotInitialized ((prSuiteError)0x80000702)
#define suiteError_PlayModuleAudioNotStarted ((prSuiteError)0x80000703)
#define suiteError_PlayModuleAudioIllegalAction ((prSuiteError)0x80000704)
#define suiteError_PlayModuleDeviceControlSuiteIllegalCallSequence ((prSuiteError)0x80000800)

#define suiteError_MediaAcceleratorSuitePathNotFound ((prSuiteError)0x80000900)
#define suiteError_MediaAcceleratorSuiteRegisterFailure ((prSuiteError)0x80000901)

#define suiteError_RepositoryReadFailed ((prSuiteError)0x80000A00)
#define suiteError_RepositoryWriteFailed ((prSuiteError)0x80000A01)

#define suiteError_NotActivated ((prSuiteError)0x80000B00)
#define suiteError_DataNotPresent ((prSuiteError)0x80000C00)
#define suiteError_ServerCommunicationFailed ((prSuiteError)0x80000D00)
#define suiteError_Internal ((prSuiteError)0x80000E00)
#define suiteError_StringNotFound ((prSuiteError)0x80000F00)
#define suiteError_StringBufferTooSmall ((prSuiteError)0x80000F01)
#define suiteError_NoKeyframeAfterInTime ((prSuiteError)0x80001000)
#define suiteError_NoMoreData ((prSuiteError)0x80001100)
#define suiteError_InstanceDestroyed ((prSuiteError)0x80001200)

#ifdef __cplusplus
}
#endif

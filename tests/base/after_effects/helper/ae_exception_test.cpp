#include "base/after_effects/helper/ae_exception.h"

#include <gtest/gtest.h>

#include <set>

#include "base/log.h"
#include "host_api.h"

namespace {

// The newest log message, or "" when the log holds none beyond `before`.
std::string newest_message_since(size_t before) {
  const auto messages = brel::global_log().recent_messages();
  if (messages.size() <= before && messages.size() < brel::Log::default_message_limit) {
    return "";
  }
  return messages.back();
}

TEST(HostExceptions, AfterEffectsErrorWritesItsWarningLineAndKeepsTheCode) {
  const size_t before = brel::global_log().recent_messages().size();
  const brel::Exception_After_Effects e("After Effects api Error (PF_Err)", 4,
                                        "base/after_effects/helper/ae_helper", 275);
  EXPECT_EQ(e.code(), 4);
  EXPECT_STREQ(e.what(), "After Effects api Error (PF_Err)");
  EXPECT_EQ(newest_message_since(before),
            "-**### WARNING ###**-: After Effects Error: PF_Err_OUT_OF_MEMORY (4). Thrown in file "
            "base/after_effects/helper/ae_helper line 275. After Effects api Error (PF_Err)\n");
}

TEST(HostExceptions, CancelIsNotLogged) {
  const brel::Exception_After_Effects first("marker", 513, "f", 1);
  const size_t before = brel::global_log().recent_messages().size();
  const brel::Exception_After_Effects e("PF_CHECKOUT_PARAM() failed", 517, "f", 77);
  EXPECT_EQ(e.code(), 517);
  EXPECT_EQ(brel::global_log().recent_messages().size(), before);
  EXPECT_NE(brel::global_log().recent_messages().back().find("marker"), std::string::npos);
}

TEST(HostExceptions, SuiteAndPremiereErrorsUseTheirOwnTables) {
  size_t before = brel::global_log().recent_messages().size();
  const brel::Exception_Ae_Suite suite("Can't AcquireSuite (PF Handle Suite, 2)",
                                       kSPSuiteNotFoundError, "base/after_effects/helper/ae_suite",
                                       24);
  EXPECT_EQ(suite.code(), 1394689636);
  EXPECT_EQ(newest_message_since(before),
            "-**### WARNING ###**-: After Effects Suite Error: kSPSuiteNotFoundError "
            "(1394689636). Thrown in file base/after_effects/helper/ae_suite line 24. Can't "
            "AcquireSuite (PF Handle Suite, 2)\n");

  before = brel::global_log().recent_messages().size();
  const brel::Exception_Premiere premiere("Premiere Api Error (prSuiteError)", suiteError_Fail,
                                          "base/after_effects/helper/ae_helper", 168);
  EXPECT_EQ(premiere.code(), INT32_MIN);
  EXPECT_EQ(newest_message_since(before),
            "-**### WARNING ###**-: Premiere Error with code: suiteError_Fail (-2147483648). "
            "Thrown in file base/after_effects/helper/ae_helper line 168. Premiere Api Error "
            "(prSuiteError)\n");

  // A code the table lacks still writes the line, with an empty name.
  before = brel::global_log().recent_messages().size();
  const brel::Exception_Premiere unnamed("Premiere Api Error (prSuiteError)", 7, "f", 9);
  EXPECT_EQ(newest_message_since(before),
            "-**### WARNING ###**-: Premiere Error with code:  (7). Thrown in file f line 9. "
            "Premiere Api Error (prSuiteError)\n");
}

TEST(HostExceptions, AllAreRuntimeExceptions) {
  try {
    throw brel::Exception_Ae_Suite("m", 0, "f", 1);
  } catch (const brel::Exception_Runtime& e) {
    EXPECT_STREQ(e.what(), "m");
  }
}

TEST(HostErrorNames, EffectInterfaceCodes) {
  EXPECT_EQ(brel::pf_err_name(0), "PF_Err_NONE");
  EXPECT_EQ(brel::pf_err_name(4), "PF_Err_OUT_OF_MEMORY");
  EXPECT_EQ(brel::pf_err_name(512), "PF_Err_INTERNAL_STRUCT_DAMAGED");
  EXPECT_EQ(brel::pf_err_name(513), "PF_Err_INVALID_INDEX");
  EXPECT_EQ(brel::pf_err_name(514), "PF_Err_UNRECOGNIZED_PARAM_TYPE");
  EXPECT_EQ(brel::pf_err_name(515), "PF_Err_INVALID_CALLBACK");
  EXPECT_EQ(brel::pf_err_name(516), "PF_Err_BAD_CALLBACK_PARAM");
  EXPECT_EQ(brel::pf_err_name(517), "PF_Interrupt_CANCEL");
  EXPECT_EQ(brel::pf_err_name(518), "PF_Err_CANNOT_PARSE_KEYFRAME_TEXT");
  EXPECT_EQ(brel::pf_err_name(519), "unknown error");
  EXPECT_EQ(brel::pf_err_name(-1), "unknown error");
  EXPECT_EQ(brel::pf_err_name(1), "unknown error");
}

TEST(HostErrorNames, SuiteBrokerCodesReadFirstCharacterHighest) {
  EXPECT_EQ(brel::sp_err_name(0), "kSPNoError");
  EXPECT_EQ(brel::sp_err_name(static_cast<int32_t>(0xFFFFFF6C)), "kSPOutOfMemoryError");
  EXPECT_EQ(brel::sp_err_name(0x53214664), "kSPSuiteNotFoundError");  // 'S!Fd'
  EXPECT_EQ(brel::sp_err_name(0x73746F70), "kSPUserCanceledError");   // 'stop'
  EXPECT_EQ(brel::sp_err_name(0x66626172), "fbar - general programming error");
  EXPECT_EQ(brel::sp_err_name(0x50694830), "kSPBadPluginHost");                 // 'PiH0'
  EXPECT_EQ(brel::sp_err_name(0x42507249), "kSPBadPropertyListIteratorError");  // 'BPrI'
  // The same characters read the other way round name nothing.
  EXPECT_EQ(brel::sp_err_name(0x64462153), "unknown error");
  EXPECT_EQ(brel::sp_err_name(517), "unknown error");
}

TEST(HostErrorNames, PremiereCodes) {
  EXPECT_EQ(brel::premiere_suite_err_name(0), "suiteError_NoError");
  EXPECT_EQ(brel::premiere_suite_err_name(static_cast<int32_t>(0x80000000)), "suiteError_Fail");
  EXPECT_EQ(brel::premiere_suite_err_name(static_cast<int32_t>(0x80000001)),
            "suiteError_InvalidParms");
  EXPECT_EQ(brel::premiere_suite_err_name(static_cast<int32_t>(0x80000002)),
            "suiteError_OutOfMemory");
  EXPECT_EQ(brel::premiere_suite_err_name(static_cast<int32_t>(0x80000003)),
            "suiteError_InvalidCall");
  EXPECT_EQ(brel::premiere_suite_err_name(static_cast<int32_t>(0x80000004)),
            "suiteError_NotImplemented");
  EXPECT_EQ(brel::premiere_suite_err_name(static_cast<int32_t>(0x80000005)),
            "suiteError_IDNotValid");
  EXPECT_EQ(brel::premiere_suite_err_name(99), "malUnknownError");
  EXPECT_EQ(brel::premiere_suite_err_name(100), "malSupports7");
  EXPECT_EQ(brel::premiere_suite_err_name(101), "malSupports8");
  EXPECT_EQ(brel::premiere_suite_err_name(suiteError_InstanceDestroyed),
            "suiteError_InstanceDestroyed");
  EXPECT_EQ(brel::premiere_suite_err_name(7), "");
  EXPECT_EQ(brel::premiere_suite_err_name(-1), "");
}

// The table holds 64 codes with 64 different names: every code names itself and nothing else.
TEST(HostErrorNames, PremiereTableHas64DistinctCodes) {
  const int32_t codes[] = {
      malUnknownError,
      malSupports7,
      malSupports8,
      suiteError_NoError,
      suiteError_Fail,
      suiteError_InvalidParms,
      suiteError_OutOfMemory,
      suiteError_InvalidCall,
      suiteError_NotImplemented,
      suiteError_IDNotValid,
      suiteError_RenderPending,
      suiteError_RenderedFrameNotFound,
      suiteError_RenderedFrameCanceled,
      suiteError_RenderInvalidPixelFormat,
      suiteError_RenderCompletionProcNotSet,
      suiteError_TimeRoundedAudioRate,
      suiteError_CompilerCompileAbort,
      suiteError_CompilerCompileDone,
      suiteError_CompilerOutputFormatAccept,
      suiteError_CompilerOutputFormatDecline,
      suiteError_CompilerRebuildCutList,
      suiteError_CompilerIterateCompiler,
      suiteError_CompilerIterateCompilerDone,
      suiteError_CompilerInternalErrorSilent,
      suiteError_CompilerIterateCompilerCacheable,
      suiteError_CompilerBadFormatIndex,
      suiteError_CompilerInternalError,
      suiteError_CompilerOutOfDiskSpace,
      suiteError_CompilerBufferFull,
      suiteError_CompilerErrOther,
      suiteError_CompilerErrMemory,
      suiteError_CompilerErrFileNotFound,
      suiteError_CompilerErrTooManyOpenFiles,
      suiteError_CompilerErrPermErr,
      suiteError_CompilerErrOpenErr,
      suiteError_CompilerErrInvalidDrive,
      suiteError_CompilerErrDupFile,
      suiteError_CompilerErrIo,
      suiteError_CompilerErrInUse,
      suiteError_CompilerErrCodecBadInput,
      suiteError_ExporterSuspended,
      suiteError_ExporterNoMoreFrames,
      suiteError_FileBufferTooSmall,
      suiteError_FileNotImportableFileType,
      suiteError_LegacyInvalidVideoRate,
      suiteError_PlayModuleAudioInitFailure,
      suiteError_PlayModuleAudioIllegalPlaySetting,
      suiteError_PlayModuleAudioNotInitialized,
      suiteError_PlayModuleAudioNotStarted,
      suiteError_PlayModuleAudioIllegalAction,
      suiteError_PlayModuleDeviceControlSuiteIllegalCallSequence,
      suiteError_MediaAcceleratorSuitePathNotFound,
      suiteError_MediaAcceleratorSuiteRegisterFailure,
      suiteError_RepositoryReadFailed,
      suiteError_RepositoryWriteFailed,
      suiteError_NotActivated,
      suiteError_DataNotPresent,
      suiteError_ServerCommunicationFailed,
      suiteError_Internal,
      suiteError_StringNotFound,
      suiteError_StringBufferTooSmall,
      suiteError_NoKeyframeAfterInTime,
      suiteError_NoMoreData,
      suiteError_InstanceDestroyed,
  };
  std::set<int32_t> distinct_codes;
  std::set<std::string> distinct_names;
  for (const int32_t code : codes) {
    distinct_codes.insert(code);
    const std::string name = brel::premiere_suite_err_name(code);
    EXPECT_FALSE(name.empty()) << code;
    distinct_names.insert(name);
  }
  EXPECT_EQ(distinct_codes.size(), 64u);
  EXPECT_EQ(distinct_names.size(), 64u);
}

}  // namespace

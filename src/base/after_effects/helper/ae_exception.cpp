#include "base/after_effects/helper/ae_exception.h"

#include <algorithm>
#include <array>
#include <string_view>
#include <utility>

#include "base/log.h"
#include "host_api.h"

namespace brel {

namespace {

using Name_Entry = std::pair<int32_t, std::string_view>;

template <size_t N>
std::string_view find_name(const std::array<Name_Entry, N>& table, int32_t code,
                           std::string_view missing) {
  const auto it = std::find_if(table.begin(), table.end(),
                               [code](const Name_Entry& entry) { return entry.first == code; });
  return it != table.end() ? it->second : missing;
}

void write_host_warning(std::string_view kind, const std::string& name, int32_t code,
                        const std::string& file, int32_t line, const std::string& message) {
  std::string text = "-**### WARNING ###**-: ";
  text += kind;
  text += name + " (" + std::to_string(code) + "). Thrown in file " + file + " line " +
          std::to_string(line) + ". " + message + "\n";
  global_log().write(text, Log::warning);
}

constexpr std::array<Name_Entry, 34> sp_err_names{{
    {kSPNoError, "kSPNoError"},
    {kSPOutOfMemoryError, "kSPOutOfMemoryError"},
    {kSPUserCanceledError, "kSPUserCanceledError"},
    {kSPOperationInterrupted, "kSPOperationInterrupted"},
    {kSPLogicError, "fbar - general programming error"},
    {kSPBadParameterError, "kSPBadParameterError"},
    {kSPSuiteNotFoundError, "kSPSuiteNotFoundError"},
    {kSPSuiteAlreadyExistsError, "kSPSuiteAlreadyExistsError"},
    {kSPSuiteAlreadyReleasedError, "kSPSuiteAlreadyReleasedError"},
    {kSPBadSuiteListIteratorError, "kSPBadSuiteListIteratorError"},
    {kSPBadSuiteInternalVersionError, "kSPBadSuiteInternalVersionError"},
    {kSPCantAcquirePluginError, "kSPCantAcquirePluginError"},
    {kSPCantReleasePluginError, "kSPCantReleasePluginError"},
    {kSPPluginAlreadyReleasedError, "kSPPluginAlreadyReleasedError"},
    {kSPAdapterAlreadyExistsError, "kSPAdapterAlreadyExistsError"},
    {kSPBadAdapterListIteratorError, "kSPBadAdapterListIteratorError"},
    {kSPUnknownAdapterError, "kSPUnknownAdapterError"},
    {kSPUnimplementedError, "kSPUnimplementedError"},
    {kSPCantChangeBlockDebugNowError, "kSPCantChangeBlockDebugNowError"},
    {kSPBlockDebugNotEnabledError, "kSPBlockDebugNotEnabledError"},
    {kSPBlockSizeOutOfRangeError, "kSPBlockSizeOutOfRangeError"},
    {kSPPluginCachesFlushResponse, "kSPPluginCachesFlushResponse"},
    {kSPTroubleAddingFilesError, "kSPTroubleAddingFilesError"},
    {kSPBadFileListIteratorError, "kSPBadFileListIteratorError"},
    {kSPTroubleInitializingError, "kSPTroubleInitializingError"},
    {kHostCanceledStartupPluginsError, "kHostCanceledStartupPluginsError"},
    {kSPNotASweetPeaPluginError, "kSPNotASweetPeaPluginError"},
    {kSPAlreadyInSPCallerError, "kSPAlreadyInSPCallerError"},
    {kSPBadPluginListIteratorError, "kSPBadPluginListIteratorError"},
    {kSPBadPluginHost, "kSPBadPluginHost"},
    {kSPCantAddHostPluginError, "kSPCantAddHostPluginError"},
    {kSPPluginNotFound, "kSPPluginNotFound"},
    {kSPCorruptPiPLError, "kSPCorruptPiPLError"},
    {kSPBadPropertyListIteratorError, "kSPBadPropertyListIteratorError"},
}};

#define BREL_PR_NAME(code) \
  { code, #code }

constexpr std::array<Name_Entry, 64> premiere_suite_err_names{{
    BREL_PR_NAME(malUnknownError),
    BREL_PR_NAME(malSupports7),
    BREL_PR_NAME(malSupports8),
    BREL_PR_NAME(suiteError_NoError),
    BREL_PR_NAME(suiteError_Fail),
    BREL_PR_NAME(suiteError_InvalidParms),
    BREL_PR_NAME(suiteError_OutOfMemory),
    BREL_PR_NAME(suiteError_InvalidCall),
    BREL_PR_NAME(suiteError_NotImplemented),
    BREL_PR_NAME(suiteError_IDNotValid),
    BREL_PR_NAME(suiteError_RenderPending),
    BREL_PR_NAME(suiteError_RenderedFrameNotFound),
    BREL_PR_NAME(suiteError_RenderedFrameCanceled),
    BREL_PR_NAME(suiteError_RenderInvalidPixelFormat),
    BREL_PR_NAME(suiteError_RenderCompletionProcNotSet),
    BREL_PR_NAME(suiteError_TimeRoundedAudioRate),
    BREL_PR_NAME(suiteError_CompilerCompileAbort),
    BREL_PR_NAME(suiteError_CompilerCompileDone),
    BREL_PR_NAME(suiteError_CompilerOutputFormatAccept),
    BREL_PR_NAME(suiteError_CompilerOutputFormatDecline),
    BREL_PR_NAME(suiteError_CompilerRebuildCutList),
    BREL_PR_NAME(suiteError_CompilerIterateCompiler),
    BREL_PR_NAME(suiteError_CompilerIterateCompilerDone),
    BREL_PR_NAME(suiteError_CompilerInternalErrorSilent),
    BREL_PR_NAME(suiteError_CompilerIterateCompilerCacheable),
    BREL_PR_NAME(suiteError_CompilerBadFormatIndex),
    BREL_PR_NAME(suiteError_CompilerInternalError),
    BREL_PR_NAME(suiteError_CompilerOutOfDiskSpace),
    BREL_PR_NAME(suiteError_CompilerBufferFull),
    BREL_PR_NAME(suiteError_CompilerErrOther),
    BREL_PR_NAME(suiteError_CompilerErrMemory),
    BREL_PR_NAME(suiteError_CompilerErrFileNotFound),
    BREL_PR_NAME(suiteError_CompilerErrTooManyOpenFiles),
    BREL_PR_NAME(suiteError_CompilerErrPermErr),
    BREL_PR_NAME(suiteError_CompilerErrOpenErr),
    BREL_PR_NAME(suiteError_CompilerErrInvalidDrive),
    BREL_PR_NAME(suiteError_CompilerErrDupFile),
    BREL_PR_NAME(suiteError_CompilerErrIo),
    BREL_PR_NAME(suiteError_CompilerErrInUse),
    BREL_PR_NAME(suiteError_CompilerErrCodecBadInput),
    BREL_PR_NAME(suiteError_ExporterSuspended),
    BREL_PR_NAME(suiteError_ExporterNoMoreFrames),
    BREL_PR_NAME(suiteError_FileBufferTooSmall),
    BREL_PR_NAME(suiteError_FileNotImportableFileType),
    BREL_PR_NAME(suiteError_LegacyInvalidVideoRate),
    BREL_PR_NAME(suiteError_PlayModuleAudioInitFailure),
    BREL_PR_NAME(suiteError_PlayModuleAudioIllegalPlaySetting),
    BREL_PR_NAME(suiteError_PlayModuleAudioNotInitialized),
    BREL_PR_NAME(suiteError_PlayModuleAudioNotStarted),
    BREL_PR_NAME(suiteError_PlayModuleAudioIllegalAction),
    BREL_PR_NAME(suiteError_PlayModuleDeviceControlSuiteIllegalCallSequence),
    BREL_PR_NAME(suiteError_MediaAcceleratorSuitePathNotFound),
    BREL_PR_NAME(suiteError_MediaAcceleratorSuiteRegisterFailure),
    BREL_PR_NAME(suiteError_RepositoryReadFailed),
    BREL_PR_NAME(suiteError_RepositoryWriteFailed),
    BREL_PR_NAME(suiteError_NotActivated),
    BREL_PR_NAME(suiteError_DataNotPresent),
    BREL_PR_NAME(suiteError_ServerCommunicationFailed),
    BREL_PR_NAME(suiteError_Internal),
    BREL_PR_NAME(suiteError_StringNotFound),
    BREL_PR_NAME(suiteError_StringBufferTooSmall),
    BREL_PR_NAME(suiteError_NoKeyframeAfterInTime),
    BREL_PR_NAME(suiteError_NoMoreData),
    BREL_PR_NAME(suiteError_InstanceDestroyed),
}};

#undef BREL_PR_NAME

}  // namespace

std::string pf_err_name(int32_t code) {
  return PF_Err_name(code);
}

std::string sp_err_name(int32_t code) {
  return std::string(find_name(sp_err_names, code, "unknown error"));
}

std::string premiere_suite_err_name(int32_t code) {
  return std::string(find_name(premiere_suite_err_names, code, ""));
}

Exception_After_Effects::Exception_After_Effects(const std::string& message, int32_t code,
                                                 const std::string& file, int32_t line)
    : Exception_Runtime(message), code_(code) {
  if (code != PF_Interrupt_CANCEL) {
    write_host_warning("After Effects Error: ", pf_err_name(code), code, file, line, message);
  }
}

Exception_Ae_Suite::Exception_Ae_Suite(const std::string& message, int32_t code,
                                       const std::string& file, int32_t line)
    : Exception_Runtime(message), code_(code) {
  write_host_warning("After Effects Suite Error: ", sp_err_name(code), code, file, line, message);
}

Exception_Premiere::Exception_Premiere(const std::string& message, int32_t code,
                                       const std::string& file, int32_t line)
    : Exception_Runtime(message), code_(code) {
  write_host_warning("Premiere Error with code: ", premiere_suite_err_name(code), code, file, line,
                     message);
}

}  // namespace brel

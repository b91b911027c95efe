#pragma once

/* The suite broker: hosts publish most services as suites, tables of functions obtained by
 * name and version and given back after use. */

#include <stddef.h>

#include "ae_types.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct SPBasicSuite {
  /* Success is 0 with a non-null table in *suite. */
  SPErr (*AcquireSuite)(const char* name, A_long version, const void** suite);
  SPErr (*ReleaseSuite)(const char* name, A_long version);
  A_Boolean (*IsEqual)(const char* token1, const char* token2);
  SPErr (*AllocateBlock)(size_t size, void** block);
  SPErr (*FreeBlock)(void* block);
  SPErr (*ReallocateBlock)(void* block, size_t new_size, void** new_block);
  SPErr (*Undefined)(void);
} SPBasicSuite;

/* Broker result codes: four-character codes, first character most significant. */
#define kSPNoError 0
#define kSPOutOfMemoryError ((SPErr)0xFFFFFF6C)
#define kSPUserCanceledError PF_FOURCC_MSB_FIRST('s', 't', 'o', 'p')
#define kSPOperationInterrupted PF_FOURCC_MSB_FIRST('i', 'n', 't', 'r')
#define kSPLogicError PF_FOURCC_MSB_FIRST('f', 'b', 'a', 'r')
#define kSPBadParameterError PF_FOURCC_MSB_FIRST('P', 'a', 'r', 'm')
#define kSPSuiteNotFoundError PF_FOURCC_MSB_FIRST('S', '!', 'F', 'd')
#define kSPSuiteAlreadyExistsError PF_FOURCC_MSB_FIRST('S', 'E', 'x', 'i')
#define kSPSuiteAlreadyReleasedError PF_FOURCC_MSB_FIRST('S', 'R', 'e', 'l')
#define kSPBadSuiteListIteratorError PF_FOURCC_MSB_FIRST('S', 'L', 'I', 't')
#define kSPBadSuiteInternalVersionError PF_FOURCC_MSB_FIRST('S', 'I', 'V', 's')
#define kSPCantAcquirePluginError PF_FOURCC_MSB_FIRST('!', 'A', 'c', 'q')
#define kSPCantReleasePluginError PF_FOURCC_MSB_FIRST('!', 'R', 'e', 'l')
#define kSPPluginAlreadyReleasedError PF_FOURCC_MSB_FIRST('A', 'l', 'R', 'l')
#define kSPAdapterAlreadyExistsError PF_FOURCC_MSB_FIRST('A', 'd', 'E', 'x')
#define kSPBadAdapterListIteratorError PF_FOURCC_MSB_FIRST('B', 'd', 'A', 'L')
#define kSPUnknownAdapterError PF_FOURCC_MSB_FIRST('?', 'A', 'd', 'p')
#define kSPUnimplementedError PF_FOURCC_MSB_FIRST('!', 'I', 'M', 'P')
#define kSPCantChangeBlockDebugNowError PF_FOURCC_MSB_FIRST('!', 'N', 'o', 'w')
#define kSPBlockDebugNotEnabledError PF_FOURCC_MSB_FIRST('!', 'N', 'b', 'l')
#define kSPBlockSizeOutOfRangeError PF_FOURCC_MSB_FIRST('B', 'k', 'R', 'g')
#define kSPPluginCachesFlushResponse PF_FOURCC_MSB_FIRST('p', 'F', 'l', 's')
#define kSPTroubleAddingFilesError PF_FOURCC_MSB_FIRST('T', 'A', 'd', 'd')
#define kSPBadFileListIteratorError PF_FOURCC_MSB_FIRST('B', 'F', 'I', 't')
#define kSPTroubleInitializingError PF_FOURCC_MSB_FIRST('T', 'I', 'n', 'i')
#define kHostCanceledStartupPluginsError PF_FOURCC_MSB_FIRST('H', '!', 'S', 't')
#define kSPNotASweetPeaPluginError PF_FOURCC_MSB_FIRST('N', 'S', 'P', 'P')
#define kSPAlreadyInSPCallerError PF_FOURCC_MSB_FIRST('A', 'I', 'S', 'C')
#define kSPBadPluginListIteratorError PF_FOURCC_MSB_FIRST('P', 'i', 'L', 'I')
#define kSPBadPluginHost PF_FOURCC_MSB_FIRST('P', 'i', 'H', '0')
#define kSPCantAddHostPluginError PF_FOURCC_MSB_FIRST('A', 'd', 'H', 'o')
#define kSPPluginNotFound PF_FOURCC_MSB_FIRST('P', '!', 'F', 'd')
#define kSPCorruptPiPLError PF_FOURCC_MSB_FIRST('C', 'P', 'P', 'L')
#define kSPBadPropertyListIteratorError PF_FOURCC_MSB_FIRST('B', 'P', 'r', 'I')

#ifdef __cplusplus
}
#endif

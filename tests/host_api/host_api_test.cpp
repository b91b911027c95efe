#include "host_api.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>

namespace {

// The value a four-character code gets when its characters are the bytes in memory.
int32_t bytes_in_memory(const char (&code)[5]) {
  int32_t value = 0;
  std::memcpy(&value, code, 4);
  return value;
}

// Pixel formats are spelled by their bytes in memory, application ids and broker errors with
// the first character highest: a code in the wrong byte order matches nothing the host sends.
TEST(Host_Api_Codes, FourCharacterCodesInTheirByteOrder) {
  EXPECT_EQ(PF_PixelFormat_ARGB128, bytes_in_memory("ae32"));
  EXPECT_EQ(PF_PixelFormat_ARGB64, bytes_in_memory("ae16"));
  EXPECT_EQ(PF_PixelFormat_ARGB32, bytes_in_memory("argb"));
  EXPECT_EQ(PF_PixelFormat_BGRA128, bytes_in_memory("@CDA"));
  EXPECT_EQ(PrPixelFormat_BGRA_4444_32f, 0x61724742);
  EXPECT_EQ(PrPixelFormat_BGRA_4444_16u, 0x61726742);
  EXPECT_EQ(PrPixelFormat_BGRA_4444_8u, bytes_in_memory("bgra"));
  EXPECT_EQ(PrPixelFormat_ARGB_4444_8u, PF_PixelFormat_ARGB32);
  EXPECT_EQ(PF_APPL_ID_AFTER_EFFECTS, 0x46585443);
  EXPECT_EQ(PF_APPL_ID_PREMIERE, 0x50724D72);
  EXPECT_EQ(kSPSuiteNotFoundError, 0x53214664);
}

// Suites are called by position: a slot moved in a table would call the wrong function.
TEST(Host_Api_Layout, SuiteFunctionsAndRecordFieldsSitAtTheirPositions) {
  constexpr size_t slot = sizeof(void (*)());
  EXPECT_EQ(offsetof(PF_WorldSuite2, PF_GetPixelFormat), 2 * slot);
  EXPECT_EQ(offsetof(PF_PixelFormatSuite1, ClearSupportedPixelFormats), 1 * slot);
  EXPECT_EQ(offsetof(PF_PixelFormatSuite1, GetPixelFormat), 4 * slot);
  EXPECT_EQ(offsetof(PF_UtilitySuite4, EffectWantsCheckedOutFramesToMatchRenderPixelFormat),
            12 * slot);
  EXPECT_EQ(offsetof(AEGP_UtilitySuite7, AEGP_RegisterWithAEGP), 7 * slot);
  EXPECT_EQ(offsetof(PF_ChannelSuite1, PF_GetLayerChannelTypedRefAndDesc), 2 * slot);
  EXPECT_EQ(offsetof(PF_ChannelSuite1, PF_CheckoutLayerChannel), 3 * slot);
  EXPECT_EQ(offsetof(PF_ChannelSuite1, PF_CheckinLayerChannel), 4 * slot);
  EXPECT_EQ(offsetof(PF_AppSuite6, PF_InvalidateRect), 8 * slot);
  // An assigned layer is told by its first field.
  EXPECT_EQ(offsetof(PF_LayerDef, reserved0), 0u);
  EXPECT_EQ(offsetof(PF_Pixel, alpha), 0u);
  EXPECT_EQ(offsetof(PF_Pixel, blue), 3u);
}

}  // namespace

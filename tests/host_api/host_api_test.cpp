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

TEST(HostApiCodes, PixelFormatsAreSpelledByTheirBytesInMemory) {
  EXPECT_EQ(PF_PixelFormat_ARGB128, 0x32336561);
  EXPECT_EQ(PF_PixelFormat_ARGB64, 0x36316561);
  EXPECT_EQ(PF_PixelFormat_ARGB32, 0x62677261);
  EXPECT_EQ(PF_PixelFormat_BGRA128, 0x41444340);
  EXPECT_EQ(PrPixelFormat_BGRA_4444_32f, 0x61724742);
  EXPECT_EQ(PrPixelFormat_BGRA_4444_16u, 0x61726742);
  EXPECT_EQ(PrPixelFormat_BGRA_4444_8u, 0x61726762);
  EXPECT_EQ(PrPixelFormat_ARGB_4444_8u, 0x62677261);
  // On this little-endian machine the bytes of each value spell its code.
  EXPECT_EQ(PF_PixelFormat_ARGB128, bytes_in_memory("ae32"));
  EXPECT_EQ(PrPixelFormat_BGRA_4444_8u, bytes_in_memory("bgra"));
  EXPECT_EQ(PF_PixelFormat_BGRA128, bytes_in_memory("@CDA"));
}

TEST(HostApiCodes, ApplicationIdsAndBrokerErrorsPutTheFirstCharacterHighest) {
  EXPECT_EQ(PF_APPL_ID_AFTER_EFFECTS, 0x46585443);
  EXPECT_EQ(PF_APPL_ID_PREMIERE, 0x50724D72);
  EXPECT_EQ(kSPSuiteNotFoundError, 0x53214664);
  EXPECT_EQ(kSPOutOfMemoryError, -148);
  EXPECT_EQ(kSPBadPropertyListIteratorError, 0x42507249);
  EXPECT_EQ(PF_ChannelType_DEPTH, 0x44505448);
  EXPECT_EQ(PF_DataType_FLOAT, 0x464C5434);
  EXPECT_EQ(PF_DataType_DOUBLE, 0x44424C38);
}

TEST(HostApiCodes, CommandsFlagsAndParameterKinds) {
  EXPECT_EQ(PF_Cmd_PARAMS_SETUP, 4);
  EXPECT_EQ(PF_Cmd_RENDER, 11);
  EXPECT_EQ(PF_Cmd_UPDATE_PARAMS_UI, 14);
  EXPECT_EQ(PF_Cmd_QUERY_DYNAMIC_FLAGS, 18);
  EXPECT_EQ(PF_Cmd_SMART_PRE_RENDER, 23);
  EXPECT_EQ(PF_Cmd_SMART_RENDER_GPU, 31);
  EXPECT_EQ(PF_Interrupt_CANCEL, 517);
  EXPECT_EQ(
      PF_OutFlag_NON_PARAM_VARY | PF_OutFlag_DEEP_COLOR_AWARE | PF_OutFlag_SEND_UPDATE_PARAMS_UI,
      0x6000004);
  EXPECT_EQ(PF_OutFlag2_SUPPORTS_QUERY_DYNAMIC_FLAGS |
                PF_OutFlag2_PARAM_GROUP_START_COLLAPSED_FLAG | PF_OutFlag2_REVEALS_ZERO_ALPHA |
                PF_OutFlag2_SUPPORTS_SMART_RENDER | PF_OutFlag2_FLOAT_COLOR_AWARE |
                PF_OutFlag2_SUPPORTS_THREADED_RENDERING,
            0x8001489);
  EXPECT_EQ(PF_OutFlag2_CUSTOM_UI_ASYNC_MANAGER, 0x1000000);
  EXPECT_EQ(PF_ParamFlag_COLLAPSE_TWIRLY | PF_ParamFlag_SUPERVISE, 96);
  EXPECT_EQ(PF_PUI_INVISIBLE | PF_PUI_NO_ECW_UI, 520);
  EXPECT_EQ(PF_PUI_CONTROL | PF_PUI_DONT_ERASE_CONTROL, 130);
  EXPECT_EQ(PF_Param_FLOAT_SLIDER, 10);
  EXPECT_EQ(PF_Param_GROUP_END, 14);
}

// Suites are called by position: a slot moved in a table would call the wrong function.
TEST(HostApiLayout, SuiteFunctionsSitAtTheirPositions) {
  constexpr size_t slot = sizeof(void (*)());
  EXPECT_EQ(offsetof(PF_WorldSuite2, PF_GetPixelFormat), 2 * slot);
  EXPECT_EQ(offsetof(PF_PixelFormatSuite1, AddSupportedPixelFormat), 0 * slot);
  EXPECT_EQ(offsetof(PF_PixelFormatSuite1, ClearSupportedPixelFormats), 1 * slot);
  EXPECT_EQ(offsetof(PF_PixelFormatSuite1, GetPixelFormat), 4 * slot);
  EXPECT_EQ(offsetof(PF_UtilitySuite4, EffectWantsCheckedOutFramesToMatchRenderPixelFormat),
            12 * slot);
  EXPECT_EQ(offsetof(AEGP_UtilitySuite7, AEGP_RegisterWithAEGP), 7 * slot);
  EXPECT_EQ(offsetof(PrSDKAppInfoSuite2, GetAppInfo), 0 * slot);
  EXPECT_EQ(offsetof(PF_ColorParamSuite1, PF_GetFloatingPointColorFromColorDef), 0 * slot);
  EXPECT_EQ(offsetof(PF_ParamUtilsSuite2, PF_UpdateParamUI), 0 * slot);
  EXPECT_EQ(offsetof(PF_ChannelSuite1, PF_GetLayerChannelTypedRefAndDesc), 2 * slot);
  EXPECT_EQ(offsetof(PF_ChannelSuite1, PF_CheckoutLayerChannel), 3 * slot);
  EXPECT_EQ(offsetof(PF_ChannelSuite1, PF_CheckinLayerChannel), 4 * slot);
  EXPECT_EQ(offsetof(PF_AppSuite6, PF_AppGetBgColor), 0 * slot);
  EXPECT_EQ(offsetof(PF_AppSuite6, PF_InvalidateRect), 8 * slot);
}

TEST(HostApiLayout, WorldsStartWithTheAssignedLayerMarkerAndNamesHold32Bytes) {
  EXPECT_EQ(offsetof(PF_LayerDef, reserved0), 0u);
  PF_ParamDef def{};
  EXPECT_EQ(sizeof(def.name), 32u);
  EXPECT_EQ(sizeof(PF_OutData{}.return_msg), static_cast<size_t>(PF_MAX_EFFECT_MSG_LEN + 1));
  EXPECT_EQ(sizeof(PF_Pixel), 4u);
  EXPECT_EQ(offsetof(PF_Pixel, alpha), 0u);
  EXPECT_EQ(offsetof(PF_Pixel, blue), 3u);
}

}  // namespace

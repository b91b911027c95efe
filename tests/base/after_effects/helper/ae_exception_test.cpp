#include "base/after_effects/helper/ae_exception.h"

#include <gtest/gtest.h>

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

TEST(Host_Exceptions, EachKindWritesItsWarningLineThroughItsTableAndKeepsTheCode) {
  size_t before = brel::global_log().recent_messages().size();
  const brel::Exception_After_Effects e("After Effects api Error (PF_Err)", 4,
                                        "base/after_effects/helper/ae_helper", 275);
  EXPECT_EQ(e.code(), 4);
  EXPECT_STREQ(e.what(), "After Effects api Error (PF_Err)");
  EXPECT_EQ(newest_message_since(before),
            "-**### WARNING ###**-: After Effects Error: PF_Err_OUT_OF_MEMORY (4). Thrown in file "
            "base/after_effects/helper/ae_helper line 275. After Effects api Error (PF_Err)\n");

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

TEST(Host_Exceptions, CancelIsNotLogged) {
  const brel::Exception_After_Effects first("marker", 513, "f", 1);
  const size_t before = brel::global_log().recent_messages().size();
  const brel::Exception_After_Effects e("PF_CHECKOUT_PARAM() failed", 517, "f", 77);
  EXPECT_EQ(e.code(), 517);
  EXPECT_EQ(brel::global_log().recent_messages().size(), before);
  EXPECT_NE(brel::global_log().recent_messages().back().find("marker"), std::string::npos);
}

// The rows that tell: the ends of each range, codes just outside it, and the four-character
// codes read with the first character highest (the other byte order names nothing).
TEST(Host_Error_Names, TellingRowsOfTheThreeTables) {
  EXPECT_EQ(brel::pf_err_name(0), "PF_Err_NONE");
  EXPECT_EQ(brel::pf_err_name(4), "PF_Err_OUT_OF_MEMORY");
  EXPECT_EQ(brel::pf_err_name(512), "PF_Err_INTERNAL_STRUCT_DAMAGED");
  EXPECT_EQ(brel::pf_err_name(517), "PF_Interrupt_CANCEL");
  EXPECT_EQ(brel::pf_err_name(518), "PF_Err_CANNOT_PARSE_KEYFRAME_TEXT");
  EXPECT_EQ(brel::pf_err_name(519), "unknown error");
  EXPECT_EQ(brel::pf_err_name(1), "unknown error");

  EXPECT_EQ(brel::sp_err_name(0), "kSPNoError");
  EXPECT_EQ(brel::sp_err_name(static_cast<int32_t>(0xFFFFFF6C)), "kSPOutOfMemoryError");
  EXPECT_EQ(brel::sp_err_name(0x53214664), "kSPSuiteNotFoundError");  // 'S!Fd'
  EXPECT_EQ(brel::sp_err_name(0x66626172), "fbar - general programming error");
  EXPECT_EQ(brel::sp_err_name(0x42507249), "kSPBadPropertyListIteratorError");  // 'BPrI'
  EXPECT_EQ(brel::sp_err_name(0x64462153), "unknown error");
  EXPECT_EQ(brel::sp_err_name(517), "unknown error");

  EXPECT_EQ(brel::premiere_suite_err_name(0), "suiteError_NoError");
  EXPECT_EQ(brel::premiere_suite_err_name(static_cast<int32_t>(0x80000001)),
            "suiteError_InvalidParms");
  EXPECT_EQ(brel::premiere_suite_err_name(99), "malUnknownError");
  EXPECT_EQ(brel::premiere_suite_err_name(101), "malSupports8");
  EXPECT_EQ(brel::premiere_suite_err_name(suiteError_InstanceDestroyed),
            "suiteError_InstanceDestroyed");
  EXPECT_EQ(brel::premiere_suite_err_name(7), "");
  EXPECT_EQ(brel::premiere_suite_err_name(-1), "");
}

}  // namespace

#include "base/after_effects/helper/ae_suite.h"

#include <gtest/gtest.h>

#include "base/after_effects/helper/ae_exception.h"
#include "base/log.h"
#include "simulated_host.h"

namespace {

using brel::sim::Host_Identity;
using brel::sim::Simulated_Host;

TEST(SuiteGuard, AcquiresOnConstructionAndReleasesOnDestructionPerUse) {
  Simulated_Host host(Host_Identity::after_effects());
  SPBasicSuite* broker = host.in_data()->pica_basicP;
  for (int use = 1; use <= 3; ++use) {
    const brel::Suite_Guard<PF_ParamUtilsSuite2> guard(broker, kPFParamUtilsSuite,
                                                       kPFParamUtilsSuiteVersion2);
    ASSERT_NE(guard.get(), nullptr);
    EXPECT_NE(guard->PF_UpdateParamUI, nullptr);
    EXPECT_EQ(host.acquires(kPFParamUtilsSuite, 2), use);
    EXPECT_EQ(host.releases(kPFParamUtilsSuite, 2), use - 1);
  }
  EXPECT_EQ(host.releases(kPFParamUtilsSuite, 2), 3);
  EXPECT_EQ(host.imbalance(), "");
}

TEST(SuiteGuard, ReleasesWhenAnExceptionLeavesTheOperation) {
  Simulated_Host host(Host_Identity::premiere());
  try {
    const brel::Suite_Guard<PF_PixelFormatSuite1> guard(
        host.in_data()->pica_basicP, kPFPixelFormatSuite, kPFPixelFormatSuiteVersion1);
    throw brel::Exception_Abort();
  } catch (const brel::Exception_Abort&) {
  }
  EXPECT_EQ(host.acquires(kPFPixelFormatSuite, 1), 1);
  EXPECT_EQ(host.releases(kPFPixelFormatSuite, 1), 1);
  EXPECT_EQ(host.imbalance(), "");
}

TEST(SuiteGuard, MissingSuiteThrowsWithItsNameVersionAndTheHostCode) {
  Simulated_Host host(Host_Identity::after_effects());
  host.remove_suite(kPFHandleSuite, kPFHandleSuiteVersion2);
  const size_t before = brel::global_log().recent_messages().size();
  try {
    const brel::Suite_Guard<PF_HandleSuite2> guard(host.in_data()->pica_basicP, kPFHandleSuite,
                                                   kPFHandleSuiteVersion2);
    FAIL() << "a missing suite was acquired";
  } catch (const brel::Exception_Ae_Suite& e) {
    EXPECT_STREQ(e.what(), "Can't AcquireSuite (PF Handle Suite, 2)");
    EXPECT_EQ(e.code(), kSPSuiteNotFoundError);
  }
  const auto messages = brel::global_log().recent_messages();
  ASSERT_TRUE(messages.size() > before || messages.size() == brel::Log::default_message_limit);
  EXPECT_EQ(messages.back(),
            "-**### WARNING ###**-: After Effects Suite Error: kSPSuiteNotFoundError "
            "(1394689636). Thrown in file base/after_effects/helper/ae_suite line 24. Can't "
            "AcquireSuite (PF Handle Suite, 2)\n");
  // Nothing was acquired, so nothing is given back.
  EXPECT_EQ(host.releases(kPFHandleSuite, 2), 0);
  EXPECT_EQ(host.imbalance(), "");
}

TEST(SuiteGuard, WrongVersionIsAMissingSuite) {
  Simulated_Host host(Host_Identity::after_effects());
  EXPECT_THROW(brel::Suite_Guard<PF_HandleSuite2>(host.in_data()->pica_basicP, kPFHandleSuite, 1),
               brel::Exception_Ae_Suite);
}

TEST(SuiteGuard, SuccessWithoutATableThrowsWithCodeZero) {
  Simulated_Host host(Host_Identity::after_effects());
  host.null_suite(kPFWorldSuite, kPFWorldSuiteVersion2);
  try {
    const brel::Suite_Guard<PF_WorldSuite2> guard(host.in_data()->pica_basicP, kPFWorldSuite,
                                                  kPFWorldSuiteVersion2);
    FAIL() << "a null table was accepted";
  } catch (const brel::Exception_Ae_Suite& e) {
    EXPECT_STREQ(e.what(), "Can't AcquireSuite (PF World Suite, 2)");
    EXPECT_EQ(e.code(), 0);
  }
}

TEST(SuiteGuard, HostErrorCodeIsCarried) {
  Simulated_Host host(Host_Identity::after_effects());
  host.fail_suite(kPFColorParamSuite, 1, kSPOutOfMemoryError);
  try {
    const brel::Suite_Guard<PF_ColorParamSuite1> guard(host.in_data()->pica_basicP,
                                                       kPFColorParamSuite, 1);
    FAIL();
  } catch (const brel::Exception_Ae_Suite& e) {
    EXPECT_EQ(e.code(), -148);
  }
}

TEST(SuiteGuard, NoBrokerIsAMissingSuite) {
  try {
    const brel::Suite_Guard<PF_HandleSuite2> guard(nullptr, kPFHandleSuite, 2);
    FAIL();
  } catch (const brel::Exception_Ae_Suite& e) {
    EXPECT_STREQ(e.what(), "Can't AcquireSuite (PF Handle Suite, 2)");
    EXPECT_EQ(e.code(), kSPBadParameterError);
  }
  EXPECT_FALSE(brel::suite_available(nullptr, kPFHandleSuite, 2));
}

TEST(SuiteAvailable, AcquiresAndReleasesAtOnce) {
  Simulated_Host host(Host_Identity::premiere());
  EXPECT_TRUE(brel::suite_available(host.in_data()->pica_basicP, kPrSDKAppInfoSuite, 2));
  EXPECT_EQ(host.acquires(kPrSDKAppInfoSuite, 2), 1);
  EXPECT_EQ(host.releases(kPrSDKAppInfoSuite, 2), 1);
}

TEST(SuiteAvailable, MissingSuiteIsFalseAndSilent) {
  Simulated_Host host(Host_Identity::premiere());
  // Premiere Pro has no world suite; After Effects has no pixel-format suite.
  const brel::Exception_After_Effects marker("marker", 513, "f", 1);
  const size_t before = brel::global_log().recent_messages().size();
  EXPECT_FALSE(brel::suite_available(host.in_data()->pica_basicP, kPFWorldSuite, 2));
  host.null_suite(kPFHandleSuite, 2);
  EXPECT_FALSE(brel::suite_available(host.in_data()->pica_basicP, kPFHandleSuite, 2));
  EXPECT_EQ(brel::global_log().recent_messages().size(), before);
  EXPECT_NE(brel::global_log().recent_messages().back().find("marker"), std::string::npos);
  EXPECT_EQ(host.imbalance(), "");
}

}  // namespace

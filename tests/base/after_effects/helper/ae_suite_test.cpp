#include "base/after_effects/helper/ae_suite.h"

#include <gtest/gtest.h>

#include <functional>

#include "base/after_effects/helper/ae_exception.h"
#include "base/log.h"
#include "simulated_host.h"

namespace {

using brel::sim::Host_Identity;
using brel::sim::Simulated_Host;

TEST(Suite_Guard, AcquiresPerUseAndReleasesEvenWhenAnExceptionLeaves) {
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
  try {
    const brel::Suite_Guard<PF_ParamUtilsSuite2> guard(broker, kPFParamUtilsSuite, 2);
    throw brel::Exception_Abort();
  } catch (const brel::Exception_Abort&) {
  }
  EXPECT_EQ(host.releases(kPFParamUtilsSuite, 2), 4);
  EXPECT_EQ(host.imbalance(), "");
}

TEST(Suite_Guard, MissingSuiteThrowsWithItsNameVersionAndTheHostCode) {
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

// Every other way of not getting a table is a missing suite too, with the code that tells why.
TEST(Suite_Guard, WrongVersionNullTableHostErrorAndNoBrokerAreMissingSuites) {
  Simulated_Host host(Host_Identity::after_effects());
  host.null_suite(kPFWorldSuite, kPFWorldSuiteVersion2);
  host.fail_suite(kPFColorParamSuite, 1, kSPOutOfMemoryError);
  SPBasicSuite* broker = host.in_data()->pica_basicP;
  const struct {
    std::function<void()> acquire;
    int32_t code;
  } cases[] = {
      {[&] { brel::Suite_Guard<PF_HandleSuite2>(broker, kPFHandleSuite, 1); },
       kSPSuiteNotFoundError},
      {[&] { brel::Suite_Guard<PF_WorldSuite2>(broker, kPFWorldSuite, 2); }, 0},
      {[&] { brel::Suite_Guard<PF_ColorParamSuite1>(broker, kPFColorParamSuite, 1); }, -148},
      {[] { brel::Suite_Guard<PF_HandleSuite2>(nullptr, kPFHandleSuite, 2); },
       kSPBadParameterError},
  };
  for (const auto& c : cases) {
    try {
      c.acquire();
      ADD_FAILURE() << "no exception for code " << c.code;
    } catch (const brel::Exception_Ae_Suite& e) {
      EXPECT_EQ(e.code(), c.code);
    }
  }
  EXPECT_EQ(host.imbalance(), "");
}

TEST(Suite_Available, AcquiresAndReleasesAtOnceAndIsSilentWhenMissing) {
  Simulated_Host host(Host_Identity::premiere());
  EXPECT_TRUE(brel::suite_available(host.in_data()->pica_basicP, kPrSDKAppInfoSuite, 2));
  EXPECT_EQ(host.acquires(kPrSDKAppInfoSuite, 2), 1);
  EXPECT_EQ(host.releases(kPrSDKAppInfoSuite, 2), 1);
  const brel::Exception_After_Effects marker("marker", 513, "f", 1);
  const size_t before = brel::global_log().recent_messages().size();
  EXPECT_FALSE(brel::suite_available(host.in_data()->pica_basicP, kPFWorldSuite, 2));
  host.null_suite(kPFHandleSuite, 2);
  EXPECT_FALSE(brel::suite_available(host.in_data()->pica_basicP, kPFHandleSuite, 2));
  EXPECT_FALSE(brel::suite_available(nullptr, kPFHandleSuite, 2));
  EXPECT_EQ(brel::global_log().recent_messages().size(), before);
  EXPECT_NE(brel::global_log().recent_messages().back().find("marker"), std::string::npos);
  EXPECT_EQ(host.imbalance(), "");
}

}  // namespace

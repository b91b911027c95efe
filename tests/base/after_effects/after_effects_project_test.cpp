#include "base/after_effects/after_effects_project.h"

#include <gtest/gtest.h>

#include "base/after_effects/helper/ae_exception.h"
#include "base/log.h"
#include "simulated_host.h"

namespace {

using brel::sim::Host_Identity;
using brel::sim::Simulated_Host;
namespace fn = brel::sim::fn;

TEST(Working_Space_Gamma, TakesTheProfileOfTheFirstComposition) {
  Simulated_Host host(Host_Identity::after_effects());
  host.set_project(
      {AEGP_ItemType_FOLDER, AEGP_ItemType_NONE, AEGP_ItemType_COMP, AEGP_ItemType_COMP}, 1.8f);
  EXPECT_EQ(brel::working_space_gamma(host.in_data()->pica_basicP), 1.8f);
  EXPECT_EQ(host.profile_item(), 2);
  EXPECT_EQ(host.calls(fn::item_type), 3);
  EXPECT_EQ(host.calls(fn::next_item), 2);
  EXPECT_EQ(host.calls(fn::free_mem_handle), 1);
  // Suites released, the ICC memory freed and the profile disposed.
  EXPECT_EQ(host.imbalance(), "");
}

TEST(Working_Space_Gamma, WithoutACompositionTheProfileIsAskedWithoutOne) {
  Simulated_Host host(Host_Identity::after_effects());
  host.set_project({AEGP_ItemType_FOLDER, AEGP_ItemType_NONE}, 2.4f);
  EXPECT_EQ(brel::working_space_gamma(host.in_data()->pica_basicP), 2.4f);
  EXPECT_EQ(host.profile_item(), -1);
  host.set_project({}, 1.0f);
  EXPECT_EQ(brel::working_space_gamma(host.in_data()->pica_basicP), 1.0f);
  EXPECT_EQ(host.calls(fn::item_type), 2);
  EXPECT_EQ(host.imbalance(), "");
}

// Each failing host call names its own line and leaves nothing behind.
TEST(Working_Space_Gamma, HostErrorsNameTheirCall) {
  const struct {
    const char* function;
    int64_t at_call;
    int line;
  } cases[] = {{fn::project_by_index, 1, 528},
               {fn::first_item, 1, 529},
               {fn::item_type, 1, 530},
               {fn::next_item, 1, 534},
               {fn::item_type, 2, 535},
               {fn::comp_from_item, 1, 539},
               {fn::working_space_profile, 1, 547},
               {fn::icc_profile, 1, 552},
               {fn::approximate_gamma, 1, 556},
               {fn::free_mem_handle, 1, 559}};
  for (const auto& c : cases) {
    Simulated_Host host(Host_Identity::after_effects());
    host.set_project({AEGP_ItemType_FOLDER, AEGP_ItemType_COMP}, 2.2f);
    host.inject(c.function, 77, c.at_call);
    try {
      brel::working_space_gamma(host.in_data()->pica_basicP);
      ADD_FAILURE() << c.function;
    } catch (const brel::Exception_After_Effects& e) {
      EXPECT_EQ(e.code(), 77);
      EXPECT_STREQ(e.what(), "After Effects Suite Error (A_Err)");
    }
    const std::string line = brel::global_log().recent_messages().back();
    EXPECT_NE(line.find("line " + std::to_string(c.line) + ". After Effects Suite Error (A_Err)"),
              std::string::npos)
        << c.function << ": " << line;
    // A failed free leaves the ICC memory with the host; everything else is given back.
    const std::string expected =
        c.line == 559 ? "1 AEGP memory handle(s) not freed\n" : std::string();
    EXPECT_EQ(host.imbalance(), expected) << c.function;
  }
}

TEST(Working_Space_Gamma, PremiereHasNoProjectSuites) {
  Simulated_Host host(Host_Identity::premiere());
  EXPECT_THROW(brel::working_space_gamma(host.in_data()->pica_basicP), brel::Exception_Ae_Suite);
  EXPECT_EQ(host.imbalance(), "");
}

}  // namespace

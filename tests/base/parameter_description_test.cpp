#include "base/parameter_description.h"

#include <gtest/gtest.h>

namespace {

TEST(Parameter_Description, IdentifierIsTheGivenOneOrTheNameWithUnderscoresForBlanks) {
  EXPECT_EQ(brel::Parameter_Description("pre blur  strength", "", 1).identifier,
            "pre_blur__strength");
  EXPECT_EQ(brel::Parameter_Description("caustix", "", 1).identifier, "caustix");
  EXPECT_EQ(brel::Parameter_Description("a name", "own key", 1).identifier, "own_key");
  EXPECT_EQ(brel::Parameter_Description("", "", 1).identifier, "");
}

}  // namespace

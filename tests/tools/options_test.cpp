#include "options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

lumbrix::Options parse(const std::vector<std::string>& arguments) {
  return lumbrix::parse_options(arguments);
}

std::string refusal(const std::vector<std::string>& arguments) {
  try {
    parse(arguments);
  } catch (const lumbrix::Usage_Error& e) {
    return e.what();
  }
  return "(accepted)";
}

TEST(Options, LongOptionsTakeTheirValueAttachedOrApart) {
  const lumbrix::Options attached =
      parse({"in.png", "--output=out.exr", "--threads=3", "--set= depth factor = 7 ",
             "--png-compression=smallest"});
  EXPECT_EQ(attached.input, "in.png");
  EXPECT_EQ(attached.output, "out.exr");
  EXPECT_EQ(attached.threads, 3);
  ASSERT_EQ(attached.settings.size(), 1u);
  EXPECT_EQ(attached.settings[0], (std::pair<std::string, std::string>{"depth factor", "7"}));
  EXPECT_EQ(attached.png_compression, lumbrix::Png_Compression::smallest);

  const lumbrix::Options apart = parse({"-o", "out.png", "--layer", "background = bg.png"});
  EXPECT_EQ(apart.output, "out.png");
  EXPECT_EQ(apart.png_compression, lumbrix::Png_Compression::fast);
  EXPECT_EQ(apart.layers[0], (std::pair<std::string, std::string>{"background", "bg.png"}));

  EXPECT_TRUE(parse({"--version"}).version);  // needs no output
}

TEST(Options, MalformedCommandLinesAreRefusedWithTheReason) {
  EXPECT_EQ(refusal({"--quiet=yes", "-o", "a.png"}), "--quiet takes no value");
  EXPECT_EQ(refusal({"-o", "a.png", "--layer", "background="}),
            "--layer 'background=' names no file");
  EXPECT_EQ(refusal({"-o", "a.png", "--set", " =3"}), "--set takes NAME=VALUE, not ' =3'");
  EXPECT_EQ(refusal({"-o", "a.png", "--png-compression", "best"}),
            "--png-compression takes fast or smallest, not 'best'");
  EXPECT_EQ(refusal({"--output="}), "no output file: give -o OUTPUT");
  EXPECT_EQ(refusal({"-o", "a.png", "--threads"}), "--threads needs a value");
}

}  // namespace

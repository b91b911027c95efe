#include "base/system_dependencies.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "base/exception.h"
#include "support/temporary_folder.h"

namespace {

// Puts the named environment variables back as they were (set or not) when the test ends.
class Environment_Guard {
 public:
  Environment_Guard(std::initializer_list<const char*> names) {
    for (const char* name : names) {
      const char* value = std::getenv(name);
      saved_.push_back({name, value != nullptr, value != nullptr ? value : ""});
    }
  }
  ~Environment_Guard() {
    for (const auto& [name, was_set, value] : saved_) {
      was_set ? setenv(name, value.c_str(), 1) : unsetenv(name);
    }
  }

 private:
  struct Saved {
    const char* name;
    bool was_set;
    std::string value;
  };
  std::vector<Saved> saved_;
};

using brel::test::Temporary_Folder;

// The user data folder below the home folder is created only when asked for.
TEST(Home_Folder, TakesHomeThenHomepathThenTheUserDatabaseAndAlwaysAppendsASlash) {
  Environment_Guard guard({"HOME", "HOMEPATH"});
  Temporary_Folder home;
  setenv("HOME", home.path().c_str(), 1);
  const std::string folder = home.path() + "/tarvolen/";
  EXPECT_EQ(brel::user_data_folder(false), folder);
  EXPECT_FALSE(home.has_file("tarvolen"));
  EXPECT_EQ(brel::user_data_folder(true), folder);
  EXPECT_TRUE(std::filesystem::is_directory(folder));
  EXPECT_EQ(brel::user_data_folder(true), folder);  // an existing folder is no error

  setenv("HOME", "/Users/a/", 1);
  setenv("HOMEPATH", "/other", 1);
  EXPECT_EQ(brel::home_folder(), "/Users/a//");
  // Set but empty still counts as set.
  setenv("HOME", "", 1);
  EXPECT_EQ(brel::home_folder(), "/");
  unsetenv("HOME");
  EXPECT_EQ(brel::home_folder(), "/other/");
  EXPECT_EQ(brel::user_data_folder(false), "/other/tarvolen/");
  unsetenv("HOMEPATH");
  const passwd* entry = getpwuid(getuid());
  const std::string expected = entry != nullptr && entry->pw_dir != nullptr ? entry->pw_dir : "";
  EXPECT_EQ(brel::home_folder(), expected + "/");
}

TEST(Module_Folder, IsTheFolderPartOfThePathEndingInASlash) {
  EXPECT_EQ(brel::folder_of("/x/y/z.plugin"), "/x/y/");
  EXPECT_EQ(brel::folder_of("z.plugin"), "./");
  EXPECT_EQ(brel::folder_of(""), "./");
  EXPECT_EQ(brel::folder_of("/z"), "/");
  // Our code is linked into the test program, so its folder is the program's.
  const std::string folder = brel::module_folder();
  ASSERT_FALSE(folder.empty());
  EXPECT_EQ(folder.back(), '/');
  EXPECT_TRUE(std::filesystem::is_directory(folder)) << folder;
}

std::vector<std::string> sorted_listing(const std::string& folder, const std::string& suffix) {
  std::vector<std::string> files;
  brel::list_files(files, folder, suffix, false);
  std::sort(files.begin(), files.end());
  return files;
}

TEST(List_Files, MatchesTheTextAfterTheLastDotExactly) {
  Temporary_Folder folder;
  for (const char* name : {"a.txt", "b.tar.txt", ".txt", "txt", "a.TXT", "a.txt.bak", "end."}) {
    folder.write_file(name);
  }
  const std::string f = folder.path() + "/";
  EXPECT_EQ(sorted_listing(f, "txt"),
            (std::vector<std::string>{f + ".txt", f + "a.txt", f + "b.tar.txt", f + "txt"}));
  // The empty suffix matches names ending in ".", the folder's own entries included.
  EXPECT_EQ(sorted_listing(f, ""), (std::vector<std::string>{f + ".", f + "..", f + "end."}));
  EXPECT_EQ(sorted_listing(f, "*").size(), 9u);
  // The folder is joined as given.
  EXPECT_EQ(sorted_listing(folder.path(), "bak"),
            (std::vector<std::string>{folder.path() + "a.txt.bak"}));

  // A missing folder leaves the list alone; a recursive listing asserts before reading.
  std::vector<std::string> files{"kept"};
  brel::list_files(files, "/nonexistent/lumbrix/", "*", false);
  EXPECT_THROW(brel::list_files(files, "/", "*", true), brel::Exception_Assert);
  EXPECT_EQ(files, std::vector<std::string>{"kept"});
}

TEST(Cpu_Count, LimitsARequestToTheHardwareAndCountsAtLeastOne) {
  const int64_t cases[][3] = {{0, 8, 8}, {-1, 8, 8}, {3, 8, 3}, {12, 8, 8},
                              {0, 0, 1}, {-1, 0, 1}, {5, 0, 1}, {5, 1, 1}};
  for (const auto& [requested, hardware, expected] : cases) {
    EXPECT_EQ(brel::cpu_count(requested, hardware), expected) << requested << ", " << hardware;
  }
  const int64_t hardware = std::max<int64_t>(std::thread::hardware_concurrency(), 1);
  EXPECT_EQ(brel::cpu_count(-1), hardware);
  EXPECT_EQ(brel::cpu_count(1), 1);
}

TEST(System_Facts, NameTheBuildSystemAndTheAlignment) {
  EXPECT_EQ(brel::os_name(), "Linux");
  EXPECT_EQ(brel::memory_alignment(), 64);
}

}  // namespace

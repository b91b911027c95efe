#include "base/log.h"

#include <gtest/gtest.h>
#include <time.h>

#include <atomic>
#include <ctime>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/temporary_folder.h"
#include "support/text_lines.h"

namespace {

using brel::Log;
using brel::test::lines_of;
using brel::test::Temporary_Folder;

// Each test uses its own log object: the process-wide one is shared by every test.

TEST(Log_File, IsWrittenOnlyOnceItExistsAndKeptOpenFromThen) {
  Temporary_Folder folder;
  Log log;
  log.set_base_path(folder.path() + "/lumbrix_ae");
  EXPECT_EQ(log.log_file_name(), folder.path() + "/lumbrix_ae.log");

  log.write("first\n", Log::information);
  EXPECT_FALSE(folder.has_file("lumbrix_ae.log"));  // nothing is created
  EXPECT_FALSE(log.is_enabled());
  // Verbose mode enables timing without a file.
  log.set_verbose(true);
  EXPECT_TRUE(log.is_enabled());
  log.set_verbose(false);

  folder.write_file("lumbrix_ae.log");
  log.write("second\n", Log::warning);
  EXPECT_TRUE(log.is_enabled());
  // A message without its own newline runs into the next one.
  log.write("third", Log::error);
  std::ostringstream stream;
  stream << "fourth " << 4 << "\n";
  log.write(stream, Log::information);
  // Once open, the file is used whatever the base path says later.
  log.set_base_path(folder.path() + "/other");
  log.write("fifth\n", Log::information);
  EXPECT_EQ(folder.read_file("lumbrix_ae.log"), "second\nthirdfourth 4\nfifth\n");
  EXPECT_FALSE(folder.has_file("other.log"));
}

// Messages are kept whether or not there is a file, and echoed on standard output only while
// the echo is set.
TEST(Log_Ring, KeepsTheLast2000MessagesWhateverTheirLinesAndEchoesWhileSet) {
  Log log;
  log.set_base_path("/nonexistent/lumbrix/log");
  testing::internal::CaptureStdout();
  log.write("message 0\n", Log::information);
  log.set_echo(true);
  log.write("message 1\n", Log::information);
  log.set_echo(false);
  for (int i = 2; i < 2000; ++i) {
    log.write("message " + std::to_string(i) + "\n", Log::information);
  }
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "message 1\n");
  EXPECT_EQ(log.recent_messages().front(), "message 0\n");
  const std::string report = "line one\nline two\nline three\n";
  log.write(report, Log::information);
  const auto messages = log.recent_messages();
  ASSERT_EQ(messages.size(), 2000u);
  EXPECT_EQ(messages.front(), "message 1\n");
  EXPECT_EQ(messages[1998], "message 1999\n");
  EXPECT_EQ(messages.back(), report);
}

TEST(Log_Crash_Report, NameCarriesTheLocalTimeWithoutPadding) {
  Log log;
  log.set_base_path("/home/u/tarvolen/lumbrix_ae");
  const auto name_of = [&log](const char* when) {
    std::tm time{};
    strptime(when, "%Y-%m-%d %H:%M:%S", &time);
    return log.crash_file_name(time);
  };
  EXPECT_EQ(name_of("2024-03-07 09:05:02"), "/home/u/tarvolen/lumbrix_ae(2024_3_7-9_5_2).crash");
  EXPECT_EQ(name_of("2024-12-31 23:59:00"),
            "/home/u/tarvolen/lumbrix_ae(2024_12_31-23_59_0).crash");

  // The name without a time given is made from the clock now.
  const auto name_at = [&log](std::time_t when) {
    std::tm local{};
    localtime_r(&when, &local);
    return log.crash_file_name(local);
  };
  const std::time_t before = std::time(nullptr);
  const std::string now = log.crash_file_name();
  EXPECT_TRUE(now == name_at(before) || now == name_at(std::time(nullptr))) << now;
}

TEST(Log_Crash_Report, TakesTheKeptMessagesAndThenEveryLaterOneIntoOneFile) {
  Temporary_Folder folder;
  Log log;
  // A report that cannot be written keeps the messages for the next try.
  log.set_base_path(folder.path() + "/missing/lumbrix_ae");
  log.write("one\n", Log::information);
  EXPECT_NO_THROW(log.write_crash_file());
  EXPECT_EQ(log.recent_messages().size(), 1u);

  log.set_base_path(folder.path() + "/lumbrix_ae");
  log.write("-**###  ERROR  ###**-: two\n", Log::error);
  const std::string name = log.write_crash_file();
  ASSERT_EQ(name.rfind(folder.path() + "/lumbrix_ae(", 0), 0u) << name;
  ASSERT_EQ(name.substr(name.size() - 7), ").crash");
  const std::string file = name.substr(folder.path().size() + 1);
  EXPECT_EQ(folder.read_file(file), "one\n-**###  ERROR  ###**-: two\n");
  EXPECT_TRUE(log.recent_messages().empty());

  log.write("three\n", Log::information);
  EXPECT_TRUE(log.recent_messages().empty());
  // A second report goes into the file already open, whatever name it makes.
  log.set_base_path(folder.path() + "/second");
  log.write("four\n", Log::error);
  EXPECT_EQ(log.write_crash_file().rfind(folder.path() + "/second(", 0), 0u);
  EXPECT_EQ(folder.read_file(file), "one\n-**###  ERROR  ###**-: two\nthree\nfour\n");
  // The folder holds that one file only.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder.path()), {}), 1);
}

// Writers, the switches, the base path and the probe from several threads at once. Run under
// the thread sanitizer this shows the switches and the base path race-free; in any build it
// shows that whole messages reach the ring and the file.
TEST(Log_Concurrency, WritesAndSwitchesFromManyThreadsKeepWholeMessages) {
  Temporary_Folder folder;
  folder.write_file("on.log");
  Log log;
  log.set_base_path(folder.path() + "/off");

  constexpr int writers = 4;
  constexpr int messages_per_writer = 1500;
  std::atomic<int> running{writers};
  std::vector<std::thread> threads;
  for (int w = 0; w < writers; ++w) {
    threads.emplace_back([&log, &running, w] {
      for (int i = 0; i < messages_per_writer; ++i) {
        log.write("writer " + std::to_string(w) + " message " + std::to_string(i) + "\n",
                  Log::information);
      }
      --running;
    });
  }
  threads.emplace_back([&] {
    for (int64_t i = 0; running > 0; ++i) {
      log.set_base_path(folder.path() + (i % 2 == 0 ? "/on" : "/off"));
      log.set_verbose(i % 3 == 0);
      log.set_echo(false);
      (void)log.is_enabled();
      EXPECT_EQ(log.log_file_name().substr(0, folder.path().size()), folder.path());
      EXPECT_FALSE(log.base_path().empty());
    }
  });
  for (auto& thread : threads) {
    thread.join();
  }
  log.set_verbose(false);
  log.set_base_path(folder.path() + "/on");
  log.write("last\n", Log::information);

  // Every message but the last, in the ring and in the file, is one writer's whole message.
  const auto whole = [](const std::string& text) {
    return text.size() > 17 && text.rfind("writer ", 0) == 0 && text[7] >= '0' && text[7] <= '3' &&
           text.compare(8, 9, " message ") == 0 &&
           text.find_first_not_of("0123456789", 17) == std::string::npos;
  };
  const auto ring = log.recent_messages();
  std::vector<std::string> kept(ring.begin(), ring.end());
  ASSERT_EQ(kept.size(), 2000u);
  for (auto& message : kept) {
    ASSERT_EQ(message.back(), '\n');
    message.pop_back();
  }
  const auto file = lines_of(folder.read_file("on.log"));
  EXPECT_LE(file.size(), writers * messages_per_writer + 1u);
  for (auto lines : {kept, file}) {
    ASSERT_EQ(lines.back(), "last");
    for (size_t i = 0; i + 1 < lines.size(); ++i) {
      ASSERT_TRUE(whole(lines[i])) << lines[i];
    }
  }
}

}  // namespace

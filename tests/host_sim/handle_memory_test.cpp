#include "handle_memory.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

namespace brel::sim {
namespace {

constexpr size_t mib = size_t{1} << 20;

struct Live {
  Handle_Memory::Block block;
  size_t capacity;
  std::byte mark;
};

Live take_marked(Handle_Memory& memory, size_t size, std::byte mark) {
  Handle_Memory::Taken taken = memory.take(size);
  EXPECT_NE(taken.block, nullptr);
  EXPECT_GE(taken.capacity, size);
  std::memset(taken.block.get(), static_cast<int>(mark), taken.capacity);
  return {std::move(taken.block), taken.capacity, mark};
}

// Whether every byte of the block still holds its mark: a block handed out twice, or pages
// moved from under a live block, would be overwritten by the other holder.
bool intact(const Live& live) {
  const std::byte* bytes = live.block.get();
  return std::all_of(bytes, bytes + live.capacity, [&](std::byte b) { return b == live.mark; });
}

}  // namespace

// Two kept runs together hold a larger request: their pages make it up, in place of fresh
// ones, and only what they lack is taken from the system.
TEST(Handle_Memory, KeptRunsMakeUpALargerRequestWithoutFreshPages) {
  Handle_Memory memory;
  Live small = take_marked(memory, 4 * mib - 100, std::byte{0x11});
  Live large = take_marked(memory, 6 * mib, std::byte{0x22});
  EXPECT_EQ(memory.fresh_bytes(), int64_t{10 * mib});
  memory.give_back(std::move(small.block), small.capacity);
  memory.give_back(std::move(large.block), large.capacity);
  const int64_t mapped = Handle_Memory::mapped_bytes();

  Handle_Memory::Taken both = memory.take(10 * mib);
  ASSERT_NE(both.block, nullptr);
  EXPECT_TRUE(both.reused);
  EXPECT_EQ(memory.fresh_bytes(), int64_t{10 * mib});
  EXPECT_EQ(memory.fresh_blocks(), 2);
  EXPECT_EQ(Handle_Memory::mapped_bytes(), mapped);
  // The largest run first, then the other: their bytes came along with their pages.
  EXPECT_EQ(both.block[0], std::byte{0x22});
  EXPECT_EQ(both.block[6 * mib - 1], std::byte{0x22});
  EXPECT_EQ(both.block[6 * mib], std::byte{0x11});
  EXPECT_EQ(both.block[10 * mib - 1], std::byte{0x11});
  memory.give_back(std::move(both.block), both.capacity);

  // 12 MiB: the kept 10 and 2 fresh ones.
  Handle_Memory::Taken more = memory.take(12 * mib);
  ASSERT_NE(more.block, nullptr);
  EXPECT_EQ(memory.fresh_bytes(), int64_t{12 * mib});
  EXPECT_EQ(memory.fresh_blocks(), 3);
  EXPECT_EQ(memory.reused_blocks(), 2);
}

// A kept run larger than a request gives it only what it needs; the rest serves the next.
TEST(Handle_Memory, ARequestTakesOnlyWhatItNeedsOfAKeptRun) {
  Handle_Memory memory;
  Live run = take_marked(memory, 16 * mib, std::byte{0});
  memory.give_back(std::move(run.block), run.capacity);

  Live first = take_marked(memory, 5 * mib, std::byte{0x5A});
  Live second = take_marked(memory, 9 * mib + 1, std::byte{0xA5});
  EXPECT_EQ(first.capacity, 6 * mib);
  EXPECT_EQ(second.capacity, 10 * mib);
  EXPECT_EQ(memory.fresh_bytes(), int64_t{16 * mib});
  EXPECT_EQ(memory.reused_blocks(), 2);
  EXPECT_TRUE(intact(first));
  EXPECT_TRUE(intact(second));

  // Small requests keep their own blocks and never take from the runs.
  Live small = take_marked(memory, 1000, std::byte{1});
  EXPECT_EQ(memory.fresh_bytes(), int64_t{16 * mib + 1000});
  EXPECT_TRUE(intact(first) && intact(second) && intact(small));
}

// Many requests of mixed sizes on several threads: no two live blocks share a byte, what is
// mapped never exceeds the most that was live at once (rounded to whole runs) on one thread,
// and everything goes back to the system with the memory.
TEST(Handle_Memory, NoBlockIsHandedOutTwiceAndNothingOutlivesTheMemory) {
  const int64_t mapped_before = Handle_Memory::mapped_bytes();
  for (const int threads : {1, 4}) {
    {
      Handle_Memory memory;
      std::vector<std::thread> workers;
      std::vector<int> failures(static_cast<size_t>(threads), 0);
      for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&, t] {
          std::mt19937 random(static_cast<uint32_t>(17 + t));
          std::vector<Live> live;
          size_t live_runs = 0;  // bytes of live blocks made of mapped runs
          size_t most_runs = 0;
          for (int step = 0; step < 200; ++step) {
            if (!live.empty() && (live.size() >= 6 || random() % 3 == 0)) {
              const size_t i = random() % live.size();
              failures[t] += intact(live[i]) ? 0 : 1;
              live_runs -= live[i].block.get_deleter().mapped;
              memory.give_back(std::move(live[i].block), live[i].capacity);
              live.erase(live.begin() + static_cast<std::ptrdiff_t>(i));
              continue;
            }
            const size_t size = random() % 4 == 0 ? random() % 5000 : random() % (9 * mib);
            live.push_back(take_marked(memory, size, std::byte(step * threads + t)));
            live_runs += live.back().block.get_deleter().mapped;
            most_runs = std::max(most_runs, live_runs);
            if (threads == 1) {
              failures[t] +=
                  Handle_Memory::mapped_bytes() - mapped_before > static_cast<int64_t>(most_runs);
            }
          }
          for (Live& l : live) {
            failures[t] += intact(l) ? 0 : 1;
          }
        });
      }
      for (std::thread& w : workers) {
        w.join();
      }
      EXPECT_EQ(failures, std::vector<int>(static_cast<size_t>(threads), 0)) << threads;
      EXPECT_GT(memory.reused_blocks(), 0);
    }
    EXPECT_EQ(Handle_Memory::mapped_bytes(), mapped_before) << threads;
  }
}

}  // namespace brel::sim

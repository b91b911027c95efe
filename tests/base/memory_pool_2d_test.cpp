#include "base/memory_pool_2d.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "support/standalone_render.h"
#include "util/memory_2d.h"

namespace {

using brel::Mapped_Memory_2d;
using brel::Render_Context;
using brel::test::Standalone_Render;

// A context whose two-dimensional memory goes through a pool; the blocks the pool takes from
// the underlying allocation are counted and can be watched going away.
struct Pooled_Context {
  explicit Pooled_Context(Standalone_Render& render) : context(render.context) {
    context.allocate_memory_2d = [this, allocate = render.context.allocate_memory_2d](
                                     int64_t width, int64_t height) {
      std::shared_ptr<Mapped_Memory_2d> block = allocate(width, height);
      fresh.push_back(block);
      return block;
    };
    brel::pool_memory_2d(context);
  }

  // Fresh blocks not yet given back.
  int64_t fresh_alive() const {
    int64_t alive = 0;
    for (const auto& block : fresh) {
      alive += static_cast<int64_t>(!block.expired());
    }
    return alive;
  }

  Render_Context context;
  std::vector<std::weak_ptr<Mapped_Memory_2d>> fresh;
};

TEST(Memory_Pool_2d, AReleasedBlockServesTheNextRequestItHoldsInThatRequestsShape) {
  Standalone_Render render(1);
  Pooled_Context pooled(render);
  std::shared_ptr<Mapped_Memory_2d> first = pooled.context.allocate_memory_2d(200, 10);
  uint8_t* const bytes = first->cpu_data();
  std::memset(bytes, 7, 256 * 10);
  first.reset();
  std::shared_ptr<Mapped_Memory_2d> second = pooled.context.allocate_memory_2d(100, 20);
  EXPECT_EQ(second->cpu_data(), bytes);
  EXPECT_EQ(second->width(), 100);
  EXPECT_EQ(second->height(), 20);
  EXPECT_EQ(second->cpu_pitch(), 128);
  EXPECT_EQ(second->device_data(), second->cpu_data());
  // Not cleared: what the last holder left is still there.
  EXPECT_EQ(second->cpu_data()[128 * 20 - 1], 7);
  EXPECT_EQ(pooled.fresh.size(), 1u);
  // A block that is still held serves nobody else.
  std::shared_ptr<Mapped_Memory_2d> third = pooled.context.allocate_memory_2d(4, 1);
  EXPECT_NE(third->cpu_data(), bytes);
  EXPECT_EQ(pooled.fresh.size(), 2u);
}

TEST(Memory_Pool_2d, TheSmallestBlockThatHoldsServesAndAMissGivesEveryKeptBlockBackFirst) {
  Standalone_Render render(1);
  Pooled_Context pooled(render);
  std::vector<std::shared_ptr<Mapped_Memory_2d>> held;
  for (const int64_t rows : {30, 10, 20}) {
    held.push_back(pooled.context.allocate_memory_2d(64, rows));
    held.back()->cpu_data();
  }
  const std::vector<uint8_t*> bytes = {held[0]->cpu_data(), held[1]->cpu_data(),
                                       held[2]->cpu_data()};
  held.clear();
  EXPECT_EQ(pooled.fresh_alive(), 3);
  // 15 rows fit the 20-row and the 30-row block: the 20-row one serves.
  std::shared_ptr<Mapped_Memory_2d> middle = pooled.context.allocate_memory_2d(64, 15);
  EXPECT_EQ(middle->cpu_data(), bytes[2]);
  // Exactly its size: the 30-row block.
  std::shared_ptr<Mapped_Memory_2d> large = pooled.context.allocate_memory_2d(30, 30);
  EXPECT_EQ(large->cpu_data(), bytes[0]);
  EXPECT_EQ(pooled.fresh.size(), 3u);
  // Nothing kept holds 31 rows: the 10-row block goes back before fresh memory is taken.
  std::shared_ptr<Mapped_Memory_2d> larger = pooled.context.allocate_memory_2d(64, 31);
  EXPECT_EQ(pooled.fresh.size(), 4u);
  EXPECT_TRUE(pooled.fresh[1].expired());
  EXPECT_EQ(pooled.fresh_alive(), 3);
}

TEST(Memory_Pool_2d, KeptBlocksGoBackWithTheLastContextAndTheLastHolder) {
  Standalone_Render render(1);
  auto pooled = std::make_unique<Pooled_Context>(render);
  std::shared_ptr<Mapped_Memory_2d> kept = pooled->context.allocate_memory_2d(64, 4);
  std::shared_ptr<Mapped_Memory_2d> held = pooled->context.allocate_memory_2d(64, 8);
  auto copy = std::make_unique<Render_Context>(pooled->context);
  const std::vector<std::weak_ptr<Mapped_Memory_2d>> fresh = pooled->fresh;
  kept.reset();
  pooled.reset();
  EXPECT_FALSE(fresh[0].expired()) << "a copy of the context still holds the pool";
  copy.reset();
  EXPECT_FALSE(fresh[0].expired()) << "a block handed out still holds the pool";
  EXPECT_FALSE(fresh[1].expired());
  held.reset();
  EXPECT_TRUE(fresh[0].expired());
  EXPECT_TRUE(fresh[1].expired());
}

// Render threads take and release blocks at once: no block is ever handed to two holders.
TEST(Memory_Pool_2d, ConcurrentRequestsNeverShareABlock) {
  Standalone_Render render(1);
  Render_Context context = render.context;
  brel::pool_memory_2d(context);
  // Each thread fills its blocks with its own number and checks it is still there on release.
  std::vector<std::thread> threads;
  std::vector<int64_t> overwritten(8, 0);
  for (int32_t t = 0; t < 8; ++t) {
    threads.emplace_back([&context, &overwritten, t] {
      for (int32_t round = 0; round < 200; ++round) {
        const int64_t rows = 1 + (round + t) % 5;
        std::shared_ptr<Mapped_Memory_2d> block = context.allocate_memory_2d(64, rows);
        uint8_t* bytes = block->cpu_data();
        std::memset(bytes, t + 1, static_cast<size_t>(64 * rows));
        std::this_thread::yield();
        for (int64_t i = 0; i < 64 * rows; ++i) {
          overwritten[t] += static_cast<int64_t>(bytes[i] != t + 1);
        }
      }
    });
  }
  for (std::thread& thread : threads) {
    thread.join();
  }
  EXPECT_EQ(overwritten, std::vector<int64_t>(8, 0));
}

}  // namespace

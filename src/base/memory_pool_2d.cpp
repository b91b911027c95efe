#include "base/memory_pool_2d.h"

#include <mutex>
#include <utility>
#include <vector>

#include "util/memory_2d.h"

namespace brel {

namespace {

using Allocate_2d = std::function<std::shared_ptr<Mapped_Memory_2d>(int64_t, int64_t)>;

int64_t capacity(Mapped_Memory_2d& block) {
  return block.cpu_pitch() * block.height();
}

class Memory_Pool_2d : public std::enable_shared_from_this<Memory_Pool_2d> {
 public:
  explicit Memory_Pool_2d(Allocate_2d allocate) : allocate_(std::move(allocate)) {}

  std::shared_ptr<Mapped_Memory_2d> take(int64_t width, int64_t height);

  void give_back(std::shared_ptr<Mapped_Memory_2d> block) noexcept {
    try {
      std::lock_guard lock(mutex_);
      kept_.push_back(std::move(block));
    } catch (...) {
      // No room to keep it: the block goes back to where it came from.
    }
  }

 private:
  Allocate_2d allocate_;
  std::mutex mutex_;
  std::vector<std::shared_ptr<Mapped_Memory_2d>> kept_;
};

// A request's own shape over a pooled block's bytes; the block returns to the pool with it.
class Pooled_Memory_2d final : public Memory_2d_Cpu {
 public:
  Pooled_Memory_2d(std::shared_ptr<Memory_Pool_2d> pool, std::shared_ptr<Mapped_Memory_2d> block,
                   int64_t width, int64_t height)
      : pool_(std::move(pool)),
        block_(std::move(block)),
        width_(width),
        height_(height),
        pitch_(padded_pitch(width)) {}
  ~Pooled_Memory_2d() override { pool_->give_back(std::move(block_)); }
  Pooled_Memory_2d(const Pooled_Memory_2d&) = delete;
  Pooled_Memory_2d& operator=(const Pooled_Memory_2d&) = delete;

  uint8_t* data() override { return block_->cpu_data(); }
  int64_t width() const override { return width_; }
  int64_t height() const override { return height_; }
  int64_t pitch() const override { return pitch_; }

 private:
  std::shared_ptr<Memory_Pool_2d> pool_;
  std::shared_ptr<Mapped_Memory_2d> block_;
  int64_t width_;
  int64_t height_;
  int64_t pitch_;
};

std::shared_ptr<Mapped_Memory_2d> Memory_Pool_2d::take(int64_t width, int64_t height) {
  const int64_t bytes = padded_pitch(width) * height;
  std::shared_ptr<Mapped_Memory_2d> block;
  std::vector<std::shared_ptr<Mapped_Memory_2d>> given_back;
  {
    std::lock_guard lock(mutex_);
    auto best = kept_.end();
    for (auto it = kept_.begin(); it != kept_.end(); ++it) {
      const int64_t size = capacity(**it);
      if (size >= bytes && (best == kept_.end() || size < capacity(**best))) {
        best = it;
      }
    }
    if (best != kept_.end()) {
      block = std::move(*best);
      kept_.erase(best);
    } else {
      given_back.swap(kept_);
    }
  }
  // Given back outside the lock, before the fresh request.
  given_back.clear();
  if (block == nullptr) {
    block = allocate_(width, height);
  }
  auto pooled =
      std::make_shared<Pooled_Memory_2d>(shared_from_this(), std::move(block), width, height);
  return std::make_shared<Mapped_Memory_2d>(pooled, pooled);
}

}  // namespace

void pool_memory_2d(Render_Context& context) {
  auto pool = std::make_shared<Memory_Pool_2d>(std::move(context.allocate_memory_2d));
  context.allocate_memory_2d = [pool](int64_t width, int64_t height) {
    return pool->take(width, height);
  };
}

}  // namespace brel

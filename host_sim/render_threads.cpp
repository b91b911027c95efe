#include "render_threads.h"

namespace brel::sim {

namespace {

// Marks the kept threads free again when a call that claimed them returns.
struct Idle_Again {
  std::atomic<bool>& busy;
  ~Idle_Again() { busy.store(false, std::memory_order_release); }
};

}  // namespace

Render_Threads::~Render_Threads() {
  stop_ = true;
  for (const std::unique_ptr<Thread>& thread : threads_) {
    thread->wake.release();
  }
  for (const std::unique_ptr<Thread>& thread : threads_) {
    thread->thread.join();
  }
}

int32_t Render_Threads::kept() const {
  return static_cast<int32_t>(threads_.size());
}

void Render_Threads::main(Render_Threads* self, Thread* thread, int32_t index) {
  for (;;) {
    thread->wake.acquire();
    if (self->stop_) {
      return;
    }
    (*self->task_)(index);
    thread->done.release();
  }
}

void Render_Threads::keep(int32_t count) {
  while (static_cast<int32_t>(threads_.size()) < count - 1) {
    auto thread = std::make_unique<Thread>();
    const int32_t index = static_cast<int32_t>(threads_.size()) + 1;
    thread->thread = std::thread(&Render_Threads::main, this, thread.get(), index);
    threads_.push_back(std::move(thread));
  }
}

void Render_Threads::reserve(int32_t count) {
  bool idle = false;
  if (!busy_.compare_exchange_strong(idle, true, std::memory_order_acquire)) {
    return;
  }
  const Idle_Again release{busy_};
  keep(count);
}

void Render_Threads::run(int32_t count, const std::function<void(int32_t)>& task) {
  bool idle = false;
  if (!busy_.compare_exchange_strong(idle, true, std::memory_order_acquire)) {
    std::vector<std::thread> own;
    for (int32_t i = 1; i < count; ++i) {
      own.emplace_back(task, i);
    }
    task(0);
    for (std::thread& thread : own) {
      thread.join();
    }
    return;
  }
  const Idle_Again release{busy_};
  keep(count);
  task_ = &task;
  for (int32_t i = 1; i < count; ++i) {
    threads_[static_cast<size_t>(i - 1)]->wake.release();
  }
  task(0);
  for (int32_t i = 1; i < count; ++i) {
    threads_[static_cast<size_t>(i - 1)]->done.acquire();
  }
  task_ = nullptr;
}

}  // namespace brel::sim

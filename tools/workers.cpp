#include "workers.h"

#include <algorithm>

namespace lumbrix {

Workers::Workers(int64_t count) : count_(std::max<int64_t>(1, count)) {
  threads_.reserve(static_cast<size_t>(count_ - 1));
  for (int64_t i = 1; i < count_; ++i) {
    threads_.emplace_back([this] { loop(); });
  }
}

Workers::~Workers() {
  {
    const std::lock_guard lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  for (std::thread& thread : threads_) {
    thread.join();
  }
}

void Workers::work() {
  while (!failed_.load(std::memory_order_acquire)) {
    const int64_t i = next_.fetch_add(1, std::memory_order_relaxed);
    if (i >= n_) {
      return;
    }
    try {
      (*job_)(i);
    } catch (...) {
      const std::lock_guard lock(mutex_);
      if (!failure_) {
        failure_ = std::current_exception();
      }
      failed_.store(true, std::memory_order_release);
    }
  }
}

void Workers::loop() {
  uint64_t seen = 0;
  std::unique_lock lock(mutex_);
  for (;;) {
    wake_.wait(lock, [&] { return stop_ || generation_ != seen; });
    if (stop_) {
      return;
    }
    seen = generation_;
    lock.unlock();
    work();
    lock.lock();
    if (--busy_ == 0) {
      done_.notify_one();
    }
  }
}

void Workers::run(int64_t n, const std::function<void(int64_t)>& job) {
  if (n <= 0) {
    return;
  }
  if (threads_.empty() || n == 1) {
    for (int64_t i = 0; i < n; ++i) {
      job(i);
    }
    return;
  }
  {
    const std::lock_guard lock(mutex_);
    job_ = &job;
    n_ = n;
    next_.store(0, std::memory_order_relaxed);
    failed_.store(false, std::memory_order_relaxed);
    busy_ = static_cast<int64_t>(threads_.size());
    ++generation_;
  }
  wake_.notify_all();
  work();
  std::unique_lock lock(mutex_);
  done_.wait(lock, [&] { return busy_ == 0; });
  job_ = nullptr;
  if (failure_) {
    std::exception_ptr failure = nullptr;
    std::swap(failure, failure_);
    std::rethrow_exception(failure);
  }
}

}  // namespace lumbrix

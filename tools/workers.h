#pragma once

// The renderer's own parallel loop, for decoding, converting and encoding rows of image files.
// The renderer reaches the effect only through the simulated host, as a host would, so it
// keeps this small loop rather than linking the effect's thread pool.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace lumbrix {

class Workers {
 public:
  // `count` workers, the calling thread counting as one (at least 1).
  explicit Workers(int64_t count);
  ~Workers();
  Workers(const Workers&) = delete;
  Workers& operator=(const Workers&) = delete;

  int64_t count() const { return count_; }

  // Calls job(i) once for every i in [0, n) and returns when every call has returned. The first
  // exception any call throws is raised here after the others have ended; once one is thrown
  // no further index is handed out. A job must not call run.
  void run(int64_t n, const std::function<void(int64_t)>& job);

 private:
  void work();  // takes indices of the current job until none is left
  void loop();  // one worker thread

  const int64_t count_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable done_;
  uint64_t generation_ = 0;  // one more for every job handed to the threads
  int64_t busy_ = 0;         // threads still working on the current job
  bool stop_ = false;
  const std::function<void(int64_t)>* job_ = nullptr;
  int64_t n_ = 0;
  std::atomic<int64_t> next_{0};
  std::atomic<bool> failed_{false};
  std::exception_ptr failure_;  // guarded by the mutex
  std::vector<std::thread> threads_;
};

}  // namespace lumbrix

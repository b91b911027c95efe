#pragma once

// The host's render threads. A host keeps its threads for the life of the application and
// hands each parallel loop to them; making fresh threads for every loop cost a full 3840 x 2160
// render about 530 thread starts, each with a fresh stack to fault in.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <semaphore>
#include <thread>
#include <vector>

namespace brel::sim {

class Render_Threads {
 public:
  Render_Threads() = default;
  ~Render_Threads();
  Render_Threads(const Render_Threads&) = delete;
  Render_Threads& operator=(const Render_Threads&) = delete;

  // Calls task(i) for every i in 0 .. count - 1 and returns when all calls have returned:
  // task(0) on the calling thread, the others on kept threads, made when first needed. A call
  // made while another is under way (from one of its tasks, or from another thread) runs on
  // threads of its own instead. The task must not throw.
  void run(int32_t count, const std::function<void(int32_t)>& task);

  // Makes the kept threads for loops of up to `count` tasks now, so that the first loop of a
  // render does not start them one after another on its own thread. Does nothing while a loop
  // runs on the kept threads.
  void reserve(int32_t count);

  // Threads kept so far.
  int32_t kept() const;

 private:
  struct Thread {
    std::binary_semaphore wake{0};
    std::binary_semaphore done{0};
    std::thread thread;
  };
  static void main(Render_Threads* self, Thread* thread, int32_t index);
  void keep(int32_t count);  // the caller has set busy_

  std::atomic<bool> busy_{false};  // set while a call's tasks run on the kept threads
  std::vector<std::unique_ptr<Thread>> threads_;  // slot i - 1 runs task i
  const std::function<void(int32_t)>* task_ = nullptr;
  bool stop_ = false;
};

}  // namespace brel::sim

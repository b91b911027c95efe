#pragma once

// Where a render's time goes: a tree of named timing scopes with durations and memory traffic,
// written to the log as a fixed-width report at the end of every render command.

#include <sys/time.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace brel {

// Abstract wall-clock stop watch.
class Stop_Watch {
 public:
  virtual ~Stop_Watch() = default;
  virtual void start() = 0;
  virtual void stop() = 0;
  // Seconds from the start to now.
  virtual double elapsed() const = 0;
  // Seconds from the start to the stop.
  virtual double duration() const = 0;
};

// A stop watch on the system clock (gettimeofday); construction starts it.
class Stop_Watch_System final : public Stop_Watch {
 public:
  Stop_Watch_System();
  void start() override;
  void stop() override;
  double elapsed() const override;
  double duration() const override;

 private:
  timeval start_{};
  timeval stop_{};
};

// Measures nothing: the scopes of a render with the log inactive use it.
class Stop_Watch_Void final : public Stop_Watch {
 public:
  void start() override {}
  void stop() override {}
  double elapsed() const override { return 0.0; }
  double duration() const override { return 0.0; }
};

class Timing_Table {
 public:
  // One node of the tree.
  struct Timing {
    int64_t workload = 0;              // bytes of memory traffic of the scope
    double reference_bandwidth = 0.0;  // bytes per second to compare with; 0 means none
    double start = 0.0;                // seconds from the table's start
    double end = 0.0;                  // 0 while open
    double measured_duration = -1.0;   // by the scope's own stop watch; -1 when it has none
    std::string name;
    Timing* parent = nullptr;  // not owned
    std::vector<std::shared_ptr<Timing>> children;
  };

  // An open scope. It closes when the last shared reference to it goes; while open, the
  // workload of its node may still be written (the kernel base stores its estimate there).
  class Scope_Timer {
   public:
    Scope_Timer(std::shared_ptr<Timing> node, Stop_Watch* clock, Timing_Table* table,
                std::unique_ptr<Stop_Watch> own_stop_watch);
    ~Scope_Timer();
    Scope_Timer(const Scope_Timer&) = delete;
    Scope_Timer& operator=(const Scope_Timer&) = delete;

    Timing& timing() { return *node_; }

   private:
    std::shared_ptr<Timing> node_;
    Stop_Watch* clock_;
    Timing_Table* table_;
    std::unique_ptr<Stop_Watch> own_stop_watch_;
  };

  // A named section of the timing; the render contexts hand out none.
  class Scope_Section {};

  // The table's clock is the system clock.
  Timing_Table();
  // A table reading the given clock, so that a report's times can be made exact.
  explicit Timing_Table(std::unique_ptr<Stop_Watch> clock);
  Timing_Table(const Timing_Table&) = delete;
  Timing_Table& operator=(const Timing_Table&) = delete;

  // Restarts the clock and begins a new tree with the root "root".
  void reset();

  // Opens a scope under the current one and makes it current.
  std::shared_ptr<Scope_Timer> scope_timer(const std::string& name, int64_t workload,
                                           std::unique_ptr<Stop_Watch> own_stop_watch,
                                           double reference_bandwidth);

  // Makes the current scope's parent current without closing anything.
  void leave_scope();

  // Closes the root and formats the whole tree.
  std::string report();

  // The tree, for readers that hold no scope open.
  const Timing& root() const { return *root_; }

 private:
  friend class Scope_Timer;

  std::unique_ptr<Stop_Watch> clock_;
  std::shared_ptr<Timing> root_;
  Timing* current_ = nullptr;  // the node under which the next scope opens
};

}  // namespace brel

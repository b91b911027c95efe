// Randomised host runs against the plug-in library, replayable from their seed.
//
//   lumbrix-fuzz --seed N [--verbose]            replays one run and prints its steps
//   lumbrix-fuzz --seeds FIRST-LAST [--workers N]  runs a fixed set of seeds
//   lumbrix-fuzz --time SECONDS --workers N [--first SEED]
//                                               a campaign: seeds from FIRST on until the time
//                                               is up
//
// Runs go to worker processes, so a signal or a sanitizer report ends only the worker; the
// driver names the seed it was running and starts another. A worker also leaves after
// `seeds_a_worker` runs and a fresh one takes its place. A run that takes longer than
// --seed-timeout seconds (60 by default) counts as failed. Prints seeds run, time, seeds per
// second, failures, each failure and the list of failing seeds; answers 1 when any seed
// failed.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "host_run.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int max_workers = 64;

// Under AddressSanitizer a worker's memory grew by about 4 MB a run, which its allocator kept
// after the run had freed it: in a campaign of 4 workers one reached 15 GB within five minutes,
// its runs slowed past the time limit and the machine ran short of memory. A fresh worker every
// 64 runs bounds that, and the fixed seeds of the test suite take this path too.
constexpr uint64_t seeds_a_worker = 64;

struct Worker_Slot {
  std::atomic<uint64_t> seed;
  std::atomic<int64_t> started_ms;  // 0 while between seeds
};

// Shared by the driver and its workers.
struct Shared {
  std::atomic<uint64_t> next_seed;
  std::atomic<uint64_t> last_seed;  // no seed after this one is taken
  std::atomic<uint64_t> finished;
  std::atomic<int32_t> stop;
  Worker_Slot workers[max_workers];
};

int64_t now_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch())
      .count();
}

struct Options {
  brel::fuzz::Run_Options run;
  bool replay = false;
  uint64_t first = 1;
  uint64_t last = UINT64_MAX;
  double seconds = 0.0;  // 0: until the last seed
  int32_t workers = 1;
  int32_t seed_timeout = 60;
};

[[noreturn]] void usage(const char* message) {
  std::cerr << "lumbrix-fuzz: " << message
            << "\nusage: lumbrix-fuzz [--library PATH] (--seed N [--verbose] | --seeds FIRST-LAST "
               "| --time SECONDS [--first SEED]) [--workers N] [--seed-timeout SECONDS]\n";
  std::exit(2);
}

Options parse(int argc, char** argv) {
  Options options;
  options.run.library = LUMBRIX_PLUGIN_PATH;
  bool chosen = false;
  for (int k = 1; k < argc; ++k) {
    const std::string arg = argv[k];
    const auto value = [&]() -> std::string {
      if (k + 1 >= argc) {
        usage(("missing value after " + arg).c_str());
      }
      return argv[++k];
    };
    try {
      if (arg == "--library") {
        options.run.library = value();
      } else if (arg == "--seed") {
        options.replay = true;
        options.first = std::stoull(value());
        options.last = options.first;
        chosen = true;
      } else if (arg == "--seeds") {
        const std::string range = value();
        const size_t dash = range.find('-');
        if (dash == std::string::npos) {
          usage("--seeds takes FIRST-LAST");
        }
        options.first = std::stoull(range.substr(0, dash));
        options.last = std::stoull(range.substr(dash + 1));
        chosen = true;
      } else if (arg == "--time") {
        options.seconds = std::stod(value());
        chosen = true;
      } else if (arg == "--first") {
        options.first = std::stoull(value());
      } else if (arg == "--workers") {
        options.workers = std::stoi(value());
      } else if (arg == "--seed-timeout") {
        options.seed_timeout = std::stoi(value());
      } else if (arg == "--verbose") {
        options.run.verbose = true;
      } else {
        usage(("unknown option " + arg).c_str());
      }
    } catch (const std::logic_error&) {
      usage(("bad value for " + arg).c_str());
    }
  }
  if (!chosen) {
    usage("choose --seed, --seeds or --time");
  }
  if (options.workers < 1 || options.workers > max_workers || options.first > options.last) {
    usage("workers must be 1 to 64, and FIRST at most LAST");
  }
  return options;
}

// A worker: takes seeds until none is left or the driver says stop; writes one line per failure
// to `report`.
[[noreturn]] void work(Shared* shared, int32_t index, int report, const Options& options) {
  Worker_Slot& slot = shared->workers[index];
  // The library prints backtraces of the failures it reports; the driver prints what failed.
  const int null = open("/dev/null", O_WRONLY);
  if (null >= 0) {
    dup2(null, STDOUT_FILENO);
    close(null);
  }
  for (uint64_t runs = 0; runs < seeds_a_worker && shared->stop.load() == 0; ++runs) {
    const uint64_t seed = shared->next_seed.fetch_add(1);
    if (seed > shared->last_seed.load()) {
      break;
    }
    slot.seed.store(seed);
    slot.started_ms.store(now_ms());
    const brel::fuzz::Run_Result result = brel::fuzz::run_seed(seed, options.run);
    for (const std::string& failure : result.failures) {
      // One write per line, short enough to arrive whole.
      const std::string line = failure.substr(0, 2000) + "\n";
      [[maybe_unused]] const ssize_t written = write(report, line.data(), line.size());
    }
    slot.started_ms.store(0);
    shared->finished.fetch_add(1);
  }
  std::fflush(nullptr);
  _exit(0);
}

pid_t start_worker(Shared* shared, int32_t index, int report, const Options& options) {
  const pid_t pid = fork();
  if (pid < 0) {
    std::perror("fork");
    std::exit(2);
  }
  if (pid == 0) {
    work(shared, index, report, options);
  }
  return pid;
}

int campaign(const Options& options) {
  void* memory =
      mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (memory == MAP_FAILED) {
    std::perror("mmap");
    return 2;
  }
  auto* shared = new (memory) Shared();
  shared->next_seed.store(options.first);
  shared->last_seed.store(options.last);
  int pipe_ends[2];
  if (pipe(pipe_ends) != 0) {
    std::perror("pipe");
    return 2;
  }
  std::fflush(nullptr);
  std::map<pid_t, int32_t> workers;
  for (int32_t k = 0; k < options.workers; ++k) {
    workers[start_worker(shared, k, pipe_ends[1], options)] = k;
  }

  std::vector<std::string> failures;
  std::string pending;
  const auto drain = [&](int timeout_ms) {
    pollfd fd{pipe_ends[0], POLLIN, 0};
    while (poll(&fd, 1, timeout_ms) > 0 && (fd.revents & POLLIN) != 0) {
      char buffer[4096];
      const ssize_t n = read(pipe_ends[0], buffer, sizeof(buffer));
      if (n <= 0) {
        break;
      }
      pending.append(buffer, static_cast<size_t>(n));
      size_t end;
      while ((end = pending.find('\n')) != std::string::npos) {
        failures.push_back(pending.substr(0, end));
        std::cout << "FAIL " << failures.back() << std::endl;
        pending.erase(0, end + 1);
      }
      timeout_ms = 0;
    }
  };

  const int64_t start = now_ms();
  int64_t last_progress = start;
  while (!workers.empty()) {
    drain(100);
    const int64_t now = now_ms();
    if (options.seconds > 0.0 && now - start >= static_cast<int64_t>(options.seconds * 1000.0)) {
      shared->stop.store(1);
    }
    if (now - last_progress >= 10000) {
      last_progress = now;
      const uint64_t done = shared->finished.load();
      std::cout << "... " << done << " seeds, "
                << static_cast<double>(done) * 1000.0 / static_cast<double>(now - start)
                << " seeds/s, " << failures.size() << " failures" << std::endl;
    }
    // Runs beyond their time are ended like crashed ones.
    for (const auto& [pid, index] : workers) {
      const int64_t started = shared->workers[index].started_ms.load();
      if (started != 0 && now - started > int64_t{options.seed_timeout} * 1000) {
        kill(pid, SIGKILL);
      }
    }
    int status = 0;
    pid_t pid;
    while ((pid = waitpid(-1, &status, WNOHANG)) > 0) {
      const auto it = workers.find(pid);
      if (it == workers.end()) {
        continue;
      }
      const int32_t index = it->second;
      workers.erase(it);
      Worker_Slot& slot = shared->workers[index];
      const bool clean = WIFEXITED(status) && WEXITSTATUS(status) == 0;
      if (!clean && slot.started_ms.load() != 0) {
        const std::string how =
            WIFSIGNALED(status)
                ? (WTERMSIG(status) == SIGKILL
                       ? "took longer than " + std::to_string(options.seed_timeout) + " s"
                       : "ended by signal " + std::to_string(WTERMSIG(status)))
                : "ended with exit code " + std::to_string(WEXITSTATUS(status));
        failures.push_back("seed " + std::to_string(slot.seed.load()) + ": the run " + how +
                           " (a crash or a sanitizer report)");
        std::cout << "FAIL " << failures.back() << std::endl;
        slot.started_ms.store(0);
        shared->finished.fetch_add(1);
      }
      const bool more =
          shared->stop.load() == 0 && shared->next_seed.load() <= shared->last_seed.load();
      if (more) {
        std::fflush(nullptr);
        workers[start_worker(shared, index, pipe_ends[1], options)] = index;
      }
    }
  }
  drain(0);
  const double seconds = static_cast<double>(now_ms() - start) / 1000.0;
  const uint64_t done = shared->finished.load();
  std::cout << "seeds run: " << done << " (from " << options.first << ")\n"
            << "time: " << seconds << " s with " << options.workers << " workers\n"
            << "seeds per second: " << static_cast<double>(done) / seconds << "\n"
            << "failures: " << failures.size() << "\n";
  // Every failure line begins with its seed.
  std::set<uint64_t> failing_seeds;
  for (const std::string& failure : failures) {
    std::cout << "failing " << failure << "\n";
    failing_seeds.insert(std::strtoull(failure.c_str() + std::strlen("seed "), nullptr, 10));
  }
  if (!failing_seeds.empty()) {
    std::cout << "failing seeds:";
    for (const uint64_t seed : failing_seeds) {
      std::cout << " " << seed;
    }
    std::cout << "\n";
  }
  // A fixed set counts only when every seed of it ran: workers that stopped coming back would
  // otherwise pass it on its first seeds alone.
  const bool whole = options.seconds > 0.0 || done == options.last - options.first + 1;
  if (!whole) {
    std::cout << "only " << done << " of " << options.last - options.first + 1 << " seeds ran\n";
  }
  return failures.empty() && whole ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  const Options options = parse(argc, argv);
  if (options.replay) {
    const brel::fuzz::Run_Result result = brel::fuzz::run_seed(options.first, options.run);
    for (const std::string& failure : result.failures) {
      std::cout << "FAIL " << failure << "\n";
    }
    std::cout << (result.failures.empty() ? "seed passed\n" : "seed failed\n");
    return result.failures.empty() ? 0 : 1;
  }
  return campaign(options);
}

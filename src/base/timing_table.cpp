#include "base/timing_table.h"

#include <iomanip>
#include <mutex>
#include <sstream>

namespace brel {

namespace {

// One mutex for every table of the process: scopes may be opened from any thread, and the
// report must not read a tree while another thread changes it.
std::mutex timing_mutex;

double seconds_between(const timeval& from, const timeval& to) {
  return static_cast<double>(to.tv_sec - from.tv_sec) +
         static_cast<double>(to.tv_usec - from.tv_usec) / 1e6;
}

timeval now() {
  timeval time{};
  gettimeofday(&time, nullptr);
  return time;
}

int64_t total_workload(const Timing_Table::Timing& node) {
  int64_t sum = node.workload;
  for (const auto& child : node.children) {
    sum += total_workload(*child);
  }
  return sum;
}

void write_row(std::ostringstream& out, const Timing_Table::Timing& node, int indentation,
               double total) {
  double children_time = 0.0;
  for (const auto& child : node.children) {
    children_time += child->end - child->start;
  }
  const double exclusive = (node.end - node.start) - children_time;
  const double workload = static_cast<double>(node.workload);
  const bool measured = node.measured_duration >= 0.0;
  const double bandwidth = workload / (measured ? node.measured_duration : exclusive);

  out << std::left << std::setw(7) << std::setprecision(4) << node.start << "  " << std::setw(60)
      << (std::string(indentation, ' ') + node.name) << std::right << std::setw(17) << exclusive
      << " (" << std::setw(6) << std::setprecision(2) << 100.0 * exclusive / total << "%)";
  if (measured) {
    out << std::setw(16) << std::setprecision(4) << node.measured_duration - children_time;
  } else {
    out << std::string(16, ' ');
  }
  out << std::setw(17) << std::setprecision(4) << workload * 1e-9 << std::setw(17)
      << std::setprecision(2) << bandwidth * 1e-9;
  if (node.reference_bandwidth > 0.0) {
    out << " (" << std::setw(6) << 100.0 * bandwidth / node.reference_bandwidth << "% of "
        << node.reference_bandwidth * 1e-9 << ")";
  }
  out << "\n";
}

void write_rows(std::ostringstream& out, const Timing_Table::Timing& node, int indentation,
                double total) {
  write_row(out, node, indentation, total);
  for (size_t i = 0; i < node.children.size(); ++i) {
    const Timing_Table::Timing& child = *node.children[i];
    // A child with its own scopes stands apart from the siblings before it.
    if (i > 0 && !child.children.empty()) {
      out << "\n";
    }
    write_rows(out, child, indentation + 3, total);
  }
  if (!node.children.empty()) {
    out << "\n";
  }
}

}  // namespace

Stop_Watch_System::Stop_Watch_System() : start_(now()) {}

void Stop_Watch_System::start() {
  start_ = now();
}

void Stop_Watch_System::stop() {
  stop_ = now();
}

double Stop_Watch_System::elapsed() const {
  return seconds_between(start_, now());
}

double Stop_Watch_System::duration() const {
  return seconds_between(start_, stop_);
}

Timing_Table::Scope_Timer::Scope_Timer(std::shared_ptr<Timing> node, Stop_Watch* clock,
                                       Timing_Table* table,
                                       std::unique_ptr<Stop_Watch> own_stop_watch)
    : node_(std::move(node)),
      clock_(clock),
      table_(table),
      own_stop_watch_(std::move(own_stop_watch)) {}

Timing_Table::Scope_Timer::~Scope_Timer() {
  std::lock_guard lock(timing_mutex);
  if (own_stop_watch_ != nullptr) {
    node_->measured_duration = own_stop_watch_->elapsed();
  }
  node_->end = clock_->elapsed();
  // The scope's parent becomes current even when scopes close out of order.
  table_->current_ = node_->parent;
}

Timing_Table::Timing_Table() : Timing_Table(std::make_unique<Stop_Watch_System>()) {}

Timing_Table::Timing_Table(std::unique_ptr<Stop_Watch> clock) : clock_(std::move(clock)) {
  reset();
}

void Timing_Table::reset() {
  clock_->start();
  std::lock_guard lock(timing_mutex);
  root_ = std::make_shared<Timing>();
  root_->name = "root";
  root_->start = clock_->elapsed();
  current_ = root_.get();
}

std::shared_ptr<Timing_Table::Scope_Timer> Timing_Table::scope_timer(
    const std::string& name, int64_t workload, std::unique_ptr<Stop_Watch> own_stop_watch,
    double reference_bandwidth) {
  std::lock_guard lock(timing_mutex);
  auto node = std::make_shared<Timing>();
  node->workload = workload;
  node->reference_bandwidth = reference_bandwidth;
  node->start = clock_->elapsed();
  node->name = name;
  node->parent = current_;
  current_->children.push_back(node);
  current_ = node.get();
  return std::make_shared<Scope_Timer>(std::move(node), clock_.get(), this,
                                       std::move(own_stop_watch));
}

void Timing_Table::leave_scope() {
  std::lock_guard lock(timing_mutex);
  if (current_->parent != nullptr) {
    current_ = current_->parent;
  }
}

std::string Timing_Table::report() {
  std::lock_guard lock(timing_mutex);
  root_->end = clock_->elapsed();
  const double total = root_->end;

  std::ostringstream out;
  out << std::fixed;
  out << "\n\n"
      << std::string(7 + 2 + 60, ' ') << std::right << std::setw(27) << "duration (s)"
      << std::setw(16) << "dedicated (s)" << std::setw(17) << "workload (gb)" << std::setw(17)
      << "bandwidth (gb/s)"
      << "\n";
  write_rows(out, *root_, 0, total);
  out << std::string(152, '-') << "\n"
      << std::left << std::setw(7) << std::setprecision(4) << clock_->elapsed() << "  "
      << std::string(60, ' ') << std::right << std::setw(17) << total << " (100.00%)"
      << std::string(16, ' ') << std::setw(17) << static_cast<double>(total_workload(*root_)) * 1e-9
      << "\n\n";
  return out.str();
}

}  // namespace brel

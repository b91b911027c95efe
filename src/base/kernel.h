#pragma once

// The kernel base. Every image pass is a kernel: an object that holds its parameters by value
// (a `Parameters_In` record of layer views and scalars) and, when executed, spreads its work
// over the rows of its layers through the render context's parallel loop.

#include <cstdint>
#include <functional>
#include <string>
#include <type_traits>

#include "base/render_context.h"
#include "util/thread_iteration.h"

namespace brel {

// Tag of the CPU implementation; kernel class templates take it as their last argument.
struct Implementation_Cpu {};

// Abstract root of all kernels.
class Kernel {
 public:
  virtual ~Kernel() = default;
};

template <class Implementation>
class Kernel_Implementation;

// The CPU kernel base. A kernel supplies `run` and usually `name` and `workload`; `execute` is
// the same for every kernel.
template <>
class Kernel_Implementation<Implementation_Cpu> : public Kernel {
 public:
  ~Kernel_Implementation() override = default;

  // Polls for abort, opens a timing scope under the kernel's name, runs the kernel on its own
  // copy of the context and stores the workload estimate in the scope. A failure in `run`
  // still closes the scope; its workload then stays 0.
  virtual void execute(const Render_Context& context) final;

  virtual int64_t reserved_query() const { return 0; }
  virtual std::string name() const { return "kernel without a name"; }
  // Bytes the run reads and writes, computed from the parameters alone.
  virtual int64_t workload() const { return 0; }
  virtual void run(Render_Context context) = 0;
};

// Binds a kernel body to its arguments: the body is a plain function of the iteration, the
// render context and its further arguments (the kernel's `Parameters_In` and any extra views),
// all by value, so every call gets its own copies of them.
template <class Body, class... Arguments>
class Cpu_Kernel_Launch_Helper {
 public:
  Cpu_Kernel_Launch_Helper(Body body, const Render_Context& context, const Arguments&... arguments)
      : job(std::bind(body, std::placeholders::_1, context, arguments...)) {}

  void iterate(Iteration iteration) { job(iteration); }

  std::function<void(const Iteration&)> job;
};

// Runs `body` over `count` iterations through the context's parallel loop, then polls for
// abort once on the launching thread, so even an empty loop notices a pending abort.
template <class... Parameters>
void cpu_kernel_launch(int64_t count, void (*body)(const Iteration&, Render_Context, Parameters...),
                       const Render_Context& context,
                       const std::type_identity_t<Parameters>&... arguments) {
  using Body = void (*)(const Iteration&, Render_Context, Parameters...);
  Cpu_Kernel_Launch_Helper<Body, Parameters...> helper(body, context, arguments...);
  {
    std::function<void(const Iteration&)> iterate = std::bind(
        &Cpu_Kernel_Launch_Helper<Body, Parameters...>::iterate, &helper, std::placeholders::_1);
    context.parallel_for(count, iterate);
  }
  context.check_abort();
}

}  // namespace brel

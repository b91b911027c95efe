#include "base/kernel.h"

#include <memory>

namespace brel {

void Kernel_Implementation<Implementation_Cpu>::execute(const Render_Context& context) {
  context.check_abort();
  const std::string kernel_name = name();
  std::shared_ptr<Timing_Table::Scope_Timer> scope = context.scope_timer(kernel_name, 0);
  run(context);
  if (scope != nullptr) {
    scope->timing().workload = workload();
  }
  scope.reset();
}

}  // namespace brel

#include "base/render_context.h"

#include "base/log.h"

namespace brel {

void bind_timing(Render_Context& context, Timing_Table* timing_table) {
  context.timing_hook = [](std::string) {};
  context.scope_timer = [timing_table](std::string name, int64_t workload) {
    if (global_log().is_enabled()) {
      return timing_table->scope_timer(name + " (Cpu)", workload, nullptr, 0.0);
    }
    return timing_table->scope_timer("(Void)", 0, std::make_unique<Stop_Watch_Void>(), 0.0);
  };
  context.scope_section = [](std::string) {
    return std::shared_ptr<Timing_Table::Scope_Section>();
  };
}

}  // namespace brel

#include "driver/console.h"
#include "footprint/footprint_check.h"
#include "system/dll_search.h"

// The command line is not read: the check asks one fixed set of questions, changes nothing and
// waits for nothing, so a deployment system can run it as a detection rule or a follow-up step.
int main() {
  voxtrel::restrict_dll_search();
  const auto reports = voxtrel::check_footprint();
  for (const auto& report : reports) voxtrel::print(voxtrel::report_line(report));
  (void)voxtrel::flush_output();
  return voxtrel::footprint_exit_code(reports);
}

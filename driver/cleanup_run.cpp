#include "driver/cleanup_run.h"

#include <string>
#include <vector>

#include "agent/footprint.h"
#include "driver/console.h"
#include "driver/elevation_gate.h"
#include "driver/folder_removal.h"
#include "driver/leftover_sweep.h"
#include "driver/msi_removal.h"
#include "driver/progress_title.h"
#include "driver/transcript.h"
#include "system/path.h"
#include "system/process_runner.h"
#include "system/sleep.h"
#include "system/windows_api.h"

namespace voxtrel {
namespace {

constexpr std::uint32_t kServiceStopPauseMs = 2000;
constexpr SystemProgram kServiceController{.name = "sc.exe", .file = "sc.exe"};
constexpr SystemProgram kTaskKill{.name = "taskkill", .file = "taskkill.exe"};

void print_banner(std::string_view title) {
  print("\n");
  print(transcript::kRule);
  print("\n");
  print(title);
  print(transcript::kRule);
  print("\n\n");
}

// Runs one of the system's own programs on the shared console; its outcome, or its not starting,
// does not change the step.
void run_system_program(const SystemProgram& program,
                        std::initializer_list<std::string> arguments) {
  const std::vector<std::string> list(arguments);
  (void)run_and_wait(program, list);
}

void stop_service() {
  run_system_program(kServiceController, {"stop", std::string(kServiceName)});
  pause_for(kServiceStopPauseMs);
  print(transcript::kDone);
}

void delete_service() {
  run_system_program(kServiceController, {"delete", std::string(kServiceName)});
  print(transcript::kDone);
}

void kill_agent_processes() {
  run_system_program(kTaskKill, {"/F", "/IM", std::string(kAgentImageName)});
  print(transcript::kDone);
}

void remove_product_key() {
  // The tool's own 64-bit view: the 32-bit view's key of the same name is not the agent's.
  const LSTATUS status = RegDeleteTreeW(HKEY_LOCAL_MACHINE, kProductKey.data());
  print(product_key_line(status));
}

void sweep_both_roots(WalkProgress* progress) {
  SweepCounts total;
  for (const std::string_view root : kSearchRoots) total += sweep_leftovers(root, progress);
  print(leftover_summary(total));
}

void wait_for_enter() {
  print(transcript::kPrompt);
  (void)flush_output();
  read_line_from_input();
}

}  // namespace

std::string_view product_key_line(long status) noexcept {
  if (status == ERROR_SUCCESS) return transcript::kKeyRemoved;
  if (status == ERROR_FILE_NOT_FOUND) return transcript::kKeyNotFound;
  return transcript::kKeyFailed;
}

int cleanup_run() {
  print_banner(transcript::kTitle);
  // The copy that was not elevated has asked for an elevated one and ends here, without prompt.
  if (elevation_gate() == GateOutcome::kStop) return 0;
  // Each step's header, then its action, which prints the step's own lines.
  print(transcript::kStep1);
  stop_service();
  print(transcript::kStep2);
  delete_service();
  print(transcript::kStep3);
  kill_agent_processes();
  print(transcript::kStep4);
  remove_msi_products();
  {
    // Steps 5, 6 and 8 can take minutes: the console's title shows how far they are, and the
    // original title comes back here, before the closing banner.
    ProgressTitle title;
    print(transcript::kStep5);
    remove_folder(kProgramFolder, title.start_step(5, WalkKind::kRemoval));
    print(transcript::kStep6);
    remove_folder(kDataFolder, title.start_step(6, WalkKind::kRemoval));
    print(transcript::kStep7);
    remove_product_key();
    print(transcript::kStep8);
    sweep_both_roots(title.start_step(8, WalkKind::kSearch));
  }
  print_banner(transcript::kComplete);
  wait_for_enter();
  return 0;
}

}  // namespace voxtrel

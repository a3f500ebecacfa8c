#include "driver/cleanup_run.h"
#include "system/dll_search.h"

// The command line is not read: the tool has one fixed job.
int main() {
  voxtrel::restrict_dll_search();
  return voxtrel::cleanup_run();
}

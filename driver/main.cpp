#include "driver/cleanup_run.h"

// The command line is not read: the tool has one fixed job.
int main() {
  return voxtrel::cleanup_run();
}

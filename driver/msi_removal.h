// Step 4 of the run: every product in the two uninstall lists whose display name holds
// "Voxtrel" is uninstalled quietly through Windows Installer, one at a time.
#pragma once

#include "agent/footprint.h"

namespace voxtrel {

// Scans both roots and, per root, prints one line per match and waits for its quiet uninstall
// before the next; then prints the summary line. A match whose entry an earlier uninstall took
// with it is skipped without a line. Nothing it meets stops the run.
void remove_msi_products();

}  // namespace voxtrel

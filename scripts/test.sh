#!/usr/bin/env bash
# The test command: installs what is missing, builds the release tool and the tests, boots a
# throwaway Wine prefix and runs every test through CTest. Extra arguments go to ctest
# (for example -R sweep, or -L unit). VOXTREL_TEST_PRESET=test-release builds and runs the tests
# optimised, as the release tool is built (the scenarios run the release tool either way).
set -euo pipefail
source "$(dirname "$0")/lib/fixed-layout.sh"
cd "$(dirname "$0")/.."
source scripts/lib/wine.sh

scripts/install-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release
preset=${VOXTREL_TEST_PRESET:-test}
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset"

scratch=$(mktemp -d /tmp/voxtrel-tests.XXXXXX)
cleanup() {
  wine_stop_prefix "$scratch/unit"
  rm -rf "$scratch"
}
trap cleanup EXIT

# One booted template; the unit tests run in a copy of it (one wineserver for all of them), and
# each end-to-end scenario copies it again into a prefix of its own.
wine_boot_prefix "$scratch/template"
wine_copy_prefix "$scratch/template" "$scratch/unit"
export VOXTREL_TEMPLATE_PREFIX="$scratch/template"
export WINEPREFIX="$scratch/unit"
wine_start_prefix "$scratch/unit"

ctest --preset "$preset" -j "$(nproc)" "$@"

#!/usr/bin/env bash
# Runs the Windows test bundle that scripts/package-tests.sh wrote, unpacked from its archive into
# a scratch folder, under Wine by its own run-tests.cmd, in a throwaway prefix. It must pass,
# skipping exactly the cases this Wine cannot give (the lists below, by Wine's major version);
# prints the bundle's summary line and the number of skips.
set -euo pipefail
source "$(dirname "$0")/lib/fixed-layout.sh"
cd "$(dirname "$0")/.."
source scripts/lib/wine.sh

# What Wine 8 cannot give: links, the extended disposition, deletion through a renamed folder,
# oplocks (on a leftover and on the top of a removal), a token that cannot open the disk, a file
# name with an unpaired surrogate, an entry that answers "delete pending" (it opens as any other),
# a service query that tells one marked for deletion (it answers success); and a console for a
# program started by cmd with its output in a file.
wine8_skips="ConsoleWithOutputToNul.TitleShownOnlyInScopeAndTheOriginalComesBack
ElevationGate.ALimitedTokenIsNotElevatedAndCannotOpenTheDisk
FileQueries.AFileDeletedWhileHeldIsPendingDeletionUntilReleased
LeftoverSweep.SubdirectoryWithUnpairedSurrogateIsSearchedUnderItsOwnName
LeftoverSweep.SweepDeletesALeftoverBehindAJunctionUnderTheLinksPath
LeftoverSweep.SweepDeletesTheListedFileAfterItsFolderWasRenamed
LeftoverSweep.SweepIsNotStalledByAnOplockOnALeftover
LeftoverSweep.SweepIsNotStalledByAnOplockOnItsTop
ServiceQuery.ThePlatformTellsADeletedServiceThatAHandleKeeps
TreeRemoval.RemovalDeletesAReadOnlyFileThroughTheExtendedDisposition
TreeRemoval.RemovalDeletesJunctionsAndDirectorySymbolicLinksAsLinks"
# Wine 10 takes the extended disposition on a read-only file (the name stays until the handle
# closes, where Windows takes it at once, which the test does not look at); the rest as Wine 8,
# the entry pending deletion and the service marked for deletion included (Wine 10.0 opens the
# one as any other and answers the query for the other with success).
wine10_skips=$(grep -vx 'TreeRemoval.RemovalDeletesAReadOnlyFileThroughTheExtendedDisposition' <<<"$wine8_skips")

wine_version=$(wine --version 2>/dev/null)
case $wine_version in
  wine-8.*) expected_skips=$wine8_skips ;;
  wine-10.*) expected_skips=$wine10_skips ;;
  *) echo "run-test-bundle: no list of expected skips for $wine_version" >&2; exit 1 ;;
esac

version=$(sed -n 's/^#define VOXTREL_VERSION_TEXT "\(.*\)"$/\1/p' build/test-release/resources/version.h)
scratch=$(mktemp -d /tmp/voxtrel-bundle.XXXXXX)
export WINEPREFIX="$scratch/prefix"
trap 'wine_stop_prefix "$WINEPREFIX"; rm -rf "$scratch"' EXIT
unzip -q "dist/voxtrel-tests-$version.zip" -d "$scratch"
wine_boot_prefix "$WINEPREFIX"
wine_start_prefix "$WINEPREFIX"
output="$scratch/run-tests.txt"
status=0
(cd "$scratch/voxtrel-tests-$version" &&
  timeout 1200 wine 'C:\windows\system32\cmd.exe' /c run-tests.cmd) >"$output" 2>&1 || status=$?
skipped=$(tr -d '\r' <"$output" | sed -n 's/^\[  SKIPPED \] \([^ ]*\) ([0-9]* ms)$/\1/p' | LC_ALL=C sort)
if ((status != 0)) || ! tr -d '\r' <"$output" | grep -qx 'All [0-9]* test programs passed\.' ||
  [ "$skipped" != "$expected_skips" ]; then
  tr -d '\r' <"$output"
  diff <(echo "$expected_skips") <(echo "$skipped") || true
  echo "FAIL: run-tests.cmd under $wine_version: exit $status, or not the expected skips (diff above)" >&2
  exit 1
fi
echo "Test bundle: $(tr -d '\r' <"$output" | tail -n 1) Skipped as expected under $wine_version: $(wc -l <<<"$skipped")."

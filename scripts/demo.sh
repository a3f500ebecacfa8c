#!/usr/bin/env bash
# The main job: builds the release tool and the stand-in agent, stages the whole agent (a running
# service, a plain process, installer products, folders, registry key, leftovers) and decoys in a
# throwaway Wine prefix, runs the tool there with Enter fed to it, and shows its transcript, what
# is left of the agent and that everything else, decoys included, is as it was.
set -euo pipefail
source "$(dirname "$0")/lib/fixed-layout.sh"
cd "$(dirname "$0")/.."
source scripts/lib/wine.sh
source scripts/lib/snapshot.sh
source scripts/lib/agent.sh

scripts/install-deps.sh
echo "== Building the release tool and the stand-in agent"
cmake --preset release >/dev/null
cmake --build --preset release --target voxtrel-force-remove voxtrel-agent >/dev/null
export VOXTREL_AGENT_EXE="$PWD/build/release/tests/agent/voxtrel-agent.exe"

scratch=$(mktemp -d /tmp/voxtrel-demo.XXXXXX)
export WINEPREFIX="$scratch/prefix"
trap 'wine_stop_prefix "$WINEPREFIX"; rm -rf "$scratch"' EXIT

echo "== Booting a throwaway Wine prefix in $WINEPREFIX"
wine_boot_prefix "$WINEPREFIX"
wine_start_prefix "$WINEPREFIX"
echo "== Staging the agent"
scripts/stage-agent.sh
take_snapshot "$scratch/staged"

echo "== Running voxtrel-force-remove.exe"
printf '\n' | wine build/release/voxtrel-force-remove.exe
echo
take_snapshot "$scratch/after"

# count_entries TEXT: how many entries of the snapshot after the run hold TEXT (a fixed string
# that includes the entry's kind, K, V, D or F, and its start).
count_entries() { grep -cF -- "$1" "$scratch/after" || true; }
# count_lines LINE: 1 if the snapshot after the run holds exactly the entry LINE, else 0.
count_lines() { grep -cxF -- "$1" "$scratch/after" || true; }
# report LABEL COUNT WANT: one line of the summary; WANT is "gone" (COUNT must be 0) or "kept".
report() {
  local state=gone verdict=ok
  [ "$2" -eq 0 ] || state=present
  if { [ "$3" = gone ] && [ "$2" -ne 0 ]; } || { [ "$3" = kept ] && [ "$2" -eq 0 ]; }; then
    verdict=UNEXPECTED
    failures=$((failures + 1))
  fi
  printf '  %-52s %-8s %s\n' "$1" "$state" "$verdict"
}
failures=0

echo "== What is left of the agent"
agent_processes=0
for pid in $(pgrep -f 'voxtrel-agent\.exe' || true); do
  [ "$(ps -o stat= -p "$pid" | cut -c1)" = Z ] && continue
  grep -zqxF "WINEPREFIX=$WINEPREFIX" "/proc/$pid/environ" 2>/dev/null &&
    agent_processes=$((agent_processes + 1))
done
report "voxtrel-agent.exe processes" "$agent_processes" gone
services='K HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services'
report "service $AGENT_SERVICE" "$(count_lines "$services\\$AGENT_SERVICE")" gone
for product in "${AGENT_PRODUCTS[@]}"; do
  IFS='|' read -r name _ base index _ <<<"$product"
  report "installed product \"$name\"" "$(count_entries "\\Uninstall\\$(product_guid "$base" "$index" 1)")" gone
done
report 'C:\Program Files\Voxtrel' "$(count_lines 'D Program Files/Voxtrel')" gone
report 'C:\ProgramData\Voxtrel' "$(count_lines 'D ProgramData/Voxtrel')" gone
report 'HKLM\SOFTWARE\Voxtrel' "$(count_lines 'K HKEY_LOCAL_MACHINE\Software\Voxtrel')" gone
left=0
for leftover in "${AGENT_LEFTOVERS[@]}"; do left=$((left + $(count_entries "F $leftover|"))); done
report "${#AGENT_LEFTOVERS[@]} leftover voxtrel-agent.exe.old* files" "$left" gone
agent_footprint "$scratch/staged" | LC_ALL=C sort >"$scratch/footprint"
report "any other file, folder, key or value of the agent" \
  "$(LC_ALL=C comm -12 "$scratch/footprint" "$scratch/after" | wc -l)" gone

echo "== Decoys"
report 'HKLM\SOFTWARE\VoxtrelTools' "$(count_lines 'K HKEY_LOCAL_MACHINE\Software\VoxtrelTools')" kept
report '32-bit view: HKLM\SOFTWARE\WOW6432Node\Voxtrel' \
  "$(count_lines 'K HKEY_LOCAL_MACHINE\Software\Wow6432Node\Voxtrel')" kept
report "service $DECOY_SERVICE" "$(count_lines "$services\\$DECOY_SERVICE")" kept
report 'installed product "voxtrel helper tools"' \
  "$(count_entries '"DisplayName"="voxtrel helper tools"')" kept
for decoy in "${DECOY_FILES[@]}"; do
  label="C:\\${decoy//\//\\}"
  [ "${#label}" -le 52 ] || label="...\\$(basename "$(dirname "$decoy")")\\$(basename "$decoy")"
  report "$label" "$(count_entries "F $decoy|")" kept
done

echo "== Everything else on the machine (every path under C:, every registry key and value)"
if snapshot_difference "$scratch/staged" "$scratch/after" "$scratch/footprint" >"$scratch/difference"; then
  echo "  unchanged: $(LC_ALL=C comm -23 "$scratch/staged" "$scratch/footprint" | wc -l) entries compared"
else
  sed 's/^/  /' "$scratch/difference"
  failures=$((failures + 1))
fi
[ "$failures" -eq 0 ]

#!/usr/bin/env bash
# The main job: builds the release tool, stages the agent in a throwaway Wine prefix, runs the
# tool there with Enter fed to it, and prints its transcript and what is left afterwards.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/wine.sh

scripts/install-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release >/dev/null

scratch=$(mktemp -d /tmp/voxtrel-demo.XXXXXX)
export WINEPREFIX="$scratch/prefix"
trap 'wine_stop_prefix "$WINEPREFIX"; rm -rf "$scratch"' EXIT

echo "== Booting a throwaway Wine prefix in $WINEPREFIX"
wine_boot_prefix "$WINEPREFIX"
echo "== Staging the agent"
scripts/stage-agent.sh
echo "== Running voxtrel-force-remove.exe"
printf '\n' | wine build/release/voxtrel-force-remove.exe
echo
echo "== What is left"
wine sc query VoxtrelAgent >/dev/null 2>&1 && echo "service VoxtrelAgent: still there" || echo "service VoxtrelAgent: gone"
wine reg query 'HKLM\SOFTWARE\Voxtrel' >/dev/null 2>&1 && echo "HKLM\\SOFTWARE\\Voxtrel: still there" || echo "HKLM\\SOFTWARE\\Voxtrel: gone"
wine reg query 'HKLM\SOFTWARE\VoxtrelTools' >/dev/null 2>&1 && echo "decoy HKLM\\SOFTWARE\\VoxtrelTools: intact" || echo "decoy HKLM\\SOFTWARE\\VoxtrelTools: MISSING"
source scripts/lib/msi.sh
uninstall='HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall'
wine reg query "$uninstall\\$AGENT_PRODUCT_CODE" >/dev/null 2>&1 && echo "MSI product Voxtrel Agent: still installed" || echo "MSI product Voxtrel Agent: uninstalled"
wine reg query "$uninstall\\$DECOY_PRODUCT_CODE" >/dev/null 2>&1 && echo "decoy MSI product voxtrel companion: intact" || echo "decoy MSI product voxtrel companion: MISSING"
for path in "Program Files/Voxtrel" "Program Files/Voxtrel Agent" "ProgramData/Voxtrel"; do
  [ -e "$WINEPREFIX/drive_c/$path" ] && echo "C:\\$path: still there" || echo "C:\\$path: gone"
done
for path in "Program Files/Common Files/Voxtrel Backup/voxtrel-agent.exe.old" \
  "ProgramData/Updates/voxtrel-agent.exe.old.1" \
  "ProgramData/Updates/2024/rollback/voxtrel-agent.exe.old.bak"; do
  [ -e "$WINEPREFIX/drive_c/$path" ] && echo "leftover C:\\$path: still there" || echo "leftover C:\\$path: gone"
done
for path in "Program Files/Other Vendor/voxtrel-agent.exe.ol" "ProgramData/Updates/Voxtrel-agent.exe.old" \
  "ProgramData/Updates/voxtrel-agent.exe" "ProgramData/Archive/voxtrel-agent.exe.old/notes.txt" \
  "voxtrel-agent.exe.old"; do
  [ -e "$WINEPREFIX/drive_c/$path" ] && echo "decoy C:\\$path: intact" || echo "decoy C:\\$path: MISSING"
done

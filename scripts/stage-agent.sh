#!/usr/bin/env bash
# Stages the Voxtrel agent's footprint, and decoys that must survive its removal, in the Wine
# prefix named by WINEPREFIX. Used by the demo and by the end-to-end tests, so the demo is what
# is tested.
set -euo pipefail
source "$(dirname "$0")/lib/wine.sh"
source "$(dirname "$0")/lib/msi.sh"
: "${WINEPREFIX:?set WINEPREFIX to the prefix to stage in}"
drive_c="$WINEPREFIX/drive_c"

put_file() { # put_file PATH-UNDER-DRIVE-C [CONTENT]
  mkdir -p "$(dirname "$drive_c/$1")"
  printf '%s\n' "${2:-staged}" >"$drive_c/$1"
}

# The service, registered with the service control manager.
wine sc create VoxtrelAgent binPath= 'C:\Program Files\Voxtrel\voxtrel-agent.exe' >/dev/null

# The program and data folders.
put_file "Program Files/Voxtrel/voxtrel-agent.exe" "agent image"
put_file "Program Files/Voxtrel/agent.conf" "level=3"
put_file "Program Files/Voxtrel/plugins/net/net.dll" "plugin"
for i in $(seq 1 20); do put_file "ProgramData/Voxtrel/logs/agent-$i.log" "log $i"; done
put_file "ProgramData/Voxtrel/cache/state/state.bin" "state"

# The product key, with a subkey.
wine reg add 'HKLM\SOFTWARE\Voxtrel' /v InstallDir /d 'C:\Program Files\Voxtrel' /f >/dev/null
wine reg add 'HKLM\SOFTWARE\Voxtrel\Agent' /v Level /t REG_DWORD /d 3 /f >/dev/null

# The agent's Windows Installer product (64-bit list, files in C:\Program Files\Voxtrel Agent),
# and a product named only in lower case that must stay installed.
msi_dir=$(mktemp -d /tmp/voxtrel-stage.XXXXXX)
build_msi "$msi_dir/agent.msi" x64 "$AGENT_PRODUCT_CODE" "Voxtrel Agent" "Voxtrel Agent"
build_msi "$msi_dir/decoy.msi" x64 "$DECOY_PRODUCT_CODE" "voxtrel companion (not the agent)" "Companion"
install_msi "$msi_dir/agent.msi"
install_msi "$msi_dir/decoy.msi"
rm -rf "$msi_dir"

# Leftover backups under both sweep roots.
put_file "Program Files/Common Files/Voxtrel Backup/voxtrel-agent.exe.old" "old image"
put_file "ProgramData/Updates/voxtrel-agent.exe.old.1" "older image"
put_file "ProgramData/Updates/2024/rollback/voxtrel-agent.exe.old.bak" "rollback image"

# Decoys that must stay.
put_file "Program Files/Other Vendor/voxtrel-agent.exe.ol" "not a leftover"
put_file "ProgramData/Updates/Voxtrel-agent.exe.old" "other case: not a leftover"
put_file "ProgramData/Updates/voxtrel-agent.exe" "the image name alone: not a leftover"
put_file "ProgramData/Archive/voxtrel-agent.exe.old/notes.txt" "a folder named like a leftover stays"
put_file "voxtrel-agent.exe.old" "outside the searched folders: stays"
wine reg add 'HKLM\SOFTWARE\VoxtrelTools' /v Keep /d yes /f >/dev/null

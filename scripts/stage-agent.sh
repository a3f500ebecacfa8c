#!/usr/bin/env bash
# Stages the Voxtrel agent's whole footprint, and decoys that must survive its removal, in the Wine
# prefix named by WINEPREFIX. Used by the demo and by the end-to-end tests, so the demo is what is
# tested. Prints a short summary of what it staged.
#
# The agent: the stand-in program (tests/agent) installed as
# C:\Program Files\Voxtrel\voxtrel-agent.exe, registered and started as the service VoxtrelAgent,
# plus one more copy running as a plain process; three Windows Installer products built with wixl
# from tests/agent/products/product.wxs; the data folder; the product key; leftover backups under
# both sweep roots. The names are defined in scripts/lib/agent.sh.
#
# Environment: WINEPREFIX (required); VOXTREL_AGENT_EXE, the stand-in agent (default: the one the
# release build made, else the test build's).
source "$(dirname "$0")/lib/fixed-layout.sh"
here=$(cd "$(dirname "$0")" && pwd)
source "$here/lib/err-trap.sh"
source "$here/lib/wine.sh"
source "$here/lib/agent.sh"
: "${WINEPREFIX:?set WINEPREFIX to the prefix to stage in}"
drive_c="$WINEPREFIX/drive_c"
source_dir=$(dirname "$here")

agent_exe=${VOXTREL_AGENT_EXE:-}
if [ -z "$agent_exe" ]; then
  for candidate in "$source_dir/build/release/tests/agent/voxtrel-agent.exe" \
    "$source_dir/build/test/tests/agent/voxtrel-agent.exe"; do
    [ -f "$candidate" ] && agent_exe=$candidate && break
  done
fi
[ -f "$agent_exe" ] || {
  echo "stage-agent: no stand-in agent; build it with:" \
    "cmake --build --preset release --target voxtrel-agent" >&2
  exit 1
}

work=$(mktemp -d "${TMPDIR:-/tmp}/voxtrel-stage.XXXXXX")
trap 'rm -rf "$work"' EXIT

put_file() { # put_file PATH-UNDER-DRIVE-C [CONTENT]
  mkdir -p "$(dirname "$drive_c/$1")"
  printf '%s\n' "${2:-staged}" >"$drive_c/$1"
}

# build_product FIELDS OUT.msi: one installer package from the product table line FIELDS.
build_product() {
  local name arch base index install_dir sub_dir manifest library
  IFS='|' read -r name arch base index install_dir sub_dir manifest library <<<"$1"
  local payload="$work/payload-$base$index" program_files=ProgramFiles64Folder
  [ "$arch" = x86 ] && program_files=ProgramFilesFolder
  mkdir -p "$payload"
  printf '<product name="%s"/>\n' "$name" >"$payload/$manifest"
  printf 'library of %s\n' "$name" >"$payload/$library"
  (cd "$payload" && wixl -a "$arch" -o "$2" \
    -D Name="$name" -D ProductCode="$(product_guid "$base" "$index" 1)" \
    -D UpgradeCode="$(product_guid "$base" "$index" 2)" \
    -D MainComponent="$(product_guid "$base" "$index" 3)" \
    -D LibraryComponent="$(product_guid "$base" "$index" 4)" \
    -D ProgramFilesDir="$program_files" -D InstallDir="$install_dir" -D SubDir="$sub_dir" \
    -D Manifest="$manifest" -D Library="$library" "$source_dir/tests/agent/products/product.wxs")
}

# --- The program folder, with the agent image, and the data folder.
program="Program Files/Voxtrel"
data="ProgramData/Voxtrel"
mkdir -p "$drive_c/$program"
cp "$agent_exe" "$drive_c/$program/voxtrel-agent.exe"
put_file "$program/config/agent.conf" "level=3"
put_file "$program/plugins/disk/disk.dll" "plugin"
for i in $(seq -w 1 120); do
  put_file "$program/plugins/cache/cached-plugin-manifest-with-a-long-descriptive-name-$i.json" "{}"
done
for i in $(seq 1 20); do put_file "$data/logs/agent-$i.log" "log $i"; done
put_file "$data/cache/state/state.bin" "state"
put_file "$data/cache/a/b/c/d/e/blob.bin" "blob"
# More entries than one 1024-byte directory listing batch holds (long names: a few per batch).
for i in $(seq -w 1 300); do
  put_file "$data/spool/queued-telemetry-message-with-a-rather-long-file-name-number-$i.msg" "message $i"
done

# --- The agent running: a plain process first (it keeps the prefix's wineserver up once staging
# has returned, and with it the service), then the service.
(wine "$AGENT_IMAGE" --console </dev/null >/dev/null 2>&1 &)
# Staging again after a removal finds the decoys still there: what exists is not created twice.
service_registered() { wine_system sc query "$1" >/dev/null 2>&1; }
service_registered "$AGENT_SERVICE" ||
  wine_system sc create "$AGENT_SERVICE" binPath= "$AGENT_IMAGE" DisplayName= "Voxtrel Agent" >/dev/null
wine_system sc start "$AGENT_SERVICE" >/dev/null
service_registered "$DECOY_SERVICE" ||
  wine_system sc create "$DECOY_SERVICE" binPath= 'C:\Program Files\Voxtrel Helper\bin\helper.exe' >/dev/null

# --- The Windows Installer products: the agent's three and the decoy.
# A product already installed (registered under its packed product code) is left as it is.
installed_products='HKLM\SOFTWARE\Classes\Installer\Products'
count=0
for product in "${AGENT_PRODUCTS[@]}" "${DECOY_PRODUCTS[@]}"; do
  count=$((count + 1))
  IFS='|' read -r _ _ base index _ <<<"$product"
  packed=$(packed_guid "$(product_guid "$base" "$index" 1)")
  wine_system reg query "$installed_products\\$packed" >/dev/null 2>&1 && continue
  build_product "$product" "$work/product-$count.msi"
  wine_system msiexec /i "$(unix_to_windows "$work/product-$count.msi")" /quiet /norestart
done

# --- The product key, and registry decoys: a neighbour with a longer name, and the same name in
# the 32-bit view (the key WOW6432Node\Voxtrel in the 64-bit view). In a REGEDIT4 file the bytes
# of hex(7) are ANSI text, a NUL after each string.
cat >"$work/staged.reg" <<'EOF'
REGEDIT4

[HKEY_LOCAL_MACHINE\SOFTWARE\Voxtrel]
"InstallDir"="C:\\Program Files\\Voxtrel"
"DataDir"="C:\\ProgramData\\Voxtrel"
"Version"="4.2.1"
"Level"=dword:00000003

[HKEY_LOCAL_MACHINE\SOFTWARE\Voxtrel\Agent]
"ServiceName"="VoxtrelAgent"

[HKEY_LOCAL_MACHINE\SOFTWARE\Voxtrel\Agent\Settings]
"PollSeconds"=dword:0000003c
"Servers"=hex(7):61,00,62,00,00

[HKEY_LOCAL_MACHINE\SOFTWARE\Voxtrel\Updater]
"Channel"="stable"

[HKEY_LOCAL_MACHINE\SOFTWARE\VoxtrelTools]
"Keep"="yes"

[HKEY_LOCAL_MACHINE\SOFTWARE\VoxtrelTools\Settings]
"Keep"="yes"

[HKEY_LOCAL_MACHINE\SOFTWARE\WOW6432Node\Voxtrel]
"InstallDir"="C:\\Program Files (x86)\\Voxtrel"
"Keep"="yes"
EOF
wine_system regedit /S "$(unix_to_windows "$work/staged.reg")"

# --- Leftover backups under both sweep roots, and file decoys that must stay (scripts/lib/agent.sh).
for leftover in "${AGENT_LEFTOVERS[@]}"; do put_file "$leftover" "old agent image"; done
for decoy in "${DECOY_FILES[@]}"; do put_file "$decoy" "not the agent's"; done

# The service has had time to start while the rest was staged; wait for it and for both agent
# processes all the same, and stop here if they do not come.
wait_until 30 service_running "$AGENT_SERVICE" ||
  { echo "stage-agent: the service $AGENT_SERVICE did not start within 30 s" >&2; exit 1; }
two_agents() { [ "$(prefix_processes 'voxtrel-agent\.exe' | wc -l)" -eq 2 ]; }
wait_until 30 two_agents || {
  echo "stage-agent: expected two voxtrel-agent.exe processes (the service and a plain one)," \
    "found $(prefix_processes 'voxtrel-agent\.exe' | wc -l)" >&2
  exit 1
}

data_files=$(find "$drive_c/$data" -type f | wc -l)
program_files=$(find "$drive_c/$program" -type f | wc -l)
echo "Staged in $WINEPREFIX:"
state=$(wine_system sc query "$AGENT_SERVICE" | awk '/STATE/ { print $4 }')
echo "  service $AGENT_SERVICE ($state), and one more voxtrel-agent.exe as a plain process"
for product in "${AGENT_PRODUCTS[@]}"; do
  IFS='|' read -r name _ base index _ <<<"$product"
  echo "  installed product \"$name\" $(product_guid "$base" "$index" 1)"
done
echo "  C:\\Program Files\\Voxtrel: $program_files files; C:\\ProgramData\\Voxtrel: $data_files files"
echo "  HKLM\\SOFTWARE\\Voxtrel with 3 subkeys; ${#AGENT_LEFTOVERS[@]} leftover voxtrel-agent.exe.old* files"
echo "  decoys: HKLM\\SOFTWARE\\VoxtrelTools, 32-bit SOFTWARE\\Voxtrel, service $DECOY_SERVICE,"
echo "          product \"voxtrel helper tools\", ${#DECOY_FILES[@]} look-alike and other programs' files"

# The staged Voxtrel agent (sourced, not run): the names that scripts/stage-agent.sh stages and
# that the demo and the end-to-end scenarios check, defined once.

# Windows Installer products, one a line: display name|package architecture|GUID base|index|
# install folder|subfolder|owned file|owned library. The GUIDs of a product are its base followed
# by the index and a role digit (1 product code, 2 upgrade code, 3 and 4 its two components), so
# that every registration the installer makes for it can be recognised in a snapshot.
AGENT_GUID_BASE=5B0E1D2A-7C41-4E8B-9A63-2F1D0C9B8A
DECOY_GUID_BASE=DEC0DE00-7C41-4E8B-9A63-2F1D0C9B8A
AGENT_PRODUCTS=(
  "Voxtrel Agent|x64|$AGENT_GUID_BASE|0|Voxtrel|bin|agent-manifest.xml|voxtrel-core.dll"
  "Voxtrel Updater|x86|$AGENT_GUID_BASE|1|Voxtrel Updater|lib|updater-manifest.xml|voxtrel-update.dll"
  "Voxtrel Agent Plugins|x64|$AGENT_GUID_BASE|2|Voxtrel|plugins|plugins-manifest.xml|voxtrel-net.dll"
)
# Named with the product word in lower case only: not the agent's, must stay installed.
DECOY_PRODUCTS=(
  "voxtrel helper tools|x64|$DECOY_GUID_BASE|0|Voxtrel Helper|bin|helper-manifest.xml|helper.dll"
)

# product_guid BASE INDEX ROLE: "{BASE<index><role>}".
product_guid() { printf '{%s%s%s}' "$1" "$2" "$3"; }

# packed_guid GUID: the form Windows Installer uses in its registry keys (the first three groups
# reversed, the last two byte by byte with the two hex digits of each byte swapped).
packed_guid() {
  local hex=${1//[\{\}-]/} packed="" i
  for ((i = 7; i >= 0; i--)); do packed+=${hex:i:1}; done
  for ((i = 11; i >= 8; i--)); do packed+=${hex:i:1}; done
  for ((i = 15; i >= 12; i--)); do packed+=${hex:i:1}; done
  for ((i = 16; i < 32; i += 2)); do packed+=${hex:i+1:1}${hex:i:1}; done
  printf '%s' "$packed"
}

# Leftover backups under both sweep roots, paths under drive_c, at most one per folder: the order
# in which a folder lists its entries is the file system's, so the tests check the set of step 8's
# lines and their grouping, not the order between folders. One is deeper than 260 characters, one
# is inside a folder that is itself named like a leftover.
AGENT_DEEP_FOLDER="ProgramData/Deep Backups"
for level in 1 2 3 4 5 6; do AGENT_DEEP_FOLDER+="/backup-level-$level-padded-to-forty-characters-x"; done
AGENT_LEFTOVERS=(
  "Program Files/Common Files/Voxtrel Backup/voxtrel-agent.exe.old"
  "Program Files/Voxtrel Archive/voxtrel-agent.exe.old/voxtrel-agent.exe.old.2"
  "Program Files/Other Vendor/updates/voxtrel-agent.exe.old-20240101"
  "ProgramData/Updates/voxtrel-agent.exe.old.1"
  "ProgramData/Package Cache/agent/voxtrel-agent.exe.old.bak"
  "$AGENT_DEEP_FOLDER/voxtrel-agent.exe.old"
)
# File decoys that must stay: names that almost match a leftover, other programs' files, and a
# leftover's name outside the two searched folders.
DECOY_FILES=(
  "Program Files/Voxtrel Archive/voxtrel-agent.exe"
  "Program Files/Common Files/Voxtrel Backup/voxtrel-agent.exe.ol"
  "Program Files/Common Files/Voxtrel Backup/Voxtrel-agent.exe.old"
  "Program Files/Other Vendor/updates/voxtrel-agent.exe.OLD"
  "Program Files/Other Vendor/updates/backup-voxtrel-agent.exe.old"
  "Program Files/Other Vendor/vendor.exe"
  "Program Files/Other Vendor/voxtrel-agent.exe.ol"
  "Program Files/VoxtrelTools/tool.exe"
  "ProgramData/Updates/old.voxtrel-agent.exe.old"
  "ProgramData/Updates/Voxtrel-agent.exe.old"
  "ProgramData/Voxtrel.old/notes.txt"
  "ProgramData/VoxtrelTools/settings.ini"
  "$AGENT_DEEP_FOLDER/voxtrel-agent.exe.ol"
  "voxtrel-agent.exe.old"
)

AGENT_SERVICE=VoxtrelAgent
DECOY_SERVICE=VoxtrelHelper
AGENT_IMAGE='C:\Program Files\Voxtrel\voxtrel-agent.exe'

# agent_footprint SNAPSHOT: the entries of a snapshot (scripts/lib/snapshot.sh) that belong to the
# agent, that is everything a complete removal takes away: the program and data folders, the
# leftover backups, the service and the product key, and each of the agent's installer products
# with what its own uninstall removes (its files and the folders it made, its cached package and
# every registration that names one of its GUIDs). The service's key is under CurrentControlSet as
# Wine 8 exports it, under ControlSet001 as Wine 10 does.
agent_footprint() {
  local guid_base packed_base
  guid_base=$(tr 'A-Z' 'a-z' <<<"$AGENT_GUID_BASE")
  # The packed form of a GUID base: the last byte (index and role) is the only one that differs.
  packed_base=$(packed_guid "{${AGENT_GUID_BASE}00}" | cut -c1-30 | tr 'A-Z' 'a-z')
  GUID_BASE=$guid_base PACKED_BASE=$packed_base awk '
    BEGIN { guid = ENVIRON["GUID_BASE"]; packed = ENVIRON["PACKED_BASE"] }
    # First pass: the cached packages of the agent products, named in their install properties.
    FNR == NR {
      low = tolower($0)
      if (low ~ /^v .*\\installproperties\|"localpackage"=/ && index(low, packed)) {
        name = $0; sub(/.*\\\\/, "", name); sub(/"$/, "", name); cached["windows/Installer/" name] = 1
      }
      next
    }
    /^[DFL] (Program Files|ProgramData)\/Voxtrel(\/|\||$)/ { print; next }
    /^[DFL] Program Files \(x86\)\/Voxtrel Updater(\/|\||$)/ { print; next }
    /^F (Program Files|ProgramData)\/(.*\/)?voxtrel-agent\.exe\.old[^\/|]*\|/ { print; next }
    /^F / { path = substr($0, 3); sub(/\|.*/, "", path); if (path in cached) print; next }
    /^[KV] / {
      low = tolower($0)
      if (low ~ /^[kv] hkey_local_machine\\software\\voxtrel(\\|\||$)/ ||
          low ~ /^[kv] hkey_local_machine\\system\\(currentcontrolset|controlset001)\\services\\voxtrelagent(\\|\||$)/ ||
          index(low, guid) || index(low, packed)) print
    }
  ' "$1" "$1"
}

#!/usr/bin/env bash
# Step 4 end to end: real Windows Installer products built with wixl and installed with msiexec
# are found in both uninstall lists and removed in order; what does not match stays installed.
# A stand-in in place of the system's msiexec then shows the exact command lines, and a machine
# without any uninstall list shows only the not-found line.
here=$(dirname "$0")
source "$here/lib.sh"
source "$VOXTREL_SOURCE_DIR/scripts/lib/msi.sh"

uninstall_64='HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall'
uninstall_32='HKLM\SOFTWARE\WOW6432Node\Microsoft\Windows\CurrentVersion\Uninstall'
program_files="$WINEPREFIX/drive_c/Program Files"
program_files_x86="$WINEPREFIX/drive_c/Program Files (x86)"
# Two matching products whose subkeys come one right after the other, a third one only in lower
# case, and a 32-bit product in the WOW6432Node list.
agent='{7A5E0C10-0000-4000-8000-000000000011}'
updater='{7A5E0C10-0000-4000-8000-000000000012}'
lower='{7A5E0C10-0000-4000-8000-000000000013}'
agent32='{7A5E0C10-0000-4000-8000-000000000021}'

# step4_lines: the lines of step 4 after its header.
step4_lines() { sed -n '/^\[4\/8\]/,/^\[5\/8\]/p' "$TRANSCRIPT" | sed '1d;$d'; }

expect_step4() {
  local expected=$1
  if [ "$(step4_lines)" != "$expected" ]; then
    echo "--- step 4 ---"; step4_lines | cat -A; echo "--- expected ---"; printf '%s\n' "$expected"
    fail "step 4 lines differ"
  fi
}

echo "== real products: every matching one is uninstalled, in list order, 64-bit list first"
msi_dir="$E2E_DIR/msi"
mkdir -p "$msi_dir"
build_msi "$msi_dir/agent.msi" x64 "$agent" "Voxtrel Agent" "Voxtrel Agent"
build_msi "$msi_dir/updater.msi" x64 "$updater" "Agent Updater for Voxtrel" "Voxtrel Updater"
build_msi "$msi_dir/lower.msi" x64 "$lower" "voxtrel lower-case tools" "Lower Tools"
build_msi "$msi_dir/agent32.msi" x86 "$agent32" "Voxtrel Agent (32-bit)" "Voxtrel Agent 32"
for package in agent updater lower agent32; do install_msi "$msi_dir/$package.msi"; done
# A matching entry no Windows Installer product stands behind, and a neighbour that must stay.
wine reg add "$uninstall_64\\VoxtrelLegacy" /v DisplayName /d "Voxtrel Legacy Helper" /f >/dev/null
wine reg add "$uninstall_64\\OtherVendor" /v DisplayName /d "Other Vendor Tool" /f >/dev/null
for code in "$agent" "$updater" "$lower"; do
  reg_exists "$uninstall_64\\$code" || fail "staging: $code not installed"
done
reg_exists "$uninstall_32\\$agent32" || fail "staging: the 32-bit product is not in WOW6432Node"
[ -f "$program_files/Voxtrel Agent/readme.txt" ] || fail "staging: no installed file"

run_tool
[ "$TOOL_RC" -eq 0 ] || fail "exit code $TOOL_RC"
expect_step4 "      Uninstalling MSI: Voxtrel Legacy Helper (VoxtrelLegacy)
      Uninstalling MSI: Voxtrel Agent ($agent)
      Uninstalling MSI: Agent Updater for Voxtrel ($updater)
      Uninstalling MSI: Voxtrel Agent (32-bit) ($agent32)
      MSI uninstall commands issued."
for code in "$agent" "$updater"; do
  reg_exists "$uninstall_64\\$code" && fail "the Uninstall entry of $code is still there"
done
reg_exists "$uninstall_32\\$agent32" && fail "the 32-bit product's Uninstall entry is still there"
[ -e "$program_files/Voxtrel Agent/readme.txt" ] && fail "the agent's file is still installed"
[ -e "$program_files/Voxtrel Updater/readme.txt" ] && fail "the updater's file is still installed"
[ -e "$program_files_x86/Voxtrel Agent 32/readme.txt" ] && fail "the 32-bit file is still installed"
reg_exists "$uninstall_64\\$lower" || fail "the lower-case product was uninstalled"
[ -f "$program_files/Lower Tools/readme.txt" ] || fail "the lower-case product's file is gone"
reg_exists "$uninstall_64\\OtherVendor" || fail "a neighbouring entry was removed"
# msiexec cannot remove an entry that is not its product; the tool does not delete it either.
reg_exists "$uninstall_64\\VoxtrelLegacy" || fail "the plain entry was removed"

echo "== a second run: only the plain entry is left to report"
run_tool
expect_step4 "      Uninstalling MSI: Voxtrel Legacy Helper (VoxtrelLegacy)
      MSI uninstall commands issued."
wine reg delete "$uninstall_64\\VoxtrelLegacy" /f >/dev/null

echo "== stand-in msiexec: the exact command lines, one call per root for a product in both"
system_msiexec="$SYSTEM_DIR/msiexec.exe"
mv "$system_msiexec" "$E2E_DIR/msiexec.exe.system"
cp "$VOXTREL_TEST_CHILD" "$system_msiexec"
both='{7A5E0C10-0000-4000-8000-000000000031}'
wine reg add "$uninstall_64\\$both" /v DisplayName /d "Voxtrel Agent" /f >/dev/null
wine reg add "$uninstall_32\\$both" /v DisplayName /d "Voxtrel Agent" /f >/dev/null
wine reg add "$uninstall_64\\Plain Name" /v DisplayName /d "Voxtrel" /f >/dev/null
wine reg add "$uninstall_64\\NumberName" /v DisplayName /t REG_DWORD /d 7 /f >/dev/null
wine reg add "$uninstall_64\\PublisherOnly" /v Publisher /d "Voxtrel" /f >/dev/null
record="$E2E_DIR/msiexec-calls.txt"
TOOL_RC=0
# Wine prefers its built-in msiexec to the file of that name in the system directory; the override
# has the tool's children run the file, the stand-in.
printf '\n' | WINEDLLOVERRIDES="$WINEDLLOVERRIDES;msiexec.exe=n" \
  VOXTREL_CHILD_RECORD="$(unix_to_windows "$record")" timeout 300 \
  wine "$TOOL" >"$TRANSCRIPT" 2>"$TOOL_ERRORS" || TOOL_RC=$?
[ "$TOOL_RC" -eq 0 ] || fail "exit code $TOOL_RC"
expect_step4 "      Uninstalling MSI: Voxtrel (Plain Name)
      Uninstalling MSI: Voxtrel Agent ($both)
      Uninstalling MSI: Voxtrel Agent ($both)
      MSI uninstall commands issued."
msiexec_windows="$SYSTEM_DIR_WINDOWS\\msiexec.exe"
expected_calls="command_line=\"$msiexec_windows\" /x \"Plain Name\" /quiet /norestart
command_line=\"$msiexec_windows\" /x $both /quiet /norestart
command_line=\"$msiexec_windows\" /x $both /quiet /norestart"
if [ "$(grep '^command_line=' "$record")" != "$expected_calls" ]; then
  cat "$record"
  fail "msiexec was not called as expected"
fi
mv "$E2E_DIR/msiexec.exe.system" "$system_msiexec"

echo "== no uninstall list at all: only the not-found line"
wine reg delete "$uninstall_64" /f >/dev/null
wine reg delete "$uninstall_32" /f >/dev/null
reg_exists "$uninstall_64" && fail "staging: the 64-bit list is still there"
run_tool
[ "$TOOL_RC" -eq 0 ] || fail "exit code $TOOL_RC"
expect_transcript "$here/clean-machine.txt"
echo "PASS"

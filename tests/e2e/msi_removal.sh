#!/usr/bin/env bash
# Step 4 end to end: real Windows Installer products built with wixl and installed with msiexec
# are found in both uninstall lists and removed in order; what does not match stays installed.
# A stand-in in place of the system's msiexec then shows the exact command lines, and a machine
# without any uninstall list shows only the not-found line.
source "$(dirname "$0")/lib.sh"
source "$VOXTREL_SOURCE_DIR/scripts/lib/msi.sh"

uninstall_64='HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall'
uninstall_32='HKLM\SOFTWARE\WOW6432Node\Microsoft\Windows\CurrentVersion\Uninstall'
# Two matching products whose subkeys come one right after the other, a third one only in lower
# case, and a 32-bit product in the WOW6432Node list.
agent='{7A5E0C10-0000-4000-8000-000000000011}' updater='{7A5E0C10-0000-4000-8000-000000000012}'
lower='{7A5E0C10-0000-4000-8000-000000000013}' agent32='{7A5E0C10-0000-4000-8000-000000000021}'
# expect_step4 LINE...: the clean-machine transcript, with step 4's lines being LINEs.
expect_step4() { expect_clean "      No Voxtrel MSI products found." "$@"; }

echo "== real products: every matching one is uninstalled, in list order, 64-bit list first"
build_msi "$E2E_DIR/agent.msi" x64 "$agent" "Voxtrel Agent" "Voxtrel Agent"
build_msi "$E2E_DIR/updater.msi" x64 "$updater" "Agent Updater for Voxtrel" "Voxtrel Updater"
build_msi "$E2E_DIR/lower.msi" x64 "$lower" "voxtrel lower-case tools" "Lower Tools"
build_msi "$E2E_DIR/agent32.msi" x86 "$agent32" "Voxtrel Agent (32-bit)" "Voxtrel Agent 32"
for package in agent updater lower agent32; do install_msi "$E2E_DIR/$package.msi"; done
# A matching entry no Windows Installer product stands behind, and a neighbour that must stay.
wine_system reg add "$uninstall_64\\VoxtrelLegacy" /v DisplayName /d "Voxtrel Legacy Helper" /f >/dev/null
wine_system reg add "$uninstall_64\\OtherVendor" /v DisplayName /d "Other Vendor Tool" /f >/dev/null
run_tool
expect_step4 "      Uninstalling MSI: Voxtrel Legacy Helper (VoxtrelLegacy)" \
  "      Uninstalling MSI: Voxtrel Agent ($agent)" \
  "      Uninstalling MSI: Agent Updater for Voxtrel ($updater)" \
  "      Uninstalling MSI: Voxtrel Agent (32-bit) ($agent32)" \
  "      MSI uninstall commands issued."
for key in "$uninstall_64\\$agent" "$uninstall_64\\$updater" "$uninstall_32\\$agent32"; do
  reg_exists "$key" && fail "still installed: $key"
done
# msiexec cannot remove an entry that is not its product; the tool does not delete it either.
for key in "$lower" OtherVendor VoxtrelLegacy; do
  reg_exists "$uninstall_64\\$key" || fail "the entry $key was removed"
done
wine_system reg delete "$uninstall_64\\VoxtrelLegacy" /f >/dev/null

echo "== stand-in msiexec: the exact command lines, one call per root for a product in both"
mv "$drive_c/windows/system32/msiexec.exe" "$E2E_DIR/msiexec.exe.system"
cp "$VOXTREL_TEST_CHILD" "$drive_c/windows/system32/msiexec.exe"
both='{7A5E0C10-0000-4000-8000-000000000031}'
wine_system reg add "$uninstall_64\\$both" /v DisplayName /d "Voxtrel Agent" /f >/dev/null
wine_system reg add "$uninstall_32\\$both" /v DisplayName /d "Voxtrel Agent" /f >/dev/null
wine_system reg add "$uninstall_64\\Plain Name" /v DisplayName /d "Voxtrel" /f >/dev/null
wine_system reg add "$uninstall_64\\NumberName" /v DisplayName /t REG_DWORD /d 7 /f >/dev/null
wine_system reg add "$uninstall_64\\PublisherOnly" /v Publisher /d "Voxtrel" /f >/dev/null
record="$E2E_DIR/msiexec-calls.txt"
# Wine (8 and 10) prefers its built-in msiexec to the file of that name in the system directory;
# the override has the tool's children run the file, the stand-in.
WINEDLLOVERRIDES="$WINEDLLOVERRIDES;msiexec.exe=n" VOXTREL_CHILD_RECORD="$(unix_to_windows "$record")" run_tool
expect_step4 "      Uninstalling MSI: Voxtrel (Plain Name)" \
  "      Uninstalling MSI: Voxtrel Agent ($both)" \
  "      Uninstalling MSI: Voxtrel Agent ($both)" \
  "      MSI uninstall commands issued."
msiexec='"msiexec" /x'
[ "$(grep '^command_line=' "$record")" = "command_line=$msiexec \"Plain Name\" /quiet /norestart
command_line=$msiexec $both /quiet /norestart
command_line=$msiexec $both /quiet /norestart" ] ||
  fail "msiexec was not called as expected: $(cat "$record")"
for key in "$both" "Plain Name" NumberName PublisherOnly; do wine_system reg delete "$uninstall_64\\$key" /f >/dev/null; done
wine_system reg delete "$uninstall_32\\$both" /f >/dev/null

echo "== an entry an earlier uninstall took with it gets no line and no msiexec"
# The stand-in msiexec deletes the second product's entry, as an uninstall of a product chained
# to another does.
first='{7A5E0C10-0000-4000-8000-000000000041}' chained='{7A5E0C10-0000-4000-8000-000000000042}'
wine_system reg add "$uninstall_64\\$first" /v DisplayName /d "Voxtrel Agent" /f >/dev/null
wine_system reg add "$uninstall_64\\$chained" /v DisplayName /d "Voxtrel Add-on" /f >/dev/null
rm -f "$record"
WINEDLLOVERRIDES="$WINEDLLOVERRIDES;msiexec.exe=n" VOXTREL_CHILD_RECORD="$(unix_to_windows "$record")" \
  VOXTREL_CHILD_DELETE_KEY="${uninstall_64#HKLM\\}\\$chained" run_tool
expect_step4 "      Uninstalling MSI: Voxtrel Agent ($first)" "      MSI uninstall commands issued."
[ "$(grep '^command_line=' "$record")" = "command_line=$msiexec $first /quiet /norestart" ] ||
  fail "msiexec was not called once, for the first product: $(cat "$record")"
reg_exists "$uninstall_64\\$first" || fail "the stand-in's entry went: the scenario shows nothing"
wine_system reg delete "$uninstall_64\\$first" /f >/dev/null
mv "$E2E_DIR/msiexec.exe.system" "$drive_c/windows/system32/msiexec.exe"

echo "== stand-ins for sc.exe and taskkill: started by their files, named as the platform's tools name them"
for program in sc taskkill; do
  mv "$drive_c/windows/system32/$program.exe" "$E2E_DIR/$program.exe.system"
  cp "$VOXTREL_TEST_CHILD" "$drive_c/windows/system32/$program.exe"
done
rm -f "$record"
WINEDLLOVERRIDES="$WINEDLLOVERRIDES;sc.exe=n;taskkill.exe=n" VOXTREL_CHILD_RECORD="$(unix_to_windows "$record")" run_tool
for program in sc taskkill; do mv "$E2E_DIR/$program.exe.system" "$drive_c/windows/system32/$program.exe"; done
expect_clean
[ "$(grep '^command_line=\|^image=' "$record")" = 'command_line="sc.exe" stop VoxtrelAgent
image=C:\windows\system32\sc.exe
command_line="sc.exe" delete VoxtrelAgent
image=C:\windows\system32\sc.exe
command_line="taskkill" /F /IM voxtrel-agent.exe
image=C:\windows\system32\taskkill.exe' ] || fail "sc.exe and taskkill were not called as expected: $(cat "$record")"

echo "== no uninstall list at all: only the not-found line"
wine_system reg delete "$uninstall_64" /f >/dev/null
wine_system reg delete "$uninstall_32" /f >/dev/null
run_tool
expect_clean
expect_only_agent_removed start '' 'Program Files/Lower Tools|windows/Installer|HKEY_LOCAL_MACHINE\\Software\\(Classes\\Installer|Microsoft\\Windows\\CurrentVersion\\(Installer|Uninstall))'

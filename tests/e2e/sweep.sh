#!/usr/bin/env bash
# Step 8 end to end: leftovers under both roots found depth-first and deleted, the roots in order,
# names that only look like leftovers left alone, a failed deletion reported and counted apart,
# and a missing root silent.
here=$(dirname "$0")
source "$here/lib.sh"
source "$here/step8.sh"

echo "== leftover only under C:\\ProgramData: nothing for C:\\Program Files, then its line, then the total"
put "ProgramData/Vendor/Cache/voxtrel-agent.exe.old"
run_tool
[ "$TOOL_RC" -eq 0 ] || fail "exit code $TOOL_RC"
expect_step8 "$(removing "ProgramData/Vendor/Cache/voxtrel-agent.exe.old")" \
  "      Removed 1 leftover file(s)."
[ -e "$drive_c/ProgramData/Vendor/Cache/voxtrel-agent.exe.old" ] && fail "the leftover is still there"
[ -d "$drive_c/ProgramData/Vendor/Cache" ] || fail "the leftover's folder was removed"

echo "== C:\\Program Files missing: silent, and C:\\ProgramData is still swept"
mv "$drive_c/Program Files" "$drive_c/Program Files.away"
put "ProgramData/voxtrel-agent.exe.old.7"
run_tool
mv "$drive_c/Program Files.away" "$drive_c/Program Files"
[ "$TOOL_RC" -eq 0 ] || fail "exit code $TOOL_RC"
expect_step8 "$(removing "ProgramData/voxtrel-agent.exe.old.7")" "      Removed 1 leftover file(s)."

echo "== name matrix, a folder named like a leftover, a leftover past 260 characters, a folder link"
deep="ProgramData/Deep"
for _ in 1 2 3 4 5 6; do deep="$deep/$(printf 'd%.0s' {1..50})"; done
mkdir -p "$drive_c/ProgramData/Linked" "$drive_c/Outside"
ln -s "$drive_c/Outside" "$drive_c/ProgramData/Linked/to-outside"
program_files_leftovers=(
  "Program Files/Sweep/exact/voxtrel-agent.exe.old"
  "Program Files/Sweep/voxtrel-agent.exe.old.1"
  "Program Files/Sweep/voxtrel-agent.exe.old2.bak"
)
program_data_leftovers=(
  "ProgramData/Sweep/voxtrel-agent.exe.old/voxtrel-agent.exe.old.inner"
  "$deep/voxtrel-agent.exe.old"
  "ProgramData/Linked/to-outside/voxtrel-agent.exe.old"
)
decoys=(
  "Program Files/Sweep/voxtrel-agent.exe"
  "Program Files/Sweep/voxtrel-agent.exe.ol"
  "Program Files/Sweep/Voxtrel-agent.exe.old"
  "Program Files/Sweep/voxtrel-agent.EXE.old"
  "ProgramData/Sweep/xvoxtrel-agent.exe.old"
  "ProgramData/Sweep/backup voxtrel-agent.exe.old"
  "Elsewhere/voxtrel-agent.exe.old"
)
for path in "${program_files_leftovers[@]}" "${program_data_leftovers[@]}"; do put "$path"; done
for path in "${decoys[@]}"; do put "$path" "decoy"; done
[ "${#deep}" -gt 260 ] || fail "staging: the deep folder is too short"
run_tool
[ "$TOOL_RC" -eq 0 ] || fail "exit code $TOOL_RC"
mapfile -t got < <(step8_lines)
[ "${#got[@]}" -eq 7 ] || fail "expected 6 leftover lines and the total: $(printf '\n%s' "${got[@]}")"
[ "$(printf '%s\n' "${got[@]:0:3}" | sort)" = "$(for p in "${program_files_leftovers[@]}"; do removing "$p"; echo; done | sort)" ] ||
  fail "C:\\Program Files lines wrong or not first: $(printf '\n%s' "${got[@]}")"
[ "$(printf '%s\n' "${got[@]:3:3}" | sort)" = "$(for p in "${program_data_leftovers[@]}"; do removing "$p"; echo; done | sort)" ] ||
  fail "C:\\ProgramData lines wrong: $(printf '\n%s' "${got[@]}")"
[ "${got[6]}" = "      Removed 6 leftover file(s)." ] || fail "total line: ${got[6]}"
for path in "${program_files_leftovers[@]}" "${program_data_leftovers[@]}"; do
  [ -e "$drive_c/$path" ] && fail "leftover still there: $path"
done
for path in "${decoys[@]}"; do
  [ "$(cat "$drive_c/$path" 2>/dev/null)" = "decoy" ] || fail "decoy touched: $path"
done
[ -d "$drive_c/ProgramData/Sweep/voxtrel-agent.exe.old" ] || fail "the folder named like a leftover was removed"
[ -L "$drive_c/ProgramData/Linked/to-outside" ] || fail "the folder link was removed"
[ -d "$drive_c/Outside" ] || fail "the link's target folder was removed"
rm "$drive_c/ProgramData/Linked/to-outside"

echo "== a leftover held open without delete sharing: reported, counted apart, left in place"
put "Program Files/Fine/voxtrel-agent.exe.old"
put "ProgramData/Held/voxtrel-agent.exe.old" "held"
hold_file 'C:\ProgramData\Held\voxtrel-agent.exe.old'
run_tool
release_file
[ "$TOOL_RC" -eq 0 ] || fail "exit code $TOOL_RC"
expect_step8 "$(removing "Program Files/Fine/voxtrel-agent.exe.old")" \
  "$(removing "ProgramData/Held/voxtrel-agent.exe.old")" \
  "$(failed "ProgramData/Held/voxtrel-agent.exe.old")" \
  "      Removed 1 leftover file(s)." \
  "      Failed to remove 1 leftover file(s)."
[ "$(cat "$drive_c/ProgramData/Held/voxtrel-agent.exe.old")" = "held" ] || fail "the held leftover changed"
rm -f "$drive_c/ProgramData/Held/voxtrel-agent.exe.old"

echo "PASS"

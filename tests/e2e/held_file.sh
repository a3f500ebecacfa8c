#!/usr/bin/env bash
# A file in the data folder held open without delete sharing by another process for the whole
# run: step 6 prints its failure line and leaves the held file and what it had not reached; the
# program folder, the key and the leftovers still go (steps 7 and 8 run), and nothing that is not
# the agent's is touched.
here=$(dirname "$0")
source "$here/lib.sh"

stage_agent
held='C:\ProgramData\Voxtrel\cache\state\state.bin'
holder_output="$E2E_DIR/holder.txt"
wine "$VOXTREL_TEST_CHILD" --hold "$held" 600000 --print holding </dev/null >"$holder_output" 2>&1 &
holder_pid=$!
# The holder prints once the file is open.
for _ in $(seq 1 300); do
  grep -q holding "$holder_output" && break
  kill -0 "$holder_pid" 2>/dev/null || fail "the holder ended early: $(cat "$holder_output")"
  sleep 0.1
done
grep -q holding "$holder_output" || fail "the holder did not open $held"
snapshot staged

echo "== data folder with a held file"
run_tool
[ "$TOOL_RC" -eq 0 ] || fail "exit code $TOOL_RC"
sed 's/^      Removed: C:\\ProgramData\\Voxtrel$/      Failed to remove: C:\\ProgramData\\Voxtrel/' \
  "$here/full-machine.txt" >"$E2E_DIR/expected.txt"
expect_transcript "$E2E_DIR/expected.txt"
kill "$holder_pid" 2>/dev/null || true
wait "$holder_pid" 2>/dev/null || true

drive_c="$WINEPREFIX/drive_c"
[ -f "$drive_c/ProgramData/Voxtrel/cache/state/state.bin" ] || fail "the held file is gone"
[ ! -e "$drive_c/Program Files/Voxtrel" ] || fail "the program folder is still there"
reg_exists 'HKLM\SOFTWARE\Voxtrel' && fail "step 7 did not remove the product key"
snapshot after
# What the removal had not reached when it met the held file stays in the data folder.
expect_only_agent_removed staged after '^[DF] ProgramData/Voxtrel(/|\||$)'
echo "PASS"

#!/usr/bin/env bash
# The final read ends the run whatever standard input is: a pipe that gives Enter, a pipe that
# gives nothing before its end, or no standard input at all. Exit code 0 and the whole transcript
# each time, and no wait.
here=$(dirname "$0")
source "$here/lib.sh"

echo "== a pipe that gives Enter"
run_tool $'\n'
[ "$TOOL_RC" -eq 0 ] || fail "exit code $TOOL_RC"
expect_transcript "$here/clean-machine.txt"

echo "== a pipe that ends without data"
run_tool ""
[ "$TOOL_RC" -eq 0 ] || fail "exit code $TOOL_RC"
expect_transcript "$here/clean-machine.txt"

echo "== no standard input"
TOOL_RC=0
timeout 300 wine "$TOOL" <&- >"$TRANSCRIPT" 2>"$TOOL_ERRORS" || TOOL_RC=$?
[ "$TOOL_RC" -eq 0 ] || fail "exit code $TOOL_RC"
expect_transcript "$here/clean-machine.txt"
echo "PASS"

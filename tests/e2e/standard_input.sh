#!/usr/bin/env bash
# The final read ends the run whatever standard input is: a pipe that gives nothing before its
# end, or no standard input at all (a pipe that gives Enter is every other scenario's). Exit code
# 0 and the whole transcript each time, and no wait.
here=$(dirname "$0")
source "$here/lib.sh"

echo "== a pipe that ends without data"
run_tool ""
expect_clean

echo "== no standard input"
timeout 300 wine "$TOOL" <&- >"$TRANSCRIPT" 2>"$TOOL_ERRORS"
expect_clean
expect_only_agent_removed
echo "PASS"

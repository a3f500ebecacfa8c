#!/usr/bin/env bash
# The whole agent staged as the demo stages it, with decoys: the exact transcript, every agent
# process gone, nothing but the agent's footprint removed; then a second run changes nothing. The
# tool runs among stand-ins named like the system's programs, beside it and in the current folder
# (first on PATH): none may run.
here=$(dirname "$0")
source "$here/lib.sh"
current="$E2E_DIR/current"
plant "$current"
plant "$E2E_DIR/bin"

# run_among_planted: run_tool from the current folder of stand-ins (Wine puts WINEPATH in front
# of PATH); a record from any of them is a planted program that ran elevated.
run_among_planted() {
  pushd "$current" >/dev/null
  WINEPATH=. VOXTREL_CHILD_RECORD="$(unix_to_windows "$current/starts.txt")" run_tool
  popd >/dev/null
  [ ! -e "$current/starts.txt" ] || fail "a planted program ran: $(cat "$current/starts.txt")"
}

stage_agent
snapshot staged

echo "== fully staged machine"
run_among_planted
expect_transcript "$here/full-machine.txt"
[ -z "$(agent_processes)" ] || fail "agent processes still run: $(agent_processes)"
expect_only_agent_removed staged

echo "== run twice: the second run finds nothing and changes nothing"
run_among_planted
expect_clean
expect_only_agent_removed staged
echo "PASS"

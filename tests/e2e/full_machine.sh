#!/usr/bin/env bash
# The whole agent, staged as the demo stages it (a running service and a plain process, three
# installer products, both folders, the product key, leftovers, and decoys): the exact transcript,
# the service and every agent process gone, and nothing but the agent's footprint removed. Then a
# second run on the cleaned machine: the clean-machine transcript, and nothing changes.
here=$(dirname "$0")
source "$here/lib.sh"

stage_agent
[ "$(agent_processes | wc -l)" -eq 2 ] || fail "staging: expected the service and a plain copy running"
snapshot staged

echo "== fully staged machine"
run_tool
[ "$TOOL_RC" -eq 0 ] || fail "exit code $TOOL_RC"
expect_transcript "$here/full-machine.txt"
service_exists "$AGENT_SERVICE" && fail "the service is still registered"
service_exists "$DECOY_SERVICE" || fail "the decoy service $DECOY_SERVICE was deleted"
[ -z "$(agent_processes)" ] || fail "agent processes still run: $(agent_processes)"
snapshot cleaned
expect_only_agent_removed staged cleaned

echo "== run twice: the second run finds nothing and changes nothing"
run_tool
[ "$TOOL_RC" -eq 0 ] || fail "exit code $TOOL_RC on the second run"
expect_transcript "$here/clean-machine.txt"
snapshot cleaned-again
cmp -s "$E2E_DIR/cleaned.snapshot" "$E2E_DIR/cleaned-again.snapshot" ||
  fail "the second run changed the machine:
$(diff "$E2E_DIR/cleaned.snapshot" "$E2E_DIR/cleaned-again.snapshot" | head -n 40 | cut -c1-300)"
echo "PASS"

#!/usr/bin/env bash
# The agent runs from the program folder as plain processes when the tool starts (one started
# with --console, one that found no service control manager): step 3 kills them, so step 5 can
# remove the folder, which Wine, like Windows, refuses while the image runs.
here=$(dirname "$0")
source "$here/lib.sh"
program="$drive_c/Program Files/Voxtrel"

mkdir -p "$program"
cp "$VOXTREL_AGENT_EXE" "$program/voxtrel-agent.exe"
(wine "$AGENT_IMAGE" --console </dev/null >/dev/null 2>&1 &)
(wine "$AGENT_IMAGE" </dev/null >/dev/null 2>&1 &)
two_agents() { [ "$(agent_processes | wc -l)" -eq 2 ]; }
wait_until 10 two_agents || fail "the two agent processes did not start"
wine_system cmd /c del "$AGENT_IMAGE" >/dev/null 2>&1 || true
[ -f "$program/voxtrel-agent.exe" ] || fail "a running image could be deleted: the scenario shows nothing"

echo "== agent processes running from the program folder"
run_tool
expect_clean '      Not found, skipping: C:\Program Files\Voxtrel' \
  '      Removed: C:\Program Files\Voxtrel'
[ -z "$(agent_processes)" ] || fail "agent processes still run: $(agent_processes)"
expect_only_agent_removed
echo "PASS"

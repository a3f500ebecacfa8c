#!/usr/bin/env bash
# The console path under a pseudo-terminal: a character split between two writes reaches the
# console whole, and the real tool shows its transcript and ends when Enter is pressed.
here=$(dirname "$0")
source "$here/lib.sh"
export LANG=C.UTF-8

echo "== a character split across two writes"
screen="$E2E_DIR/split.txt"
VOXTREL_CONSOLE_CHILD=split pty_run "$screen" wine "$VOXTREL_CONSOLE_TESTS" || fail "split mode failed"
grep -q $'\xc3\xa9|' "$screen" || { od -c "$screen" | tail; fail "the split character was mangled"; }
grep -q $'\xef\xbf\xbd' "$screen" && fail "a replacement character reached the console"

echo "== the tool on a console: transcript, prompt, Enter"
screen="$E2E_DIR/tool.txt"
pty_run "$screen" wine "$TOOL" || fail "the tool did not exit 0 on a console"
plain=$(sed $'s/\x1b\\[[0-9;?]*[a-zA-Z]//g; s/\r//g' "$screen")
for line in "  Voxtrel Force-Removal Tool" "[1/8] Stopping VoxtrelAgent service..." \
  "[8/8] Searching for voxtrel-agent.exe.old* files..." "  Voxtrel cleanup complete."; do
  grep -qxF "$line" <<<"$plain" || fail "missing on the console: $line"
done
grep -q "^Press Enter to exit\.\.\." <<<"$plain" || fail "no prompt"
echo "PASS"

#!/usr/bin/env bash
# The console path under a pseudo-terminal: a character split between two writes reaches the
# console whole. (The tool's whole transcript on a console is progress_title.sh's.)
here=$(dirname "$0")
source "$here/lib.sh"
export LANG=C.UTF-8

echo "== a character split across two writes"
screen="$E2E_DIR/split.txt"
VOXTREL_CONSOLE_CHILD=split pty_run "$screen" wine "$VOXTREL_CONSOLE_TESTS" || fail "split mode failed"
grep -q $'\xc3\xa9|' "$screen" || { od -c "$screen" | tail; fail "the split character was mangled"; }
grep -q $'\xef\xbf\xbd' "$screen" && fail "a replacement character reached the console"
echo "PASS"

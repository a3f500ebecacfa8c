#!/usr/bin/env bash
# The console path under a pseudo-terminal. A character split between two writes reaches the
# console whole. The console title during the long steps (Wine sends each title as
# ESC ] 0 ; title BEL) counts step 6's removal and step 8's search, and the console's own title
# comes back before the closing banner. Redirected, no title; the transcript is the same.
source "$(dirname "$0")/lib.sh"
export LANG=C.UTF-8
bulk="$drive_c/ProgramData/Bulk"
original_title="Console before the tool"
title_prefix="Voxtrel Force-Removal Tool - "

# stage_trees: for step 6 a data folder of 60,000 entries; for step 8, under C:\ProgramData, 64,000
# entries with one leftover deep inside, and 2,000 links to one folder of 300 files, each link
# followed and listed: walks of seconds even on the fastest runs seen. The bulk tree stays.
stage_trees() {
  if [ ! -d "$bulk" ]; then
    mkdir -p "$bulk/shared" && touch "$bulk"/shared/f{000..299}
    (cd "$bulk" && mkdir d{0000..3999} && printf '%s\n' d{0000..3999}/f{00..14} | xargs touch)
    (cd "$bulk" && for i in {0000..1999}; do ln -s shared "link$i"; done)
  fi
  local data="$drive_c/ProgramData/Voxtrel"
  rm -rf "$data"; mkdir -p "$data"
  (cd "$data" && mkdir d{000..999} && printf '%s\n' d{000..999}/f{00..58} | xargs touch)
  printf leftover >"$bulk/d2345/voxtrel-agent.exe.old"
}

# titles SCREEN: every title the terminal was sent, one per line, in order.
titles() { grep -ao $'\e\\]0;[^\a]*\a' "$1" | sed $'s/^\e\\]0;//; s/\a$//' || true; }

# plain_text FILE: FILE without what only the terminal sees (titles, cursor moves, carriage
# returns, the trailing newlines of the echoed Enter).
plain_text() { printf '%s' "$(sed $'s/\e\\]0;[^\a]*\a//g; s/\e\\[[0-9;?]*[a-zA-Z]//g; s/\r//g' "$1")"; }

echo "== a character split across two writes"
VOXTREL_CONSOLE_CHILD=split pty_run "$E2E_DIR/split.txt" wine "$VOXTREL_CONSOLE_OUTPUT_TESTS" || fail "split mode failed"
grep -q $'\xc3\xa9|' "$E2E_DIR/split.txt" || { od -c "$E2E_DIR/split.txt" | tail; fail "the split character was mangled"; }
grep -q $'\xef\xbf\xbd' "$E2E_DIR/split.txt" && fail "a replacement character reached the console"

echo "== on a console: titles during steps 5, 6 and 8, the original back before the banner"
stage_trees
screen="$E2E_DIR/console.txt"
# pty_run hands its command to sh, so cmd.exe is named by its Unix path (see wine_system).
pty_run "$screen" wine "$drive_c/windows/system32/cmd.exe" /c "\"title $original_title&& $(unix_to_windows "$TOOL")\"" ||
  fail "the tool did not exit 0 on a console"
mapfile -t shown < <(titles "$screen")
printf '  title: %s\n' "${shown[@]}"
[ "${shown[0]:-}" = "$original_title" ] || fail "the console's title was not set first"
has_title() { printf '%s\n' "${shown[@]}" | grep -qx "$title_prefix$1"; }
# expect_count_title STEP WORD FIRST LAST: the step's walk counts in the title once it has gone on
# for the title interval (a quarter second). Whether it lasts that long is up to the machine, so
# the count is required only when the lines FIRST (the step's header, printed before its walk)
# and LAST (printed after it) reached the terminal a second or more apart.
expect_count_title() {
  local lasted
  lasted=$(awk -v first="$3" -v last="$4" 'index($0, first) { start = $1 }
    start && index($0, last) { printf "%.3f", $1 - start; exit }' "$screen.stamped")
  [ -n "$lasted" ] || fail "no lines of step $1 in the console's output"
  awk -v lasted="$lasted" -v step="$1" 'BEGIN {
    print "  step " step " lasted " lasted " s (a count is required from 1 s)"; exit !(lasted >= 1) }' || return 0
  has_title "step $1 of 8: [1-9][0-9,]* entries $2" || fail "step $1 lasted $lasted s without a count"
}
has_title "step 5 of 8: 0 entries removed" || fail "no title for step 5"
has_title "step 8 of 8: 0 entries searched" || fail "no title at the start of step 8"
expect_count_title 6 removed "[6/8] Removing" "[7/8] Removing"
expect_count_title 8 searched "[8/8] Searching" "Removed 1 leftover file(s)."
[ "${shown[-1]}" = "$original_title" ] || fail "the original title did not come back: ${shown[-1]}"
sed $'s/.*\e\\]0;//' <<<"$(tr -d '\n' <"$screen")" | grep -q "Voxtrel cleanup complete\." ||
  fail "the original title came back after the closing banner"
[ -e "$drive_c/ProgramData/Voxtrel" ] && fail "the data folder is still there"
[ -e "$bulk/d2345/voxtrel-agent.exe.old" ] && fail "the leftover is still there"
[ -e "$bulk/d3999/f14" ] || fail "the bulk tree lost a file"

echo "== standard output redirected: no title, the same transcript"
stage_trees
PROMPT_FILE="$TRANSCRIPT" pty_run "$E2E_DIR/redirected.txt" wine "$TOOL" ">$TRANSCRIPT" ||
  fail "the tool did not exit 0 with standard output redirected"
[ -z "$(titles "$E2E_DIR/redirected.txt")" ] || fail "a title was set with standard output redirected"
grep -q $'\e' "$TRANSCRIPT" && fail "an escape sequence reached the redirected transcript"
diff <(plain_text "$screen") <(plain_text "$TRANSCRIPT") || fail "the console's transcript differs from the redirected one"

echo "== the title's owner on a console with standard output elsewhere (unit tests on a terminal)"
report="$E2E_DIR/progress-title-tests.xml"
pty_run "$E2E_DIR/unit.txt" wine "$VOXTREL_PROGRESS_TITLE_TESTS" \
  "--gtest_filter=ConsoleWithOutputToNul.*" "'--gtest_output=xml:$(unix_to_windows "$report")'" ||
  fail "the unit tests failed on a console: $(plain_text "$E2E_DIR/unit.txt")"
grep -q '<testsuites tests="1" failures="0"' "$report" || fail "unexpected report: $(cat "$report")"
grep -q '<skipped' "$report" && fail "a console test skipped on a terminal: $(cat "$report")"
expect_only_agent_removed start '' 'ProgramData/Bulk'

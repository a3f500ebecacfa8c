# Sourced by every end-to-end scenario: a prefix of the scenario's own (copied from the booted
# template), the tool run under Wine, and checks on its transcript and on the machine. A scenario
# that reaches its end prints PASS.
source "$VOXTREL_SOURCE_DIR/scripts/lib/fixed-layout.sh"
source "$VOXTREL_SOURCE_DIR/scripts/lib/err-trap.sh"
source "$VOXTREL_SOURCE_DIR/scripts/lib/wine.sh"
source "$VOXTREL_SOURCE_DIR/scripts/lib/snapshot.sh"
source "$VOXTREL_SOURCE_DIR/scripts/lib/agent.sh"

E2E_DIR=$(mktemp -d /tmp/voxtrel-e2e.XXXXXX)
export WINEPREFIX="$E2E_DIR/prefix"
drive_c="$WINEPREFIX/drive_c"
TRANSCRIPT="$E2E_DIR/transcript.txt"
TOOL_ERRORS="$E2E_DIR/stderr.txt"
# What Wine's debugger reports of a process of the prefix that crashes (set below); a crash fails
# the scenario. Written here, outside the prefix, rather than to the crashed process's own output,
# which for a system program (services.exe, a driver's host) goes nowhere.
CRASH_REPORTS="$E2E_DIR/crash-reports.txt"
# finish_scenario STATUS: on exit, the prefix stopped and the scratch folder removed; the outcome
# said, with the status of a scenario that ends otherwise than by a reported failure.
finish_scenario() {
  local status=$1
  wine_stop_prefix "$WINEPREFIX"
  if [ -s "$CRASH_REPORTS" ]; then
    echo "FAIL: a process of the prefix crashed; Wine's debugger reported:" >&2
    cat "$CRASH_REPORTS" >&2
    ((status)) || status=1
  fi
  rm -rf "$E2E_DIR"
  if ((status)); then echo "ended with status $status" >&2; else echo PASS; fi
  exit "$status"  # an exit trap that only returns leaves the script's status as it was
}
trap 'finish_scenario $?' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

[ -z "${VOXTREL_TEMPLATE_PREFIX:-}" ] || wine_copy_prefix "$VOXTREL_TEMPLATE_PREFIX" "$WINEPREFIX"
[ -d "$WINEPREFIX" ] || wine_boot_prefix "$WINEPREFIX"
wine_start_prefix "$WINEPREFIX"
wine_system reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Debugger /f /d \
  "C:\\windows\\system32\\cmd.exe /c C:\\windows\\system32\\winedbg.exe --auto %ld %ld >>\"$(unix_to_windows "$CRASH_REPORTS")\" 2>&1" >/dev/null
TOOL="$E2E_DIR/bin/voxtrel-force-remove.exe"  # in a folder of its own
mkdir -p "$E2E_DIR/bin"; cp "$VOXTREL_EXE" "$TOOL"

# snapshot NAME: in $E2E_DIR/NAME.snapshot. The one named start is the machine before the scenario.
snapshot() { take_snapshot "$E2E_DIR/$1.snapshot"; }
snapshot start

# expect_only_agent_removed [SINCE [MAY_STAY [MAY_DIFFER]]]: every scenario that runs the tool
# ends with this. From the snapshot SINCE (default: start) to now, exactly the agent's footprint
# as it was in SINCE went away (entries of it that match the regular expression MAY_STAY may
# remain), and nothing else changed, appeared or went but entries whose path matches MAY_DIFFER:
# what the scenario itself staged and left, or took away.
expect_only_agent_removed() {
  local since="$E2E_DIR/${1:-start}.snapshot"
  snapshot now
  agent_footprint "$since" | LC_ALL=C sort >"$E2E_DIR/footprint"
  snapshot_difference "$since" "$E2E_DIR/now.snapshot" "$E2E_DIR/footprint" "${2:-}" "${3:-}" \
    >"$E2E_DIR/difference" || fail "from the snapshot ${1:-start} to now the machine changed \
otherwise than by the agent's removal: $(cat "$E2E_DIR/difference")"
}

# run_tool [INPUT]: runs the tool with INPUT (default: Enter) on standard input, the transcript in
# $TRANSCRIPT, standard error in $TOOL_ERRORS; an exit code other than 0 ends the scenario, showing
# both (the tool exits 0 unless writing to its console fails: another status is likely Wine's,
# which says why only there).
run_tool() {
  local status=0
  printf '%s' "${1-$'\n'}" | timeout 300 wine "$TOOL" >"$TRANSCRIPT" 2>"$TOOL_ERRORS" || status=$?
  ((status == 0)) || fail "the tool ended with status $status; standard error: \
$(cat "$TOOL_ERRORS"); transcript: $(cat "$TRANSCRIPT")"
}

# sort_leftover_lines FILE: FILE with each run of step 8's "Removing:" lines (each with the
# "Failed to remove:" line that may follow it) sorted, since a folder lists its entries in the
# file system's order (the unit tests check the depth-first order in a known listing order).
# Fails if a line under "C:\Program Files" comes after one under "C:\ProgramData".
sort_leftover_lines() {
  perl -e 'sub flush { print sort @run; @run = () }
    while (<>) {
      if (/^      Removing: /) {
        if (index($_, "C:\\ProgramData\\") == 16) { $data = 1 }
        elsif ($data) { warn "step 8: after C:\\ProgramData, $_"; $bad = 1 }
        push @run, $_;
      } elsif (/^      Failed to remove: (.*)/s && @run && $run[-1] eq "      Removing: $1") {
        $run[-1] .= $_;
      } else { flush(); $data = 0; print }
    }
    flush(); exit $bad' "$1"
}

# The clean machine's transcript: the one the README shows.
awk '/^On a machine with nothing of the agent left:$/ { found = 1 }
  found && /^```$/ { if (inside) exit; inside = 1; next } inside' "$VOXTREL_SOURCE_DIR/README.md" >"$E2E_DIR/clean-machine.txt"

# expect_clean [LINE NEW... [-- LINE NEW...]...]: the transcript must be the clean machine's, with
# each line LINE replaced by its NEW lines; except that after each of the first three steps'
# header come the lines the system programs print, up to the step's "Done." (none of them one the
# tool could print: six blanks and text, a step header, a banner), and that step 8's lines are
# compared as sort_leftover_lines gives them (NEW lists them sorted). The prompt ends it, no newline.
expect_clean() {
  local expected="$E2E_DIR/expected.edited" old new
  cp "$E2E_DIR/clean-machine.txt" "$expected"
  while (($#)); do
    old=$1 new=()
    shift
    while (($#)) && [ "$1" != -- ]; do new+=("$1") && shift; done
    (($# == 0)) || shift
    OLD=$old NEW=$(printf '%s\n' "${new[@]}") awk '
      $0 != "" && $0 == ENVIRON["OLD"] { print ENVIRON["NEW"]; next } { print }' "$expected" \
      >"$expected.next"
    mv "$expected.next" "$expected"
  done
  sort_leftover_lines "$TRANSCRIPT" >"$TRANSCRIPT.sorted" || fail "step 8 searched the roots out of order"
  awk '/^\[[1-3]\/8\] / { child = 1; print; next } child && $0 == "      Done." { child = 0 }
    child && /^      [^ ]|^\[[0-9]\/8\] |^=+$/ { print "among the system programs\047 lines, one of the tool\047s: " $0 }
    !child' "$TRANSCRIPT.sorted" | diff "$expected" - >"$E2E_DIR/transcript.diff" || {
    echo "--- transcript ---"; cat -A "$TRANSCRIPT"; echo "--- expected (<), transcript (>) ---"
    cat "$E2E_DIR/transcript.diff"; fail "the transcript is not the one expected"
  }
  [ "$(tail -c 22 "$TRANSCRIPT")" = "Press Enter to exit..." ] || fail "the prompt must end the transcript without a newline"
}
# expect_full [LINE NEW...]: expect_clean on the transcript of the machine stage_agent stages, which
# differs from the clean machine's in steps 4 to 8 (step 8 removes every leftover staged).
expect_full() {
  local leftovers
  mapfile -t leftovers < <(for f in "${AGENT_LEFTOVERS[@]}"; do printf '      Removing: C:\\%s\n' "${f//\//\\}"; done |
    LC_ALL=C sort)
  expect_clean '      No Voxtrel MSI products found.' \
    '      Uninstalling MSI: Voxtrel Agent ({5B0E1D2A-7C41-4E8B-9A63-2F1D0C9B8A01})' \
    '      Uninstalling MSI: Voxtrel Agent Plugins ({5B0E1D2A-7C41-4E8B-9A63-2F1D0C9B8A21})' \
    '      Uninstalling MSI: Voxtrel Updater ({5B0E1D2A-7C41-4E8B-9A63-2F1D0C9B8A11})' \
    '      MSI uninstall commands issued.' \
    -- '      Not found, skipping: C:\Program Files\Voxtrel' '      Removed: C:\Program Files\Voxtrel' \
    -- '      Not found, skipping: C:\ProgramData\Voxtrel' '      Removed: C:\ProgramData\Voxtrel' \
    -- '      Not found, skipping HKLM\SOFTWARE\Voxtrel.' '      Removed HKLM\SOFTWARE\Voxtrel.' \
    -- '      No leftover .old files found.' "${leftovers[@]}" '      Removed 6 leftover file(s).' -- "$@"
}

# plant DIR: recording stand-ins named like the system's programs the tool starts, in DIR, as a
# user could leave them beside the tool (in Downloads) or in the current folder.
plant() {
  local name
  mkdir -p "$1"
  for name in sc taskkill msiexec powershell; do cp "$VOXTREL_TEST_CHILD" "$1/$name.exe"; done
}

# reg_exists KEY: whether the 64-bit view holds KEY.
reg_exists() { wine_system reg query "$1" >/dev/null 2>&1; }
# service_exists NAME. (A grep -q that quits at the first match could leave sc to die of SIGPIPE,
# a failure under pipefail.)
service_exists() { wine_system sc query "$1" 2>/dev/null | grep SERVICE_NAME >/dev/null; }

# stage_agent: the whole agent and its decoys, staged by the script the demo uses, which waits for
# the service and both agent processes to run; then the snapshot "staged".
stage_agent() {
  bash "$VOXTREL_SOURCE_DIR/scripts/stage-agent.sh" >"$E2E_DIR/stage.log" 2>&1 ||
    { cat "$E2E_DIR/stage.log"; fail "staging the agent failed"; }
  snapshot staged
}

agent_processes() { prefix_processes 'voxtrel-agent\.exe'; }

# hold OPTION TARGET [OPTION TARGET]...: another process takes each TARGET as test_child's OPTION
# does (--hold, --hold-reading, --hold-folder, --hold-service) and keeps it until release_file; returns once all
# are taken (the holder prints when they are).
hold() {
  local output="$E2E_DIR/holder.txt"
  wine "$VOXTREL_TEST_CHILD" "$@" --print holding --sleep 600000 </dev/null >"$output" 2>&1 &
  HOLDER_PID=$!
  holding() { kill -0 "$HOLDER_PID" 2>/dev/null && grep -q holding "$output"; }
  wait_until 30 holding || fail "the holder did not take $* within 30 s: $(cat "$output")"
}
# hold_file WINDOWS-PATH: another process opens the file without delete sharing and keeps it
# open until release_file.
hold_file() { hold --hold "$1"; }
release_file() { { kill "$HOLDER_PID"; wait "$HOLDER_PID"; } 2>/dev/null || true; }

# pty_run OUTPUT COMMAND...: runs COMMAND on a pseudo-terminal, presses Enter (a carriage return,
# as a terminal sends it) once the prompt shows and returns COMMAND's exit code (script's, by
# pipefail). OUTPUT gets what the terminal received, OUTPUT.stamped its lines with arrival times;
# the prompt is looked for in OUTPUT, or in $PROMPT_FILE (for a COMMAND that redirects the tool).
pty_run() {
  local output=$1; shift
  local keys="$E2E_DIR/keys.fifo"
  rm -f "$keys"; mkfifo "$keys"
  # Wine keeps the terminal cooked until the first console read, so a CR typed before it became LF,
  # which Wine takes for no Enter. Kept as typed and unechoed, it waits as Windows keeps it.
  timeout 300 script -qec "stty -icrnl -echo; $*" /dev/null <"$keys" | perl -MTime::HiRes=time -e '
    open(my $raw, ">", $ARGV[0]) or die; open(my $stamped, ">", "$ARGV[0].stamped") or die;
    $raw->autoflush(1);
    while (sysread(STDIN, my $chunk, 65536)) {
      print $raw $chunk;
      $line .= $chunk;
      printf $stamped "%.3f %s", time, $1 while $line =~ s/^([^\n]*\n)//;
    }' "$output" &
  local pid=$!
  exec 3>"$keys"
  prompt_or_end() {
    grep -q "Press Enter to exit" "${PROMPT_FILE:-$output}" 2>/dev/null || ! kill -0 "$pid" 2>/dev/null
  }
  wait_until 60 prompt_or_end || fail "no prompt on the terminal within 60 s"
  # A COMMAND that has already ended has no reader left on the keys: no signal for that.
  (trap '' PIPE; printf '\r' >&3) 2>/dev/null || true
  exec 3>&-
  local rc=0
  wait "$pid" || rc=$?
  return "$rc"
}

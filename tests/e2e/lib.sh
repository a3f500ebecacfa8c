# Sourced by every end-to-end scenario: a prefix of the scenario's own (copied from the booted
# template), the tool run under Wine, and checks on its transcript and on the machine.
source "$VOXTREL_SOURCE_DIR/scripts/lib/err-trap.sh"
source "$VOXTREL_SOURCE_DIR/scripts/lib/wine.sh"
source "$VOXTREL_SOURCE_DIR/scripts/lib/snapshot.sh"
source "$VOXTREL_SOURCE_DIR/scripts/lib/agent.sh"

E2E_DIR=$(mktemp -d /tmp/voxtrel-e2e.XXXXXX)
export WINEPREFIX="$E2E_DIR/prefix"
drive_c="$WINEPREFIX/drive_c"
TRANSCRIPT="$E2E_DIR/transcript.txt"
TOOL_ERRORS="$E2E_DIR/stderr.txt"

e2e_teardown() {
  wine_stop_prefix "$WINEPREFIX"
  rm -rf "$E2E_DIR"
}
trap e2e_teardown EXIT

if [ -n "${VOXTREL_TEMPLATE_PREFIX:-}" ]; then
  wine_copy_prefix "$VOXTREL_TEMPLATE_PREFIX" "$WINEPREFIX"
else
  wine_boot_prefix "$WINEPREFIX"
fi
wine_start_prefix "$WINEPREFIX"
# The tool runs from a folder of its own.
TOOL="$E2E_DIR/bin/voxtrel-force-remove.exe"
mkdir -p "$E2E_DIR/bin"
cp "$VOXTREL_EXE" "$TOOL"

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# snapshot NAME: the machine's state now, in $E2E_DIR/NAME.snapshot.
snapshot() { take_snapshot "$E2E_DIR/$1.snapshot"; }
# The machine before the scenario, for expect_only_agent_removed.
snapshot start

# expect_only_agent_removed [SINCE [MAY_STAY [MAY_DIFFER]]]: every scenario that runs the tool
# ends with this. From the snapshot SINCE (default: the machine before the scenario began) to
# now, exactly the agent's footprint as it was in SINCE went away (entries of it that match the
# regular expression MAY_STAY may remain), and nothing else changed, appeared or went but entries
# whose path matches MAY_DIFFER: what the scenario itself staged and left, or took away.
expect_only_agent_removed() {
  local since="$E2E_DIR/${1:-start}.snapshot"
  snapshot now
  agent_footprint "$since" | LC_ALL=C sort >"$E2E_DIR/footprint"
  snapshot_difference "$since" "$E2E_DIR/now.snapshot" "$E2E_DIR/footprint" "${2:-}" "${3:-}" \
    >"$E2E_DIR/difference" || fail "from the snapshot ${1:-start} to now the machine changed \
otherwise than by the agent's removal: $(cat "$E2E_DIR/difference")"
}

# run_tool [INPUT]: runs the tool with INPUT (default: Enter) on standard input, the transcript in
# $TRANSCRIPT, standard error in $TOOL_ERRORS; an exit code other than 0 ends the scenario.
run_tool() {
  printf '%s' "${1-$'\n'}" | timeout 300 wine "$TOOL" >"$TRANSCRIPT" 2>"$TOOL_ERRORS"
}

# sort_leftover_lines FILE: FILE with each run of step 8's "Removing:" lines (each with the
# "Failed to remove:" line that may follow it) sorted, since a folder lists its entries in the
# file system's order (the unit tests check the depth-first order in a known listing order).
# Fails if a line under "C:\Program Files" comes after one under "C:\ProgramData".
sort_leftover_lines() {
  awk '
    function flush(   cmd) {
      if (count == 0) return
      fflush(); cmd = "LC_ALL=C sort | tr \"\\001\" \"\\n\""
      for (u = 1; u <= count; u++) print unit[u] | cmd
      close(cmd); count = 0
    }
    /^      Removing: / {
      unit[++count] = $0
      if (index($0, "C:\\ProgramData\\") == 17) in_data = 1
      else if (in_data) { print "step 8: " $0 " comes after C:\\ProgramData" > "/dev/stderr"; bad = 1 }
      next
    }
    /^      Failed to remove: / && count > 0 && index(unit[count], "\001") == 0 &&
      substr($0, 25) == substr(unit[count], 17) { unit[count] = unit[count] "\001" $0; next }
    { flush(); in_data = 0; print }
    END { flush(); exit bad }
  ' "$1"
}

# expect_transcript EXPECTED [LINE NEW... [-- LINE NEW...]...]: the transcript must equal
# EXPECTED, with each line LINE replaced by its NEW lines, line for line; except that a line
# "<child output>" there stands for any number of lines the system programs print (none of them
# one the tool could print: six blanks and text, a step header, a banner), and that step 8's
# lines are compared as sort_leftover_lines gives them (EXPECTED lists them sorted). The final
# prompt has no newline.
expect_transcript() {
  local expected="$E2E_DIR/expected.edited" reference=$1 old new
  cp "$1" "$expected"
  shift
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
  if ! awk -v expected="$expected" '
    BEGIN { n = 0; while ((getline line < expected) > 0) want[++n] = line }
    { got[++m] = $0 }
    END {
      i = 1; j = 1
      while (i <= n) {
        if (want[i] == "<child output>") {
          for (; j <= m && got[j] != want[i + 1]; j++) if (got[j] ~ /^      [^ ]|^\[[0-9]\/8\] |^=+$/) {
            printf "line %d: [%s] among the system programs\047 output is a line of the tool\047s\n", j, got[j]; exit 1
          }
          i++; continue
        }
        if (j > m || got[j] != want[i]) { printf "line %d: expected [%s] got [%s]\n", j, want[i], got[j]; exit 1 }
        i++; j++
      }
      if (j <= m) { printf "unexpected line %d: [%s]\n", j, got[j]; exit 1 }
    }' "$TRANSCRIPT.sorted"; then
    echo "--- transcript ---"; cat -A "$TRANSCRIPT"; echo "--- expected ---"; cat "$expected"
    fail "transcript differs from $(basename "$reference")"
  fi
  [ "$(tail -c 22 "$TRANSCRIPT")" = "Press Enter to exit..." ] || fail "the prompt must end the transcript without a newline"
}
# expect_clean [LINE NEW...]: expect_transcript on the clean machine's transcript.
expect_clean() { expect_transcript "$(dirname "$0")/clean-machine.txt" "$@"; }

# plant DIR: recording stand-ins named like the system's programs the tool starts, in DIR, as a
# user could leave them beside the tool (in Downloads) or in the current folder.
plant() {
  local name
  mkdir -p "$1"
  for name in sc.exe taskkill.exe msiexec.exe powershell.exe; do
    cp "$VOXTREL_TEST_CHILD" "$1/$name"
  done
}

# reg_exists KEY: whether the 64-bit view holds KEY.
reg_exists() { wine_system reg query "$1" >/dev/null 2>&1; }
# service_exists NAME. (A grep -q that quits at the first match could leave sc to die of SIGPIPE,
# a failure under pipefail.)
service_exists() { wine_system sc query "$1" 2>/dev/null | grep SERVICE_NAME >/dev/null; }

# stage_agent: the whole agent and its decoys, staged by the script the demo uses, which waits for
# the service and both agent processes to run.
stage_agent() {
  bash "$VOXTREL_SOURCE_DIR/scripts/stage-agent.sh" >"$E2E_DIR/stage.log" 2>&1 ||
    { cat "$E2E_DIR/stage.log"; fail "staging the agent failed"; }
}

# agent_processes: the live voxtrel-agent.exe processes of this scenario's prefix.
agent_processes() { prefix_processes 'voxtrel-agent\.exe'; }

# hold_file WINDOWS-PATH: another process opens the file without delete sharing and keeps it
# open until release_file; returns once the file is open (the holder prints when it is).
hold_file() {
  HOLDER_OUTPUT="$E2E_DIR/holder.txt"
  wine "$VOXTREL_TEST_CHILD" --hold "$1" 600000 --print holding </dev/null >"$HOLDER_OUTPUT" 2>&1 &
  HOLDER_PID=$!
  holding() {
    kill -0 "$HOLDER_PID" 2>/dev/null || fail "the holder ended early: $(cat "$HOLDER_OUTPUT")"
    grep -q holding "$HOLDER_OUTPUT"
  }
  wait_until 30 holding || fail "the holder did not open $1 within 30 s"
}

release_file() {
  kill "$HOLDER_PID" 2>/dev/null || true
  wait "$HOLDER_PID" 2>/dev/null || true
}

# pty_run OUTPUT COMMAND...: runs COMMAND on a pseudo-terminal, presses Enter (a carriage return,
# as a terminal sends it) once the prompt shows, and returns COMMAND's exit code. OUTPUT receives
# what the terminal received, and OUTPUT.stamped each of its lines with the time it arrived; the
# prompt is looked for in OUTPUT, or in $PROMPT_FILE when set (for a COMMAND that redirects the
# tool's standard output).
pty_run() {
  local output=$1; shift
  local keys="$E2E_DIR/keys.fifo"
  rm -f "$keys"; mkfifo "$keys"
  # pipefail makes the job's status script's own when it fails.
  timeout 300 script -qec "$*" /dev/null <"$keys" | perl -MTime::HiRes=time -e '
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

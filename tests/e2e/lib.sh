# Sourced by every end-to-end scenario: a prefix of the scenario's own (copied from the booted
# template), the tool run under Wine, and checks on its transcript and on the machine.
set -euo pipefail
source "$VOXTREL_SOURCE_DIR/scripts/lib/wine.sh"

E2E_DIR=$(mktemp -d /tmp/voxtrel-e2e.XXXXXX)
export WINEPREFIX="$E2E_DIR/prefix"
TRANSCRIPT="$E2E_DIR/transcript.txt"
TOOL_ERRORS="$E2E_DIR/stderr.txt"
TOOL_RC=0

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
# The tool runs from a folder of its own, so nothing beside it shadows the system programs.
mkdir -p "$E2E_DIR/bin"
cp "$VOXTREL_EXE" "$E2E_DIR/bin/voxtrel-force-remove.exe"
TOOL="$E2E_DIR/bin/voxtrel-force-remove.exe"

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# run_tool [INPUT]: runs the tool with INPUT (default: a line with Enter) on standard input;
# the transcript goes to $TRANSCRIPT, standard error to $TOOL_ERRORS, the exit code to $TOOL_RC.
run_tool() {
  local input=${1-$'\n'}
  TOOL_RC=0
  printf '%s' "$input" | timeout 300 wine "$TOOL" >"$TRANSCRIPT" 2>"$TOOL_ERRORS" || TOOL_RC=$?
}

# expect_transcript EXPECTED: the transcript must equal the EXPECTED file line for line, except
# that a line "<child output>" there stands for any number of lines the system programs print.
# The final prompt has no newline in either.
expect_transcript() {
  local expected=$1
  if ! awk -v expected="$expected" '
    BEGIN { n = 0; while ((getline line < expected) > 0) want[++n] = line }
    { got[++m] = $0 }
    END {
      i = 1; j = 1
      while (i <= n) {
        if (want[i] == "<child output>") {
          while (j <= m && got[j] != want[i + 1]) j++
          i++; continue
        }
        if (j > m || got[j] != want[i]) { printf "line %d: expected [%s] got [%s]\n", j, want[i], got[j]; exit 1 }
        i++; j++
      }
      if (j <= m) { printf "unexpected line %d: [%s]\n", j, got[j]; exit 1 }
    }' "$TRANSCRIPT"; then
    echo "--- transcript ---"; cat -A "$TRANSCRIPT"; echo "--- expected ---"; cat "$expected"
    fail "transcript differs from $(basename "$expected")"
  fi
  [ "$(tail -c 22 "$TRANSCRIPT")" = "Press Enter to exit..." ] || fail "the prompt must end the transcript without a newline"
}

# reg_exists KEY: whether the 64-bit view holds KEY.
reg_exists() { wine reg query "$1" >/dev/null 2>&1; }
# service_exists NAME
service_exists() { wine sc query "$1" 2>/dev/null | grep -q SERVICE_NAME; }

# step_result N: the line right after step N's header (steps 5 to 7 print exactly one).
step_result() {
  awk -v header="[$1/8]" 'found { print; exit } index($0, header) == 1 { found = 1 }' "$TRANSCRIPT"
}
# expect_step_result N LINE
expect_step_result() {
  local got
  got=$(step_result "$1")
  [ "$got" = "$2" ] || { cat "$TRANSCRIPT"; fail "step $1: expected [$2] got [$got]"; }
}

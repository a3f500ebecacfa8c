# Sourced by the step 8 scenarios after lib.sh: files put under the prefix's C: drive from the
# Linux side, the lines step 8 prints for them, and the check of the whole transcript.
drive_c="$WINEPREFIX/drive_c"

# put PATH-UNDER-DRIVE-C [CONTENT]
put() {
  mkdir -p "$(dirname "$drive_c/$1")"
  printf '%s' "${2:-leftover}" >"$drive_c/$1"
}
# win PATH-UNDER-DRIVE-C: the path as the tool prints it.
win() {
  local path=$1
  printf 'C:\\%s' "${path//\//\\}"
}
removing() { printf '      Removing: %s' "$(win "$1")"; }
failed() { printf '      Failed to remove: %s' "$(win "$1")"; }

# expect_step8 LINE...: the clean-machine transcript, with step 8's lines being LINEs.
expect_step8() {
  local expected="$E2E_DIR/expected.txt"
  STEP8="$(printf '%s\n' "$@")" awk '
    $0 == "      No leftover .old files found." { print ENVIRON["STEP8"]; next }
    { print }' "$here/clean-machine.txt" >"$expected"
  expect_transcript "$expected"
}

# The lines step 8 printed after its header.
step8_lines() {
  awk '/^\[8\/8\]/ { inside = 1; next } inside && $0 == "" { exit } inside' "$TRANSCRIPT"
}

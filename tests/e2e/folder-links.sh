#!/usr/bin/env bash
# Steps 5 and 6 meeting directory links, made from the Linux side as Unix symbolic links inside
# the prefix (Wine shows them as directory links, 0x410). Whatever happens to the link, the
# target and its content must stay. Wine 8 opens the target of such a link even when asked for
# the link itself, and deleting through it deletes the target, so no Windows program can delete
# the link alone here: the tool refuses to walk it and reports the folder as not removed. (On
# Windows the link itself is deleted; the unit tests check that with real junctions and links.)
# Every link points inside this scenario's prefix and is removed from the Linux side.
here=$(dirname "$0")
source "$here/lib.sh"
drive_c="$WINEPREFIX/drive_c"
target="$drive_c/voxtrel-link-target"

# The target's content, listed with each file's content, to compare before and after.
target_snapshot() {
  (cd "$target" && find . -print | sort && find . -type f -exec cat {} +)
}

mkdir -p "$target/sub"
printf 'target content\n' >"$target/content.txt"
printf 'deep content\n' >"$target/sub/deep.txt"
before=$(target_snapshot)

echo "== the program folder is a link, the data folder holds one"
ln -s ../voxtrel-link-target "$drive_c/Program Files/Voxtrel"
mkdir -p "$drive_c/ProgramData/Voxtrel"
ln -s ../../voxtrel-link-target "$drive_c/ProgramData/Voxtrel/shared"
run_tool
[ "$TOOL_RC" -eq 0 ] || fail "exit code $TOOL_RC"
expect_step_result 5 '      Failed to remove: C:\Program Files\Voxtrel'
expect_step_result 6 '      Failed to remove: C:\ProgramData\Voxtrel'
[ "$(target_snapshot)" = "$before" ] || fail "the link's target changed"
[ -L "$drive_c/Program Files/Voxtrel" ] || fail "the link at the top went"
[ -L "$drive_c/ProgramData/Voxtrel/shared" ] || fail "the link inside went"
rm "$drive_c/Program Files/Voxtrel" "$drive_c/ProgramData/Voxtrel/shared"

echo "== a link to a missing folder: not found, and it stays"
rmdir "$drive_c/ProgramData/Voxtrel"
ln -s ../voxtrel-missing-target "$drive_c/ProgramData/Voxtrel"
run_tool
expect_step_result 5 '      Not found, skipping: C:\Program Files\Voxtrel'
expect_step_result 6 '      Not found, skipping: C:\ProgramData\Voxtrel'
[ -L "$drive_c/ProgramData/Voxtrel" ] || fail "the dangling link went"
rm "$drive_c/ProgramData/Voxtrel"
[ "$(target_snapshot)" = "$before" ] || fail "the link's target changed"
echo "PASS"

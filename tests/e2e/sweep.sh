#!/usr/bin/env bash
# Step 8 end to end against links planted under C:\ProgramData (made from the Linux side): loops
# and links that fan out to 2^20 routes searched once, a link out of the root followed, a held
# leftover counted apart, a missing root silent, folders held without read sharing reported as not
# searched, and a folder swapped for a link after its listing unable to redirect the deletion.
# (Matching names, a path past 260 units: unattended.sh's.)
source "$(dirname "$0")/lib.sh"
data="$drive_c/ProgramData"

# put PATH-UNDER-DRIVE-C [CONTENT]
put() { mkdir -p "$(dirname "$drive_c/$1")" && printf '%s' "${2:-leftover}" >"$drive_c/$1"; }
removing() { printf '      Removing: C:\\%s' "${1//\//\\}"; }
# expect_step8 LINE...: the clean-machine transcript, with step 8's lines being LINEs.
expect_step8() { expect_clean "      No leftover .old files found." "$@"; }

echo "== C:\\Program Files missing; links to their own folder and to a grandparent, a link out"
mkdir -p "$data/Loop/A/B" "$drive_c/Outside"
for self in self1 self2; do ln -s . "$data/Loop/$self"; done
ln -s ../.. "$data/Loop/A/B/up"
ln -s "$drive_c/Outside" "$data/Loop/A/out"
put "ProgramData/Loop/voxtrel-agent.exe.old" "held"
put "ProgramData/Loop/A/B/voxtrel-agent.exe.old.b"
put "Outside/voxtrel-agent.exe.old.out"
# Held open, so every visit of its folder would print it again.
hold_file 'C:\ProgramData\Loop\voxtrel-agent.exe.old'
mv "$drive_c/Program Files" "$drive_c/Program Files.away"
run_tool
release_file
mv "$drive_c/Program Files.away" "$drive_c/Program Files"
expect_step8 "$(removing "ProgramData/Loop/A/B/voxtrel-agent.exe.old.b")" \
  "$(removing "ProgramData/Loop/A/out/voxtrel-agent.exe.old.out")" \
  "$(removing "ProgramData/Loop/voxtrel-agent.exe.old")" \
  "      Failed to remove: C:\\ProgramData\\Loop\\voxtrel-agent.exe.old" \
  "      Removed 2 leftover file(s)." "      Failed to remove 1 leftover file(s)."
[ "$(cat "$data/Loop/voxtrel-agent.exe.old")" = "held" ] || fail "the held leftover changed"
for link in Loop/self1 Loop/self2 Loop/A/B/up Loop/A/out; do [ -L "$data/$link" ] || fail "$link went"; done
[ -d "$drive_c/Outside" ] || fail "the link's target folder was removed"
# Everything before step 8's lines, byte for byte: the same in the next run.
before_step8=$(grep -b -m1 '^      Removing: ' "$TRANSCRIPT" | cut -d: -f1)
rm -rf "$data/Loop"

echo "== folders held without read sharing: step 8 and the footprint check say they were not searched"
put "ProgramData/Held/voxtrel-agent.exe.old" "held"
hold --hold-folder 'C:\ProgramData\Held'
run_tool
expect_step8 '      Could not search: C:\ProgramData\Held' '      No leftover .old files found.'
rc=0
timeout 60 wine "$VOXTREL_FOOTPRINT_EXE" </dev/null >"$E2E_DIR/footprint.txt" 2>&1 || rc=$?
grep -qx 'leftovers voxtrel-agent.exe.old\*: cannot tell (C:\\ProgramData\\Held: error 32: .*)' \
  <(tr -d '\r' <"$E2E_DIR/footprint.txt") && ((rc == 2)) ||
  fail "the footprint check did not say it could not tell (exit $rc): $(cat "$E2E_DIR/footprint.txt")"
release_file
hold --hold-folder 'C:\ProgramData'
run_tool
release_file
expect_step8 '      Could not search: C:\ProgramData' '      No leftover .old files found.'
[ "$(cat "$data/Held/voxtrel-agent.exe.old")" = "held" ] || fail "the unsearched leftover changed"
rm -rf "$data/Held"

echo "== 20 folders, each with two links to the next: 2^20 routes to a held leftover, searched once"
chain="$drive_c/Chain"
mkdir -p "$data/Fan/L0" "$chain"/L{1..20}
for i in {0..19}; do
  from="$chain/L$i" && ((i > 0)) || from="$data/Fan/L0"
  for link in a b; do ln -s "$chain/L$((i + 1))" "$from/$link"; done
done
put "Chain/L20/voxtrel-agent.exe.old" "held"
hold_file 'C:\Chain\L20\voxtrel-agent.exe.old'
started=$(date +%s%N)
run_tool
echo "   the run took $((($(date +%s%N) - started) / 1000000)) ms"
release_file
# Reached first through a or b at each level, whichever the listing gives first.
found=$(grep '^      Removing: ' "$TRANSCRIPT")
grep -Eqx '      Removing: C:\\ProgramData\\Fan\\L0(\\[ab]){20}\\voxtrel-agent\.exe\.old' <<<"$found" ||
  fail "the held leftover was not reported once, through the links: $found"
expect_step8 "$found" "      Failed to remove: ${found#      Removing: }" \
  "      Failed to remove 1 leftover file(s)."
[ "$(cat "$chain/L20/voxtrel-agent.exe.old")" = "held" ] || fail "the held leftover changed"
for i in {1..19}; do [ -L "$chain/L$i/a" ] && [ -L "$chain/L$i/b" ] || fail "a link in L$i went"; done
rm -rf "$data/Fan" "$chain"

echo "== a folder swapped for a link after its listing: the deletion goes through the listed folder"
put "ProgramData/Evil/voxtrel-agent.exe.old" "listed"
put "Victim/voxtrel-agent.exe.old" "victim"
# Listed only if the tool lists through the link: the swap must come after the listing.
put "Victim/voxtrel-agent.exe.old-victim" "victim"
# The tool's output goes into a pipe that nothing reads yet, filled beforehand so that exactly the
# bytes before step 8's first line still fit: the tool then blocks writing "Removing:" for the
# Evil leftover, after listing Evil and before deleting from it. Linux pipes hold 16 pages, and
# small writes share a page only while it has room: 15 full pages, then a partial one.
((before_step8 < 4096)) || fail "the transcript before step 8 no longer fits in one pipe page"
fifo="$E2E_DIR/output.fifo"
mkfifo "$fifo"
exec 3<>"$fifo"
perl -e 'open(my $f, ">", $ARGV[0]) or die; syswrite($f, "f" x 4096) for 1 .. 15;
         syswrite($f, "f" x $ARGV[1])' "$fifo" $((4096 - before_step8))
timeout 300 wine "$TOOL" <<<'' >"$fifo" 2>"$TOOL_ERRORS" &
tool_job=$!
tool_blocked() { grep -qs pipe_write /dev/null $(prefix_processes 'voxtrel-force-remove\.exe' | sed 's|.*|/proc/&/wchan|'); }
wait_until 60 tool_blocked || fail "the tool never blocked on its output"
[ -e "$data/Evil/voxtrel-agent.exe.old" ] || fail "the Evil leftover went before the swap"
mv "$data/Evil" "$data/Evil.moved"
ln -s "$drive_c/Victim" "$data/Evil"
# Wine's own background processes keep the pipe open after the tool has ended, so the reader
# stops at a mark written once the tool is done.
perl -e 'local $/ = "\0end\0"; my $all = <STDIN>; chomp $all; print $all' <"$fifo" >"$E2E_DIR/raw.txt" &
reader_job=$!
wait "$tool_job"
printf '\0end\0' >&3
wait "$reader_job"
exec 3<&-
tail -c +$((61440 + 4096 - before_step8 + 1)) "$E2E_DIR/raw.txt" >"$TRANSCRIPT"
rm "$data/Evil"
# One line: Evil was listed before the swap, so the link's target was never searched.
expect_step8 "$(removing "ProgramData/Evil/voxtrel-agent.exe.old")" "      Removed 1 leftover file(s)."
for file in voxtrel-agent.exe.old voxtrel-agent.exe.old-victim; do
  [ "$(cat "$drive_c/Victim/$file")" = "victim" ] || fail "the link's target lost $file"
done
# Windows deletes the file the folder's handle holds; Wine deletes by the path the folder had when
# it was opened and, finding another file there, deletes nothing: the listed file may stay.
expect_only_agent_removed start '' 'Outside|Victim|ProgramData/Evil\.moved'

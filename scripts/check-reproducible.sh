#!/usr/bin/env bash
# The reproducibility check: copies the sources into two folders of different names and lengths,
# builds the release tool cleanly in each (the second in another time zone and locale) and
# compares each executable (the tool, the footprint check) of the two builds byte for byte.
# Prints their sizes and SHA-256; fails on any difference, naming the first differing bytes.
set -euo pipefail
cd "$(dirname "$0")/.."
sources=$PWD

scratch=$(mktemp -d /tmp/voxtrel-reproducible.XXXXXX)
trap 'rm -rf "$scratch"' EXIT

# build_copy TREE: a clean release build of a fresh copy of the sources, without build outputs.
build_copy() {
  mkdir -p "$1"
  tar -C "$sources" --exclude=./build --exclude=./dist --exclude=./.git -cf - . | tar -C "$1" -xf -
  if ! (cd "$1" && cmake --preset release && cmake --build --preset release) >"$1.log" 2>&1; then
    cat "$1.log" >&2
    echo "release build in $1 failed" >&2
    exit 1
  fi
}

first="$scratch/a"
second="$scratch/second-tree-with-a-longer-name"
build_copy "$first"
TZ=Pacific/Kiritimati LC_ALL=C build_copy "$second"

for exe in build/release/voxtrel-force-remove.exe build/release/voxtrel-footprint.exe; do
  if ! cmp "$first/$exe" "$second/$exe"; then
    echo "FAIL: two builds of the same sources differ" >&2
    exit 1
  fi
  echo "Reproducible: $exe, $(stat -c %s "$first/$exe") bytes, SHA-256 $(sha256sum "$first/$exe" | cut -d' ' -f1)"
done

#!/usr/bin/env bash
# The unit tests as a bundle for a Windows 10 or 11 machine. Builds them optimised, as the release
# tool is built, and writes under dist/ (VOXTREL_DIST_DIR writes elsewhere):
#   voxtrel-tests-VERSION/       every unit test program, test_child.exe (the stand-in program
#                                some of them start) and run-tests.cmd, which runs them all
#   voxtrel-tests-VERSION.zip    that folder as one archive
# VERSION is the CMake project version. release_image_tests is left out: it checks the release
# executable built here, and the test command runs it.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake --preset test-release >/dev/null
cmake --build --preset test-release >/dev/null

built=build/test-release
version=$(sed -n 's/^#define VOXTREL_VERSION_TEXT "\(.*\)"$/\1/p' "$built/resources/version.h")
[ -n "$version" ] || { echo "no project version in $built/resources/version.h" >&2; exit 1; }
name="voxtrel-tests-$version"
dist=${VOXTREL_DIST_DIR:-dist}
bundle="$dist/$name"

rm -rf "$bundle" "$bundle.zip"
mkdir -p "$bundle"
# The programs of the test sources there are (tests/unit/NAME_tests.cpp builds NAME_tests.exe), not
# whatever the build folder holds: a program left there by a source since renamed or removed
# would run its cases twice, or cases that no longer exist.
for source in tests/unit/*_tests.cpp; do
  program=$(basename "$source" .cpp)
  [ "$program" = release_image_tests ] || cp "$built/tests/$program.exe" "$bundle/"
done
cp "$built/tests/test_child.exe" "$bundle/"
# cmd.exe reads a batch file line by line; with CRLF endings, as Windows' own tools write them.
sed 's/$/\r/' scripts/run-tests.cmd >"$bundle/run-tests.cmd"

epoch=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct 2>/dev/null || date +%s)}
touch -d "@$epoch" "$bundle" "$bundle"/*
(cd "$dist" && rm -f "$name.zip" && TZ=UTC zip -q -X -D -r "$name.zip" "$name")

echo "Test bundle: $bundle.zip ($(ls "$bundle" | grep -c '_tests\.exe$') test programs)"

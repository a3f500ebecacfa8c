#!/usr/bin/env bash
# The release package: builds the release tool and writes, under dist/,
#   voxtrel-force-remove-VERSION/        the executable, README.md and SHA256SUMS for both
#   voxtrel-force-remove-VERSION.zip     that folder as one archive
#   voxtrel-force-remove-VERSION.zip.sha256
# VERSION is the CMake project version. The archive's entries carry the time of the last commit
# (or SOURCE_DATE_EPOCH), so packaging the same commit twice gives the same archive.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release >/dev/null

version=$(sed -n 's/^#define VOXTREL_VERSION_TEXT "\(.*\)"$/\1/p' build/release/resources/version.h)
[ -n "$version" ] || { echo "no project version in build/release/resources/version.h" >&2; exit 1; }
name="voxtrel-force-remove-$version"
package="dist/$name"

rm -rf "$package" "$package.zip" "$package.zip.sha256"
mkdir -p "$package"
cp build/release/voxtrel-force-remove.exe README.md "$package/"
(cd "$package" && sha256sum voxtrel-force-remove.exe README.md >SHA256SUMS)

epoch=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct 2>/dev/null || date +%s)}
touch -d "@$epoch" "$package" "$package"/*
(cd dist && TZ=UTC zip -q -X -D "$name.zip" "$name/voxtrel-force-remove.exe" "$name/README.md" \
  "$name/SHA256SUMS" && sha256sum "$name.zip" >"$name.zip.sha256")

echo "Package: $package.zip"
echo "Executable: $(stat -c %s "$package/voxtrel-force-remove.exe") bytes"
cat "$package/SHA256SUMS"

#!/usr/bin/env bash
# The release package: builds the release tool and writes, under dist/,
#   voxtrel-force-remove-VERSION/        the tool, the footprint check (voxtrel-footprint.exe),
#                                        the unattended script (remove-voxtrel.cmd), README.md
#                                        and SHA256SUMS for all four
#   voxtrel-force-remove-VERSION.zip     that folder as one archive
#   voxtrel-force-remove-VERSION.zip.sha256
# VERSION is the CMake project version. The archive's entries carry the time of the last commit
# (or SOURCE_DATE_EPOCH), so packaging the same commit twice gives the same archive.
#
# Authenticode signature of both executables, made with osslsigncode when a key is given:
#   VOXTREL_SIGNING_PFX       PKCS#12 file with the code-signing certificate and its private key
#   VOXTREL_SIGNING_PASSWORD  its password (may be empty or unset)
#   VOXTREL_TIMESTAMP_URL     RFC 3161 time-stamp server (optional; needs the network)
#   VOXTREL_PROJECT_URL       URL the signature names as the project's page (optional)
# Without VOXTREL_SIGNING_PFX the executables are packaged unsigned. VOXTREL_DIST_DIR writes the
# package somewhere other than dist/.
set -euo pipefail
cd "$(dirname "$0")/.."

# Every executable of the package, each built at the top of build/release; and the files that go
# in as the repository holds them (the script with its Windows line ends, see .gitattributes).
executables=(voxtrel-force-remove.exe voxtrel-footprint.exe)
sources=(resources/remove-voxtrel.cmd README.md)

# sign_executable FROM TO: writes TO, the file FROM with an Authenticode signature (SHA-256) that
# names the product and, if set, the project URL, time-stamped if a server is set. osslsigncode's
# messages are shown only when it fails; a failure ends the script.
sign_executable() {
  local product
  product=$(sed -n 's/^ *VALUE "ProductName", "\(.*\)"$/\1/p' resources/image.rc)
  [ -n "$product" ] || { echo "no product name in resources/image.rc" >&2; exit 1; }
  local args=(sign -pkcs12 "$VOXTREL_SIGNING_PFX" -h sha256 -n "$product" -in "$1" -out "$2")
  [ -z "${VOXTREL_PROJECT_URL:-}" ] || args+=(-i "$VOXTREL_PROJECT_URL")
  [ -z "${VOXTREL_TIMESTAMP_URL:-}" ] || args+=(-ts "$VOXTREL_TIMESTAMP_URL")
  # A password goes through a pipe, not the command line that any process can read (osslsigncode
  # 2.5, Debian 12's, reads no password from standard input); an empty one cannot be read that way.
  local password=${VOXTREL_SIGNING_PASSWORD:-} log status=0
  log=$(mktemp)
  if [ -n "$password" ]; then
    osslsigncode "${args[@]}" -readpass <(printf '%s' "$password") >"$log" 2>&1 || status=$?
  else
    osslsigncode "${args[@]}" -pass "" >"$log" 2>&1 || status=$?
  fi
  if [ "$status" -ne 0 ]; then
    cat "$log" >&2
    rm -f "$log" "$2"
    echo "signing $1 with $VOXTREL_SIGNING_PFX failed" >&2
    exit 1
  fi
  rm -f "$log"
}

scripts/install-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release >/dev/null

version=$(sed -n 's/^#define VOXTREL_VERSION_TEXT "\(.*\)"$/\1/p' build/release/resources/version.h)
[ -n "$version" ] || { echo "no project version in build/release/resources/version.h" >&2; exit 1; }
name="voxtrel-force-remove-$version"
dist=${VOXTREL_DIST_DIR:-dist}
package="$dist/$name"

# cmd.exe misreads a batch file whose lines end in a bare LF (labels and goto most of all).
if grep -qv $'\r$' resources/remove-voxtrel.cmd; then
  echo "resources/remove-voxtrel.cmd has lines without CRLF; see .gitattributes" >&2
  exit 1
fi
rm -rf "$package" "$package.zip" "$package.zip.sha256"
mkdir -p "$package"
cp "${sources[@]}" "$package/"
# The signature goes in before the checksums and the archive, which must describe the signed file.
if [ -n "${VOXTREL_SIGNING_PFX:-}" ]; then
  [ -r "$VOXTREL_SIGNING_PFX" ] || { echo "cannot read $VOXTREL_SIGNING_PFX" >&2; exit 1; }
  for exe in "${executables[@]}"; do sign_executable "build/release/$exe" "$package/$exe"; done
  echo "Signed with $VOXTREL_SIGNING_PFX${VOXTREL_TIMESTAMP_URL:+, time stamp from $VOXTREL_TIMESTAMP_URL}"
else
  for exe in "${executables[@]}"; do cp "build/release/$exe" "$package/"; done
  echo "Unsigned: VOXTREL_SIGNING_PFX is not set, so ${executables[*]} carry no signature"
fi
names=("${executables[@]}" "${sources[@]##*/}")
(cd "$package" && sha256sum "${names[@]}" >SHA256SUMS)

epoch=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct 2>/dev/null || date +%s)}
touch -d "@$epoch" "$package" "$package"/*
(cd "$dist" && TZ=UTC zip -q -X -D "$name.zip" "${names[@]/#/$name/}" "$name/SHA256SUMS" &&
  sha256sum "$name.zip" >"$name.zip.sha256")

echo "Package: $package.zip"
for exe in "${executables[@]}"; do echo "$exe: $(stat -c %s "$package/$exe") bytes"; done
cat "$package/SHA256SUMS"

#!/usr/bin/env bash
# The release package signed with a throwaway certificate and a local time-stamp server: both
# executables (the tool and the footprint check) signed (SHA-256, product name, project URL, time
# stamp) by that certificate and no other, checksums and archive of the signed files, nothing
# changed but the appended signature (and release_image_tests pass on each); the unattended
# script as the repository holds it, with Windows line ends, in the checksums and the archive.
# An unreachable time-stamp server or a wrong password fails the package; without a key it holds
# the built file and says so once. Environment: VOXTREL_SOURCE_DIR, VOXTREL_IMAGE_TESTS
# (release_image_tests.exe), VOXTREL_TEMPLATE_PREFIX (a booted Wine prefix to copy; optional).
set -euo pipefail
source "$VOXTREL_SOURCE_DIR/scripts/lib/wine.sh"

scratch=$(mktemp -d /tmp/voxtrel-signing.XXXXXX)
export WINEPREFIX="$scratch/prefix"
tsa_pid=
trap '[ -z "$tsa_pid" ] || kill "$tsa_pid" 2>/dev/null; wine_stop_prefix "$WINEPREFIX"; rm -rf "$scratch"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

# Only what each package run sets below.
unset VOXTREL_SIGNING_PFX VOXTREL_TIMESTAMP_URL VOXTREL_PROJECT_URL VOXTREL_DIST_DIR
built="$VOXTREL_SOURCE_DIR/build/release"
# The package's executables: the tool and the footprint check, signed and checked alike.
executables=(voxtrel-force-remove.exe voxtrel-footprint.exe)
project_url="https://voxtrel.example/force-remove"
export VOXTREL_SIGNING_PASSWORD="throwaway pass"

# make_certificate NAME USAGE: NAME.pem, a self-signed certificate for USAGE, and NAME.key; and
# for code signing NAME.p12 with its key under the password.
make_certificate() {
  openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=$1" \
    -addext "extendedKeyUsage=$2" -addext keyUsage=digitalSignature \
    -keyout "$scratch/$1.key" -out "$scratch/$1.pem" 2>/dev/null
  [ "$2" != codeSigning ] || openssl pkcs12 -export -inkey "$scratch/$1.key" \
    -in "$scratch/$1.pem" -passout env:VOXTREL_SIGNING_PASSWORD -out "$scratch/$1.p12"
}

# package DIST [VARIABLE=VALUE...]: runs the package script into DIST; its output goes to
# DIST.log, its exit code to $package_rc.
package() {
  package_rc=0
  env "${@:2}" VOXTREL_DIST_DIR="$1" bash "$VOXTREL_SOURCE_DIR/scripts/package.sh" >"$1.log" 2>&1 ||
    package_rc=$?
}

# A time-stamp authority on 127.0.0.1 signing with tsa.pem, at $tsa_url.
make_certificate signer codeSigning
make_certificate stranger codeSigning
make_certificate tsa critical,timeStamping
echo 01 >"$scratch/tsa.serial"
printf '%s\n' "[ tsa ]" "default_tsa = local" "[ local ]" "serial = $scratch/tsa.serial" \
  "signer_cert = $scratch/tsa.pem" "signer_key = $scratch/tsa.key" "signer_digest = sha256" \
  "default_policy = 1.2.3.4.1" "digests = sha256" "ess_cert_id_alg = sha256" >"$scratch/tsa.cnf"
python3 "$(dirname "$0")/timestamp_server.py" "$scratch/tsa.cnf" >"$scratch/tsa.port" 2>"$scratch/tsa.log" &
tsa_pid=$!
wait_until 10 test -s "$scratch/tsa.port" ||
  fail "the time-stamp server did not start: $(cat "$scratch/tsa.log")"
tsa_url="http://127.0.0.1:$(head -1 "$scratch/tsa.port")/"

echo "== signed package"
signed_dist="$scratch/signed"
package "$signed_dist" VOXTREL_SIGNING_PFX="$scratch/signer.p12" VOXTREL_PROJECT_URL="$project_url" \
  VOXTREL_TIMESTAMP_URL="$tsa_url"
cat "$signed_dist.log"
[ "$package_rc" -eq 0 ] || fail "packaging with a key failed"
folder=$(find "$signed_dist" -mindepth 1 -maxdepth 1 -type d)
grep -q '^Unsigned' "$signed_dist.log" && fail "a signed package says it is unsigned"

for name in "${executables[@]}"; do
  exe="$folder/$name"
  osslsigncode verify -CAfile "$scratch/signer.pem" -TSA-CAfile "$scratch/tsa.pem" -in "$exe" \
    >"$scratch/verify.txt" 2>&1 ||
    { cat "$scratch/verify.txt"; fail "$name: the signature does not verify against the signer"; }
  for line in "Message digest algorithm  : SHA256" "Text description: Voxtrel Force-Removal Tool" \
    "URL description: $project_url" "Subject: /CN=signer" \
    "Timestamp Server Signature verification: ok"; do
    grep -qF "$line" "$scratch/verify.txt" || { cat "$scratch/verify.txt"; fail "$name: no '$line'"; }
  done
  osslsigncode verify -CAfile "$scratch/stranger.pem" -in "$exe" >/dev/null 2>&1 &&
    fail "$name: the signature verifies against a certificate that did not make it"
  unzip -p "$signed_dist"/*.zip "$(basename "$folder")/$name" | cmp - "$exe" ||
    fail "the archive does not hold the signed $name"
  osslsigncode remove-signature -in "$exe" -out "$scratch/stripped-$name" >/dev/null
  cmp "$scratch/stripped-$name" "$built/$name" ||
    fail "$name: signing changed more than the appended signature"
done
script=remove-voxtrel.cmd
cmp "$folder/$script" "$VOXTREL_SOURCE_DIR/resources/$script" ||
  fail "the package's $script is not the repository's"
# cmd.exe reads a batch file by CRLF lines: every line ends in one, the last too.
[ "$(tail -c 2 "$folder/$script" | od -An -tx1 | tr -d ' ')" = 0d0a ] &&
  ! grep -qv $'\r$' "$folder/$script" || fail "$script does not end every line with CRLF"
unzip -p "$signed_dist"/*.zip "$(basename "$folder")/$script" | cmp - "$folder/$script" ||
  fail "the archive does not hold $script"
[ "$(awk '{ print $2 }' "$folder/SHA256SUMS" | LC_ALL=C sort)" = \
  "$(printf '%s\n' README.md "$script" "${executables[@]}" | LC_ALL=C sort)" ] ||
  fail "SHA256SUMS does not list every file of the package: $(cat "$folder/SHA256SUMS")"
(cd "$folder" && sha256sum --quiet -c SHA256SUMS) || fail "SHA256SUMS does not describe the files"
(cd "$signed_dist" && sha256sum --quiet -c ./*.zip.sha256) || fail "the archive's checksum is wrong"

echo "== release image checks on the signed executable"
[ -z "${VOXTREL_TEMPLATE_PREFIX:-}" ] || wine_copy_prefix "$VOXTREL_TEMPLATE_PREFIX" "$WINEPREFIX"
[ -d "$WINEPREFIX" ] || wine_boot_prefix "$WINEPREFIX"
for name in "${executables[@]}"; do
  VOXTREL_RELEASE_EXE="$folder/$name" VOXTREL_RELEASE_SIGNED=1 wine "$VOXTREL_IMAGE_TESTS" ||
    fail "the signed $name fails the release image checks"
done

echo "== failures end the package"
for failure in "no-stamp VOXTREL_TIMESTAMP_URL=http://127.0.0.1:9/" \
  "bad-password VOXTREL_SIGNING_PASSWORD=wrong"; do
  read -r name setting <<<"$failure"
  package "$scratch/$name" VOXTREL_SIGNING_PFX="$scratch/signer.p12" "$setting"
  [ "$package_rc" -ne 0 ] || fail "$name: the packaging succeeded"
  compgen -G "$scratch/$name/*.zip" >/dev/null && fail "$name: an archive was written"
done

echo "== unsigned package"
unsigned_dist="$scratch/unsigned"
package "$unsigned_dist"
[ "$package_rc" -eq 0 ] || { cat "$unsigned_dist.log"; fail "packaging without a key failed"; }
[ "$(grep -c '^Unsigned' "$unsigned_dist.log")" -eq 1 ] ||
  { cat "$unsigned_dist.log"; fail "no single line saying the package is unsigned"; }
for name in "${executables[@]}"; do
  cmp "$unsigned_dist"/*/"$name" "$built/$name" ||
    fail "the unsigned package does not hold the built $name"
done
echo "PASS"

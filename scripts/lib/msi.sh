# Building small Windows Installer products from tests/e2e/msi/product.wxs with wixl (sourced,
# not run). Used by the agent staging and by the end-to-end scenarios.

MSI_PRODUCT_SOURCE="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)/tests/e2e/msi/product.wxs"

# build_msi OUT ARCH PRODUCT_CODE DISPLAY_NAME FOLDER
#   ARCH is x64 (64-bit Program Files and Uninstall list) or x86 (the 32-bit ones). The upgrade
#   code and the component GUID are derived from the product code, so products built with
#   different codes never share a component.
build_msi() {
  local out=$1 arch=$2 code=$3 name=$4 folder=$5
  local tail=${code#\{????????}
  local program_files=ProgramFiles64Folder
  [ "$arch" = x64 ] || program_files=ProgramFilesFolder
  local work
  work=$(mktemp -d /tmp/voxtrel-msi.XXXXXX)
  printf '%s\n' "$name" >"$work/readme.txt"
  # wixl finds the file to package relative to its current directory.
  (cd "$work" && wixl -a "$arch" -o package.msi \
    -D "ProductCode=$code" -D "UpgradeCode={A0A0A0A0$tail" -D "ComponentGuid={C0C0C0C0$tail" \
    -D "ProductName=$name" -D "FolderName=$folder" -D "ProgramFiles=$program_files" \
    -D Source=readme.txt "$MSI_PRODUCT_SOURCE") >"$work/wixl.log" 2>&1 ||
    { cat "$work/wixl.log" >&2; rm -rf "$work"; return 1; }
  mv "$work/package.msi" "$out"
  rm -rf "$work"
}

# install_msi FILE: a quiet per-machine install into $WINEPREFIX.
install_msi() {
  wine_system msiexec /i "$(unix_to_windows "$1")" /quiet
}

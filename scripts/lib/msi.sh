# Building small Windows Installer products with wixl, from the staged agent's product source
# tests/agent/products/product.wxs (sourced, not run). Used by the end-to-end scenarios.

MSI_PRODUCT_SOURCE="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)/tests/agent/products/product.wxs"

# build_msi OUT ARCH PRODUCT_CODE DISPLAY_NAME FOLDER
#   ARCH is x64 (64-bit Program Files and Uninstall list) or x86 (the 32-bit ones). The upgrade
#   code and the component GUIDs are derived from the product code, so products built with
#   different codes never share a component. It installs readme.txt in FOLDER and a library in
#   FOLDER\lib.
build_msi() {
  local out=$1 arch=$2 code=$3 name=$4 folder=$5
  local tail=${code#\{????????}
  local program_files=ProgramFiles64Folder
  [ "$arch" = x64 ] || program_files=ProgramFilesFolder
  local work
  work=$(mktemp -d /tmp/voxtrel-msi.XXXXXX)
  printf '%s\n' "$name" >"$work/readme.txt"
  printf 'library of %s\n' "$name" >"$work/library.dll"
  # wixl finds the files to package relative to its current directory.
  (cd "$work" && wixl -a "$arch" -o package.msi \
    -D "ProductCode=$code" -D "UpgradeCode={A0A0A0A0$tail" -D "MainComponent={C0C0C0C0$tail" \
    -D "LibraryComponent={D0D0D0D0$tail" -D "Name=$name" -D "InstallDir=$folder" -D SubDir=lib \
    -D "ProgramFilesDir=$program_files" -D Manifest=readme.txt -D Library=library.dll \
    "$MSI_PRODUCT_SOURCE") >"$work/wixl.log" 2>&1 ||
    { cat "$work/wixl.log" >&2; rm -rf "$work"; return 1; }
  mv "$work/package.msi" "$out"
  rm -rf "$work"
}

# install_msi FILE: a quiet per-machine install into $WINEPREFIX.
install_msi() {
  wine_system msiexec /i "$(unix_to_windows "$1")" /quiet
}

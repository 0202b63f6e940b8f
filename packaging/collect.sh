#!/usr/bin/env bash
# Gathers every release file that the package presets have built, each with
# its SHA-256 file, into release/, and writes one SHA256SUMS over them all:
#   packaging/collect.sh
set -euo pipefail
cd "$(dirname "$0")/.."
shopt -s nullglob
files=(build-package*/*.deb build-package*/*.tar.gz build-package*/*.zip)
((${#files[@]})) || {
    echo "no release files: build the package presets first" >&2
    exit 1
}
rm -rf release
mkdir release
cp "${files[@]}" "${files[@]/%/.sha256}" release/
cd release
names=()
for file in "${files[@]}"; do
    names+=("${file##*/}")
done
printf '%s\n' "${names[@]}" | LC_ALL=C sort | xargs sha256sum >SHA256SUMS
echo "release/: ${#files[@]} files and SHA256SUMS"

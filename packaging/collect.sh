#!/usr/bin/env bash
# Gathers every release file, each with its SHA-256 file, into release/,
# and writes one SHA256SUMS over them all. The release files are what the
# build presets named package* make, each in its build-PRESET directory,
# which lists them in release-files; collect.sh fails, naming each preset
# whose files are missing.
#   packaging/collect.sh            gather them
#   packaging/collect.sh --presets  list those presets
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -t presets < <(cmake --list-presets=build | sed -n 's/^ *"\(package[^"]*\)".*/\1/p')
((${#presets[@]})) || { echo "no package presets in CMakePresets.json" >&2; exit 1; }
if [[ ${1:-} == --presets ]]; then
    printf '%s\n' "${presets[@]}"
    exit 0
fi
files=() missing=()
for preset in "${presets[@]}"; do
    made=()
    [[ -f build-$preset/release-files ]] && mapfile -t made <"build-$preset/release-files"
    for file in "${made[@]}"; do
        [[ -f $file && -f $file.sha256 ]] || made=()
    done
    ((${#made[@]})) || missing+=("$preset")
    files+=("${made[@]}")
done
if ((${#missing[@]})); then
    echo "release files missing: build the presets ${missing[*]} first" >&2
    exit 1
fi
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

#!/usr/bin/env bash
# Builds every release file, from each build preset named package*, and
# gathers them into release/ with collect.sh. The first failure stops it.
#   packaging/build-release.sh
set -euo pipefail
cd "$(dirname "$0")/.."
for preset in $(packaging/collect.sh --presets); do
    cmake --preset "$preset"
    cmake --build --preset "$preset"
done
packaging/collect.sh

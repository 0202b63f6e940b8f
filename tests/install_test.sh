#!/usr/bin/env bash
# Installs a build into a scratch prefix and checks what lands where:
#   install_test.sh CMAKE BUILD_DIR PROGRAM_FILE_NAME
set -u
cmake=$1 build=$2 program=$3
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT

"$cmake" --install "$build" --prefix "$prefix" >/dev/null || exit 1
status=0
for path in "bin/$program" share/man/man1/xorfile.1; do
    [[ -f $prefix/$path ]] || { echo "FAIL: $path not installed"; status=1; }
done
warnings=$(groff -man -ww -z "$prefix/share/man/man1/xorfile.1" 2>&1) ||
    warnings="groff failed: $warnings"
[[ -z $warnings ]] || { echo "FAIL: manual page: $warnings"; status=1; }
if command -v mandoc >/dev/null; then
    warnings=$(mandoc -Tlint "$prefix/share/man/man1/xorfile.1" 2>&1) ||
        { echo "FAIL: mandoc -Tlint: $warnings"; status=1; }
else
    echo "mandoc not installed: the manual page is checked by groff alone"
fi
exit $status

#!/usr/bin/env bash
# Installs a package the way a user does and encodes and decodes a sample
# with the tool from it:
#   package_test.sh xorfile_VERSION_ARCH.deb          dpkg -i, man, lintian, dpkg -r (root)
#   package_test.sh xorfile-VERSION-winNN.zip [WINE]  unzipped into an empty folder and run
#                                                     under WINE; without WINE, only looked at
set -u
package=$(realpath "$1")
wine=${2:-}
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cd "$scratch" || exit 1

failures=0

fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

# round_trip COMMAND...: the tool encodes a sample and gives it back.
round_trip() {
    printf 'Hello, xorfile!\r\n\032\377' >sample
    "$@" sample 5a && "$@" sample.xor 5a && cmp -s sample sample.xor.xor ||
        fail "$* did not encode and decode the sample"
}

check_deb() {
    dpkg -i "$package" >/dev/null || {
        fail "dpkg -i refused the package"
        return
    }
    local installed
    installed=$(dpkg -L xorfile)
    [[ $(command -v xorfile) == /usr/bin/xorfile ]] || fail "xorfile is not /usr/bin/xorfile on PATH"
    round_trip xorfile
    [[ $(man -w xorfile) == /usr/share/man/man1/xorfile.1.gz ]] || fail "man -w does not find xorfile(1)"
    dpkg -r xorfile >/dev/null || fail "dpkg -r failed"
    local path
    while read -r path; do
        [[ $path == /usr/bin/* || $path == /usr/share/man/* ]] && [[ -f $path ]] &&
            fail "dpkg -r left $path behind"
    done <<<"$installed"
    # Its tags, informational ones too, go to the log; as root it also warns of that.
    lintian --display-info --fail-on error,warning "$package" 2>lintian.stderr ||
        fail "lintian reports errors or warnings: $(cat lintian.stderr)"
}

# The optional header's magic: 010b for PE32, 020b for PE32+.
pe_magic() {
    local header
    header=$(od -An -tu4 -j60 -N4 "$1" | tr -d ' ')
    od -An -tx2 -j$((header + 24)) -N2 "$1" | tr -d ' '
}

check_zip() {
    unzip -q "$package" || {
        fail "unzip failed"
        return
    }
    local listing text
    listing=$(find . -mindepth 1 | sort | tr '\n' ' ')
    [[ $listing == "./LICENSE.txt ./README.txt ./xorfile.exe ./xorfile.txt " ]] ||
        fail "the zip holds $listing"
    for text in LICENSE.txt README.txt xorfile.txt; do
        ! grep -q $'[^\r]$\|^$' "$text" || fail "$text has lines that do not end in CR LF"
    done
    local want_magic=010b
    [[ $package == *-win64.zip ]] && want_magic=020b
    [[ $(pe_magic xorfile.exe) == "$want_magic" ]] || fail "xorfile.exe is not of the zip's kind"
    if [[ -n $wine ]]; then
        round_trip "$wine" ./xorfile.exe
    fi
}

case $package in
*.deb) check_deb ;;
*.zip) check_zip ;;
*) fail "no package: $package" ;;
esac
if [[ $failures == 0 ]]; then
    echo "$(basename "$package"): every check passed"
else
    echo "$(basename "$package"): $failures checks failed"
    exit 1
fi

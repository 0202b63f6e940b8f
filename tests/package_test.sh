#!/usr/bin/env bash
# Checks a package and its SHA-256 file, and installs the package the way a
# user does and encodes and decodes a sample with the tool from it:
#   package_test.sh xorfile_VERSION_ARCH.deb          dpkg -i into a root of its own, man,
#                                                     lintian, hardening-check, dpkg -r; for
#                                                     another processor, its program run
#                                                     under qemu-user instead
#   package_test.sh xorfile-VERSION.tar.gz            owner, one top folder, MANIFEST
#   package_test.sh xorfile-VERSION-linux-ARCH.tar.gz owner, one top folder, a static program
#                                                     for ARCH, run under qemu-user
#   package_test.sh xorfile-VERSION-winNN.zip [WINE]  the program's PE header, imports and
#                                                     resources; unzipped into an empty folder
#                                                     and, under WINE, run through the whole
#                                                     command-line suite
set -u
package=$(realpath "$1")
wine=()
# setarch -R: Wine's start-up then never finds its fixed addresses taken
# (see cmake/mingw-w64.cmake).
[[ -n ${2:-} ]] && wine=(setarch -R "$2")
here=$(dirname "$(realpath "$0")")
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

# check_program FILE ARCH: FILE is a program for ARCH (a Debian or a release
# name) that encodes and decodes the sample here, under qemu-user with the
# cross compilers' runtime for another processor.
check_program() {
    local machine run=()
    case $2 in
    amd64 | x86_64) machine="Advanced Micro Devices X86-64" ;;
    arm64 | aarch64) machine=AArch64 run=(qemu-aarch64 -L /usr/aarch64-linux-gnu) ;;
    armhf) machine=ARM run=(qemu-arm -L /usr/arm-linux-gnueabihf) ;;
    i386 | i686) machine="Intel 80386" run=(qemu-i386 -L /usr/i686-linux-gnu) ;;
    *)
        fail "no such architecture: $2"
        return
        ;;
    esac
    [[ $(readelf -h "$1" | sed -n 's/^ *Machine: *//p') == "$machine" ]] ||
        fail "$1 is not a program for $2"
    round_trip "${run[@]}" "$1"
}

check_deb() {
    local arch
    arch=$(dpkg-deb -f "$package" Architecture)
    # One for another processor cannot be installed here: its program is run
    # from the unpacked package instead.
    if [[ $arch != "$(dpkg --print-architecture)" ]]; then
        dpkg-deb -x "$package" root
        [[ $(dpkg-deb -f "$package" Depends) == *libc6* ]] || fail "the package depends on no libc6"
        check_program root/usr/bin/xorfile "$arch"
        check_deb_files
        return
    fi
    # Its dependencies are to be had here, whatever is installed.
    apt-get -s -q install "$package" >apt.out 2>&1 || fail "apt cannot install it here: $(tail -n 3 apt.out)"
    # Installed into a root of its own, with a package database of its
    # own, so that what this machine has installed, xorfile too, stays.
    local installed_root=$PWD/installed
    local database=$installed_root/var/lib/dpkg
    mkdir -p "$database/info" "$database/updates" "$database/triggers" && : >"$database/status" ||
        fail "cannot make a root to install into"
    local dpkg_root=(dpkg --root="$installed_root")
    "${dpkg_root[@]}" --force-depends -i "$package" >dpkg.out 2>&1 || {
        fail "dpkg -i refused the package: $(cat dpkg.out)"
        return
    }
    local installed release=${package##*/xorfile_}
    release=${release%%_*}
    installed=$("${dpkg_root[@]}" -L xorfile)
    [[ $(dpkg-query --root="$installed_root" -W -f='${Version} ${Multi-Arch}' xorfile) == "$release foreign" ]] ||
        fail "dpkg -s xorfile does not show version $release, Multi-Arch: foreign"
    round_trip "$installed_root/usr/bin/xorfile"
    [[ $(MANPATH=$installed_root/usr/share/man man -w xorfile) == "$installed_root/usr/share/man/man1/xorfile.1.gz" ]] ||
        fail "man -w does not find xorfile(1)"
    "${dpkg_root[@]}" -r xorfile >/dev/null || fail "dpkg -r failed"
    local path
    while read -r path; do
        [[ $path == /usr/bin/* || $path == /usr/share/man/* ]] && [[ -f $installed_root$path ]] &&
            fail "dpkg -r left $path behind"
    done <<<"$installed"
    dpkg-deb -x "$package" root
    check_deb_files
}

# lintian and hardening-check, on the package unpacked in root.
check_deb_files() {
    [[ -f root/usr/share/doc/xorfile/NEWS.gz ]] || fail "the package has no /usr/share/doc/xorfile/NEWS.gz"
    # Its tags, informational ones too, go to the log; as root it also warns of that.
    lintian --display-info --fail-on error,warning "$package" 2>lintian.stderr ||
        fail "lintian reports errors or warnings: $(cat lintian.stderr)"
    # FORTIFY and CET are built in but cannot show: the program calls no
    # function that FORTIFY guards, and the C runtime's own objects carry no
    # CET note.
    hardening-check --nofortify --nocfprotection root/usr/bin/xorfile >hardening 2>&1 ||
        fail "hardening-check: $(cat hardening)"
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
    [[ $listing == "./LICENSE.txt ./NEWS.txt ./README.txt ./xorfile.exe ./xorfile.txt " ]] ||
        fail "the zip holds $listing"
    for text in LICENSE.txt NEWS.txt README.txt xorfile.txt; do
        ! grep -q $'[^\r]$\|^$' "$text" || fail "$text has lines that do not end in CR LF"
    done
    local want_magic=010b want_windows=5.1
    [[ $package == *-win64.zip ]] && want_magic=020b want_windows=5.2
    [[ $(pe_magic xorfile.exe) == "$want_magic" ]] || fail "xorfile.exe is not of the zip's kind"
    check_exe xorfile.exe "$want_windows"
    if ((${#wine[@]})); then
        round_trip "${wine[@]}" ./xorfile.exe
        run_cli_suite "${wine[@]}" "$PWD/xorfile.exe"
    fi
}

# check_exe EXE VERSION: a console program for Windows VERSION and later,
# importing only what that Windows has, run as the user who starts it, and
# saying which version it is.
check_exe() {
    local headers imports version
    headers=$(x86_64-w64-mingw32-objdump -p "$1")
    grep -q '^Subsystem.*(Windows CUI)$' <<<"$headers" || fail "$1 is no console program"
    version=$(awk '/^MajorSubsystemVersion/ { major = $2 } /^MinorSubsystemVersion/ { minor = $2 }
        END { print major "." minor }' <<<"$headers")
    [[ $version == "$2" ]] || fail "$1 claims Windows $version, want $2"
    imports=$(awk '/DLL Name:/ { dll = $3; next } /^$/ { dll = "" }
        dll && /^\t[0-9a-f]+\t/ { print dll, $NF }' <<<"$headers" |
        grep -vxF -f <(grep -v '^#' "$here/../packaging/windows-imports.txt"))
    [[ -z $imports ]] || fail "$1 imports what Windows $2 may lack: ${imports//$'\n'/, }"
    grep -aq 'requestedExecutionLevel level="asInvoker"' "$1" || fail "$1 has no asInvoker manifest"
    local release=${package##*/xorfile-} resource want
    release=${release%%-win*}
    resource=$(strings -el "$1" | tr '\n' ' ')
    want="*FileVersion $release *OriginalFilename xorfile.exe *ProductVersion $release *"
    # shellcheck disable=SC2053 # want is a pattern
    [[ $resource == $want ]] || fail "$1 has no version resource for $release"
}

# Every command-line test, against the program as shipped.
run_cli_suite() {
    local script name status
    for script in "$here"/cli/*.sh; do
        [[ $script == */lib.sh ]] && continue
        for name in $(sed -n 's/^test_\([a-z0-9_]*\)().*/\1/p' "$script"); do
            LC_ALL=C.UTF-8 XORFILE_TARGET_OS=windows XORFILE_EMULATED=1 XORFILE_SCRATCH="$scratch/cli" \
                bash "$script" "$name" "$@" >cli.out
            status=$?
            [[ $status == 0 || $status == 77 ]] || fail "cli test ${script##*/} $name: $(cat cli.out)"
        done
    done
}

# The sources under one folder, owned by root, and a MANIFEST that lists
# every file in it.
check_tarball() {
    local top=${package##*/}
    top=${top%.tar.gz}
    tar -tvzf "$package" | awk '$2 != "0/0" { exit 1 }' || fail "the tarball holds files not owned by root"
    tar -xzf "$package" || {
        fail "tar -x failed"
        return
    }
    [[ $(ls) == "$top" ]] || fail "the tarball holds $(ls), not $top alone"
    [[ $(cd "$top" && find . -type f -printf '%P\n' | LC_ALL=C sort) == $(cat "$top/MANIFEST") ]] ||
        fail "$top/MANIFEST does not list the tarball's files"
}

# A static program for ARCH, its manual page and the licence, in one folder
# named as the tarball.
check_program_tarball() {
    local top=${package##*/}
    top=${top%.tar.gz}
    tar -tvzf "$package" | awk '$2 != "0/0" { exit 1 }' || fail "the tarball holds files not owned by root"
    tar -xzf "$package" || {
        fail "tar -x failed"
        return
    }
    [[ $(find . -mindepth 1 | sort | tr '\n' ' ') == "./$top ./$top/LICENSE ./$top/NEWS ./$top/xorfile ./$top/xorfile.1 " ]] ||
        fail "the tarball holds $(find . -mindepth 1 | sort | tr '\n' ' ')"
    ! readelf -l "$top/xorfile" | grep -q 'INTERP' || fail "$top/xorfile is not static"
    [[ -z $(groff -man -ww -z "$top/xorfile.1" 2>&1) ]] || fail "$top/xorfile.1 does not render cleanly"
    check_program "$top/xorfile" "${top##*-linux-}"
}

# The checksum file names the package beside it.
check_sum() {
    (cd "$(dirname "$package")" && sha256sum --quiet -c "$(basename "$package").sha256") ||
        fail "$package does not match its SHA-256 file"
}

check_sum
case $package in
*.deb) check_deb ;;
*.zip) check_zip ;;
*-linux-*.tar.gz) check_program_tarball ;;
*.tar.gz) check_tarball ;;
*) fail "no package: $package" ;;
esac
if [[ $failures == 0 ]]; then
    echo "$(basename "$package"): every check passed"
else
    echo "$(basename "$package"): $failures checks failed"
    exit 1
fi

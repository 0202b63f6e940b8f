#!/usr/bin/env bash
# Runs one case against xorfile as a user runs it:
#   cli_test.sh CASE COMMAND...
# COMMAND starts xorfile (an emulator may come first). XORFILE_TARGET_OS=windows
# expects CR LF line ends on standard output and skips the Linux device cases.
# Exit status: 0 passed, 1 failed, 77 skipped.
set -u

case_name=$1
shift
xorfile=("$@")
target_os=${XORFILE_TARGET_OS:-posix}
eol=$'\n'
[[ $target_os == windows ]] && eol=$'\r\n'

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir "$scratch/files"
cd "$scratch/files" || exit 1

failures=0

fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

skip() {
    echo "SKIP: $*"
    exit 77
}

skip_unless_linux() {
    [[ $target_os != windows && -e $1 ]] || skip "needs Linux's $1"
}

# expect_run STATUS LINE ARG...: xorfile exits with STATUS having printed
# exactly LINE and a line end (or nothing at all when LINE is empty).
expect_run() {
    local want_status=$1 want_line=$2
    shift 2
    "${xorfile[@]}" "$@" >"$scratch/stdout" 2>"$scratch/stderr"
    local status=$?
    local want_stdout=""
    [[ -n $want_line ]] && want_stdout=$want_line$eol
    [[ $status == "$want_status" ]] || fail "xorfile $*: status $status, want $want_status"
    printf '%s' "$want_stdout" >"$scratch/want_stdout"
    cmp -s "$scratch/stdout" "$scratch/want_stdout" ||
        fail "xorfile $*: stdout [$(od -An -c "$scratch/stdout")], want [$want_line]"
    [[ ! -s $scratch/stderr ]] || fail "xorfile $*: wrote to stderr: $(cat "$scratch/stderr")"
}

# expect_files PATH...: the working folder holds exactly these paths.
expect_files() {
    local actual want
    actual=$(find . -mindepth 1 | sed 's|^\./||' | sort)
    want=$(printf '%s\n' "$@" | sort)
    [[ $actual == "$want" ]] || fail "files [${actual//$'\n'/ }], want [${want//$'\n'/ }]"
}

expect_same() {
    cmp -s "$1" "$2" || fail "$1 differs from $2"
}

# bytes VALUE...: writes the bytes of these values.
bytes() {
    printf '%b' "$(printf '\\%03o' "$@")"
}

case_no_arguments() {
    expect_run 1 "Error Arg < 2"
    expect_files
}

case_input_path_only() {
    echo data >in
    expect_run 1 "Error Arg < 2" in
    expect_files in
}

case_encodes_every_byte_value_silently() {
    bytes {0..255} >in
    bytes {255..0} >want
    expect_run 0 "" in ff
    expect_same in.xor want
}

case_key_texts_give_their_key_byte() {
    # text:key byte; with a zero input byte the output byte is the key byte.
    # A full-width digit is no digit, though Windows' code pages map it to one.
    local rows=("41:41" "0x41:41" " +41zz:41" "141:41" "-1:ff" "7fffffff:ff" "80000000:ff"
        "ffffffffff:ff" "-80000000:00" "-ffffffffff:00" "-bf:41" "zz:00" ":00" "-:00" "0x:00"
        "１:00" "Ł:00" "4１:04")
    local row text want got
    for row in "${rows[@]}"; do
        text=${row%:*}
        want=${row##*:}
        bytes 0 >in
        expect_run 0 "" in "$text"
        got=$(od -An -tx1 in.xor | tr -d ' \n')
        [[ $got == "$want" ]] || fail "key text '$text': key byte $got, want $want"
    done
}

case_extra_arguments_are_ignored() {
    echo data >in
    expect_run 0 "" in 41
    mv in.xor want
    expect_run 0 "" in 41 extra "more args"
    expect_same in.xor want
}

case_output_path_is_input_path_plus_xor() {
    mkdir dir
    echo a >notes.txt
    echo b >dir/name.bin
    echo c >name.xor
    expect_run 0 "" notes.txt 1
    expect_run 0 "" dir/name.bin 1
    expect_run 0 "" name.xor 1
    expect_files notes.txt notes.txt.xor dir dir/name.bin dir/name.bin.xor name.xor name.xor.xor
}

case_decodes_by_running_again() {
    head -c 100000 /dev/urandom >in
    expect_run 0 "" in 5a
    expect_run 0 "" in.xor 5a
    expect_same in.xor.xor in
}

case_empty_input_gives_empty_output() {
    : >in
    expect_run 0 "" in 5a
    expect_files in in.xor
    [[ ! -s in.xor ]] || fail "in.xor is not empty"
}

case_existing_output_is_replaced_and_cut() {
    bytes 1 2 3 >in
    head -c 5000 /dev/zero >in.xor
    bytes 0x11 0x12 0x13 >want
    expect_run 0 "" in 10
    expect_same in.xor want
}

case_missing_input_creates_nothing() {
    expect_run 2 "Can't open input file" missing 5a
    expect_run 2 "Can't open input file" "" 5a
    expect_files
}

case_directory_input_creates_nothing() {
    mkdir dir
    expect_run 2 "Can't open input file" dir 5a
    expect_files dir
}

case_output_path_taken_by_directory() {
    echo data >in
    cp in want
    mkdir in.xor
    expect_run 2 "Can't open output file" in 5a
    expect_same in want
    expect_files in want in.xor
}

case_output_path_linked_to_input_keeps_input() {
    echo data >in
    cp in want
    ln -s in in.xor
    expect_run 2 "Can't open output file" in 5a
    expect_same in want
    # A FIFO opened again for writing would wait for itself to read. Windows
    # has no FIFOs, and Wine gives its own no identity to compare.
    [[ $target_os == windows ]] && return
    mkfifo fifo
    ln -s fifo fifo.xor
    printf hello >fifo &
    local xorfile=(timeout 10 "${xorfile[@]}")
    expect_run 2 "Can't open output file" fifo 5a
}

case_one_writer_per_file() {
    # The first run reads a FIFO held open here, so it is still writing
    # in.xor while the others try it.
    mkfifo in
    head -c 100000 /dev/urandom >data
    "${xorfile[@]}" in 5a >first.stdout &
    local first=$! tries
    exec 3>in
    head -c 50000 data >&3
    for ((tries = 0; tries < 200 && $(stat -c %s in.xor 2>/dev/null || echo 0) == 0; tries++)); do
        sleep 0.05
    done
    echo other >other
    ln -s in.xor other.xor
    expect_run 2 "Can't open output file" other 33
    expect_run 2 "Can't open input file" in.xor 33
    tail -c +50001 data >&3
    exec 3>&-
    wait "$first" || fail "the first run ended with status $?"
    [[ ! -s first.stdout ]] || fail "the first run printed $(cat first.stdout)"
    "${xorfile[@]}" in.xor 5a >/dev/null
    expect_same in.xor.xor data
    # Nor may a run write a file that another run reads. This reader writes a
    # FIFO, so it holds its input until the FIFO is read.
    cp data read
    mkfifo read.xor
    "${xorfile[@]}" read 5a >reader.stdout &
    local reader=$!
    exec 3<read.xor
    echo writer >writer
    ln -s read writer.xor
    expect_run 2 "Can't open output file" writer 33
    cat <&3 >read.xor.got
    exec 3<&-
    wait "$reader" || fail "the reader ended with status $?"
    "${xorfile[@]}" read.xor.got 5a >/dev/null
    expect_same read.xor.got.xor data
    expect_files in in.xor in.xor.xor data other other.xor first.stdout \
        read read.xor read.xor.got read.xor.got.xor reader.stdout writer writer.xor
}

case_new_output_takes_the_inputs_permissions() {
    [[ $target_os == windows ]] && skip "a new Windows file takes its folder's permissions"
    umask 022
    echo data >private
    chmod 600 private
    echo data >shared
    echo old >shared.xor
    chmod 640 shared.xor
    expect_run 0 "" private 5a
    expect_run 0 "" shared 5a
    [[ $(stat -c %a private.xor) == 600 ]] || fail "private.xor has mode $(stat -c %a private.xor)"
    [[ $(stat -c %a shared.xor) == 640 ]] || fail "shared.xor has mode $(stat -c %a shared.xor)"
}

case_paths_longer_than_256_bytes() {
    local dir name
    dir=$(printf 'd%.0s' {1..200})
    name=$(printf 'n%.0s' {1..247})
    mkdir "$dir"
    echo data >"$dir/$name"
    expect_run 0 "" "$dir/$name" 20
    expect_run 0 "" "$dir/$name.xor" 20
    expect_same "$dir/$name.xor.xor" "$dir/$name"
    # 253 bytes fit a name; with .xor added they do not.
    local full
    full=$(printf 'f%.0s' {1..253})
    echo data >"$full"
    expect_run 2 "Can't open output file" "$full" 20
    expect_files "$dir" "$dir/"{"$name","$name.xor","$name.xor.xor"} "$full"
}

case_names_in_any_script() {
    local name names=("日本語.bin" "Ελληνικά.txt" "Кириллица.dat" "emoji 😀.bin" "フォルダ/data.bin")
    mkdir フォルダ
    for name in "${names[@]}"; do
        bytes 0 13 10 26 255 >"$name"
        expect_run 0 "" "$name" 5a
        expect_run 0 "" "$name.xor" 5a
        expect_same "$name.xor.xor" "$name"
    done
    # The link check must see the same file as the open, under any name.
    echo data >"a – b"
    cp "a – b" want
    ln "a – b" "a – b.xor"
    expect_run 2 "Can't open output file" "a – b" 5a
    expect_same "a – b" want
}

case_read_failure_removes_output() {
    # Reading this process memory file from its start fails.
    skip_unless_linux /proc/self/mem
    ln -s /proc/self/mem mem
    expect_run 2 "Can't read input file" mem 5a
    expect_files mem
}

case_write_failure_removes_output() {
    # A link to /dev/full makes a disk that is always full.
    skip_unless_linux /dev/full
    local size
    for size in 1 1000000; do
        head -c "$size" /dev/zero >in
        ln -s /dev/full in.xor
        expect_run 2 "Can't write output file" in 5a
        expect_files in
    done
    # An endless input must still end.
    ln -s /dev/zero zero
    ln -s /dev/full zero.xor
    expect_run 2 "Can't write output file" zero 5a
    expect_files in zero
    # A file-size limit fails the write like a full disk.
    local xorfile=(bash -c 'ulimit -f 10 && exec "$@"' limited "${xorfile[@]}")
    expect_run 2 "Can't write output file" in 5a
    expect_files in zero
}

case_read_only_input_is_encoded() {
    echo data >in
    chmod 444 in
    local xorfile=("${xorfile[@]}")
    # root may write any file, unless it gives up that right.
    if [[ $EUID == 0 ]]; then
        command -v setpriv >/dev/null || skip "needs setpriv to run without root's rights"
        xorfile=(setpriv --bounding-set=-dac_override,-dac_read_search "${xorfile[@]}")
    fi
    expect_run 0 "" in 5a
    expect_run 0 "" in.xor 5a
    expect_same in.xor.xor in
}

declare -F "case_$case_name" >/dev/null || {
    echo "no case $case_name"
    exit 1
}
"case_$case_name"
[[ $failures == 0 ]]

# Names and paths: the output's, and the new file's beside it.
. "$(dirname "$0")/lib.sh"

test_output_path_is_input_path_plus_xor() {
    must mkdir -p dir/sub
    echo a >notes.txt
    echo b >dir/name.bin
    echo c >name.xor
    echo d >dir/sub/deep.bin
    expect_run 0 "" notes.txt 1
    expect_run 0 "" dir/name.bin 1
    expect_run 0 "" name.xor 1
    expect_run 0 "" dir/sub/deep.bin 1
    expect_files notes.txt notes.txt.xor dir dir/name.bin dir/name.bin.xor name.xor name.xor.xor \
        dir/sub dir/sub/deep.bin dir/sub/deep.bin.xor
}

test_paths_longer_than_256_bytes() {
    local dir name
    dir=$(repeat 200 d)
    name=$(repeat 247 n)
    must mkdir "$dir"
    echo data >"$dir/$name"
    expect_run 0 "" "$dir/$name" 20
    expect_run 0 "" "$dir/$name.xor" 20
    expect_same "$dir/$name.xor.xor" "$dir/$name"
    expect_files "$dir" "$dir/"{"$name","$name.xor","$name.xor.xor"}
}

# A name of 252 bytes or more has no room for ".xor" within 255.
test_names_past_251_bytes_have_no_output() {
    local length name
    for length in 252 253 255; do
        name=$(repeat "$length" f)
        echo data >"$name"
        expect_run 2 "Can't open output file" "$name" 20
        rm "$name"
    done
    expect_files
}

# Its output's path, 4089 bytes, fits Linux's limit, though the new file's
# path beside it would not. Wine makes every path whole, which would pass it.
test_path_of_4085_bytes() {
    require posix
    local deep part name
    part=$(repeat 250 p)
    deep=$part$(printf "/$part%.0s" {2..16})
    must mkdir -p "$deep"
    name=$(repeat 69 n)
    echo data >"$deep/$name"
    expect_run 0 "" "$deep/$name" 20
    [[ -f $deep/$name.xor ]] || fail "no output for the 4085-byte path"
}

# The form that Windows passes through to its kernel, past the classic limit.
test_nt_path_past_the_classic_limit() {
    require windows
    local dir
    dir=$(repeat 250 d)
    must mkdir "$dir"
    echo data >"$dir/in"
    local path='\??\Z:'${PWD//\//\\}'\'$dir'\in'
    expect_run 0 "" "$path" 20
    expect_run 0 "" "$path.xor" 20
    expect_same "$dir/in.xor.xor" "$dir/in"
}

test_names_in_any_script() {
    local name names=("日本語.bin" "Ελληνικά.txt" "Кириллица.dat" "emoji 😀.bin" "フォルダ/data.bin")
    must mkdir フォルダ
    for name in "${names[@]}"; do
        bytes 0 13 10 26 255 >"$name"
        expect_run 0 "" "$name" 5a
        expect_run 0 "" "$name.xor" 5a
        expect_same "$name.xor.xor" "$name"
    done
    # The output's name is replaced, not the input it leads to, under any name.
    echo data >"a – b"
    must cp "a – b" want
    must ln "a – b" "a – b.xor"
    expect_run 0 "" "a – b" 5a
    expect_same "a – b" want
}

# new_file_names TRACE: the names of the new files that the runs traced in
# TRACE made, as strace saw them.
new_file_names() {
    sed -n 's/^openat([^"]*"\([^"]*\)", .*O_EXCL.* = [0-9]*$/\1/p' "$1"
}

# The new file's name is cut within 255 bytes at a character's start,
# whatever the file system says of its limit.
test_new_file_name_is_cut_within_255_bytes() {
    require strace
    local short name trace=../trace
    short=$(repeat 247 n)
    echo data >"$short"
    timeout "$run_timeout" strace -s 512 -o "$trace" -e trace=openat "${program[@]}" "$short" 5a
    name=$(new_file_names "$trace")
    [[ ${#name} == 255 && $name =~ ^\.$(repeat 245 n)\.[0-9a-f]{8}$ ]] ||
        fail "the new file for a 251-byte name was $name"
    # 242 bytes, an emoji and b, and .xor: the cut falls inside the emoji.
    local emoji=$(repeat 242 a)😀b
    echo data >"$emoji"
    timeout "$run_timeout" strace -s 512 -o "$trace" -e trace=openat "${program[@]}" "$emoji" 5a
    name=$(new_file_names "$trace")
    [[ $name =~ ^\.$(repeat 242 a)\.[0-9a-f]{8}$ ]] || fail "the new file for $emoji.xor was $name"
    # With the file system's limit unknown, the usual one holds.
    expect_traced_run fstatfs:error=EIO 0 "" "$short" 20
    name=$(new_file_names "$scratch/traced_run")
    [[ ${#name} == 255 ]] || fail "with no limit told, the new file for a 251-byte name was $name"
    expect_files "$short" "$short.xor" "$emoji" "$emoji.xor"
}

# FAT says its names may have 1530 bytes, six for each of 255 characters.
test_new_file_name_on_fat() {
    require root mkfs.vfat
    head -c $((4 * 1024 * 1024)) /dev/zero >../fat.img
    mkfs.vfat ../fat.img >/dev/null || skip "mkfs.vfat failed"
    must mkdir fat
    mount -o loop ../fat.img fat || skip "cannot mount a FAT image"
    mounts+=("$PWD/fat")
    local name
    name=$(repeat 245 n)
    echo data >"fat/$name"
    expect_run 0 "" "fat/$name" 20
    [[ -f fat/$name.xor ]] || fail "no output for a 245-character name on FAT"
}

run_test

# Arguments and keys.
. "$(dirname "$0")/lib.sh"

test_no_arguments() {
    expect_run 1 "Error Arg < 2"
    expect_files
}

test_input_path_only() {
    echo data >in
    expect_run 1 "Error Arg < 2" in
    expect_files in
}

test_extra_arguments_are_ignored() {
    echo data >in
    expect_run 0 "" in 41
    must mv in.xor want
    expect_run 0 "" in 41 extra "more args"
    expect_same in.xor want
}

# An option is a name like any other.
test_help_is_a_file_name() {
    echo data >--help
    expect_run 1 "Error Arg < 2" --help
    expect_run 0 "" --help 5a
    expect_files --help --help.xor
}

test_encodes_every_byte_value_silently() {
    bytes {0..255} >in
    bytes {255..0} >want
    expect_run 0 "" in ff
    expect_same in.xor want
}

test_key_texts_give_their_key_byte() {
    # text:key byte; with a zero input byte the output byte is the key byte.
    # A full-width digit is no digit, though Windows' code pages map it to
    # one, and no other non-ASCII character is white space.
    local rows=("41:41" "0x41:41" " +41zz:41" "141:41" "-1:ff" "7fffffff:ff" "80000000:ff"
        "ffffffffff:ff" "-80000000:00" "-ffffffffff:00" "-bf:41" "zz:00" ":00" "-:00" "0x:00"
        "１:00" "Ł:00" "Ł41:00" "4１:04")
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

test_decodes_by_running_again() {
    head -c 100000 /dev/urandom >in
    expect_run 0 "" in 5a
    expect_run 0 "" in.xor 5a
    expect_same in.xor.xor in
}

test_empty_input_gives_empty_output() {
    : >in
    expect_run 0 "" in 5a
    expect_files in in.xor
    [[ ! -s in.xor ]] || fail "in.xor is not empty"
    echo old >in.xor
    expect_run 0 "" in 5a
    [[ ! -s in.xor ]] || fail "in.xor is not empty after replacing an old one"
}

run_test

# Replacing an old output, and what else the output's name may hold:
# links, FIFOs, devices, sockets, directories, another user's names.
. "$(dirname "$0")/lib.sh"

test_existing_output_is_replaced() {
    bytes 1 2 3 >in
    head -c 5000 /dev/zero >in.xor
    bytes 0x11 0x12 0x13 >want
    expect_run 0 "" in 10
    expect_same in.xor want
    # It need not be readable, as it is never opened.
    must chmod 200 in.xor
    expect_run_without_root_rights 0 "" in 10
    expect_same in.xor want
}

test_directory_at_output_name_is_refused() {
    echo data >dir
    must mkdir dir.xor
    expect_run 2 "Can't open output file" dir 5a
    expect_files dir dir.xor
}

test_read_only_output_is_refused() {
    echo data >ro
    echo old >ro.xor
    must chmod 444 ro.xor
    expect_run_without_root_rights 2 "Can't open output file" ro 5a
    [[ $(cat ro.xor) == old ]] || fail "ro.xor was changed"
    expect_files ro ro.xor
}

# Windows tells a folder that may not be written by ACLs, which Wine lacks.
test_folder_that_may_not_be_written_is_refused() {
    require posix
    must mkdir folder
    echo data >folder/in
    must chmod 555 folder
    expect_run_without_root_rights 2 "Can't open output file" folder/in 5a
    must chmod 755 folder
    expect_files folder folder/in
}

# Replacing a socket would cut its server off.
test_socket_at_output_name_is_refused() {
    require posix perl
    echo data >in
    perl -MIO::Socket::UNIX -e 'IO::Socket::UNIX->new(Local => "in.xor", Listen => 1) or exit 1' ||
        skip "cannot make a socket here"
    expect_run 2 "Can't open output file" in 5a
    [[ -S in.xor ]] || fail "the socket was replaced"
    expect_files in in.xor
}

# The name is replaced, never what it leads to: the input itself, the same
# file under another name, or a file elsewhere.
test_link_to_a_file_is_replaced() {
    must mkdir out
    echo data >in
    must cp in hard
    must cp in away
    must cp in want
    echo old >out/target
    must ln -s in in.xor
    must ln hard hard.xor
    must ln -s out/target away.xor
    local name
    for name in in hard away; do
        expect_run 0 "" "$name" 5a
        expect_same "$name" want
        [[ -f $name.xor && ! -L $name.xor ]] || fail "$name.xor is still a link"
        expect_run 0 "" "$name.xor" 5a
        expect_same "$name.xor.xor" want
    done
    [[ $(cat out/target) == old ]] || fail "out/target was written through the link"
}

# Whatever it leads to: a file that may not be written, a directory,
# itself.
test_link_to_anything_else_is_replaced() {
    require posix
    must mkdir out
    echo old >read_only
    must chmod 444 read_only
    must ln -s read_only ro.xor
    must ln -s out folder.xor
    must ln -s self.xor self.xor
    local name
    for name in ro folder self; do
        echo data >"$name"
        expect_run_without_root_rights 0 "" "$name" 5a
        [[ -f $name.xor && ! -L $name.xor ]] || fail "$name.xor is still a link"
    done
    [[ $(cat read_only) == old ]] || fail "read_only was written through a link"
}

# The user's own link to another user's file is replaced too.
test_link_to_others_file_is_replaced() {
    require root
    echo old >theirs
    must chmod 600 theirs
    must chown nobody theirs
    must ln -s theirs other.xor
    echo data >other
    expect_run_without_root_rights 0 "" other 5a
    [[ -f other.xor && ! -L other.xor ]] || fail "other.xor is still a link"
    [[ $(cat theirs) == old ]] || fail "another user's file was written through a link"
}

# Another user's link is replaced whatever it leads to, even a device or
# FIFO of the user's or root's, which it would hand the input on through.
test_others_link_is_replaced() {
    require root
    must mkfifo -m 666 fifo
    local disk
    head -c 65536 /dev/zero >../backing
    attach_loop ../backing
    local target name=0
    for target in /dev/null "$PWD/fifo" "$disk"; do
        name=$((name + 1))
        echo secret >"$name"
        must ln -s "$target" "$name.xor"
        must chown -h nobody "$name.xor"
        expect_run 0 "" "$name" 5a
        [[ -f $name.xor && ! -L $name.xor ]] || fail "another user's link to $target was followed"
    done
    [[ $(tr -d '\0' <../backing | wc -c) == 0 ]] || fail "$disk was written through the link"
}

# A FIFO is written in place, but opened again for writing it would wait
# for itself to read.
test_link_to_the_input_fifo_is_refused() {
    require posix
    must mkfifo fifo
    must ln -s fifo fifo.xor
    printf hello >fifo &
    local writer=$!
    expect_run 2 "Can't open output file" fifo 5a
    kill "$writer" 2>/dev/null
    expect_files fifo fifo.xor
}

# A device is written through the user's own link, which stays, in any
# directory, its target read from the link's own.
test_link_to_a_device_is_written_through() {
    require posix /dev/null
    must mkdir sub
    echo data >null
    echo data >sub/null
    must ln -s /dev/null sub/dev
    must ln -s dev sub/null.xor
    expect_run 0 "" sub/null 5a
    must ln -s /dev/null null.xor
    expect_run 0 "" null 5a
    [[ -L null.xor && -L sub/null.xor ]] || fail "a link to /dev/null was replaced"
    expect_files null null.xor sub sub/dev sub/null sub/null.xor
}

test_link_to_a_block_device_is_written_through() {
    require root
    local disk
    head -c 65536 /dev/zero >../backing
    attach_loop ../backing
    must ln -s "$disk" disk.xor
    head -c 65536 /dev/zero >disk
    expect_run 0 "" disk 5a
    [[ -L disk.xor ]] || fail "the link to $disk was replaced"
    [[ $(tr -d '\132' <../backing | wc -c) == 0 ]] || fail "$disk did not get the output"
}

# A chain of links with another user's link anywhere in it is that user's
# to aim: replaced, as that user's link at the name would be.
test_chain_through_others_link_is_replaced() {
    require other_user
    must chown "$other_uid" .
    must mkdir theirs
    must mkfifo -m 622 fifo
    must ln -s "$PWD/fifo" theirs/link
    must chown -h nobody theirs theirs/link
    echo secret >in
    must ln -s theirs/link in.xor
    must chown -h "$other_uid" in in.xor
    timeout "$run_timeout" cat fifo >../got &
    local reader=$!
    expect_run_as "$other_uid" "" 0 "" in 5a
    kill "$reader" 2>/dev/null
    [[ -f in.xor && ! -L in.xor && ! -s ../got ]] || fail "the chain was followed: $(cat ../got)"
}

# Two nodes of one device are one device, the input itself.
test_two_nodes_of_one_device_are_refused() {
    require root
    local disk numbers
    head -c 65536 /dev/zero >../backing
    attach_loop ../backing
    numbers=$(stat -c '%t %T' "$disk")
    mknod block b $((0x${numbers% *})) $((0x${numbers#* })) &&
        mknod block.xor b $((0x${numbers% *})) $((0x${numbers#* })) &&
        mknod zero c 1 5 && mknod zero.xor c 1 5 || skip "mknod failed"
    expect_run 2 "Can't open output file" block 5a
    expect_run 2 "Can't open output file" zero 5a
    [[ $(tr -d '\0' <../backing | wc -c) == 0 ]] || fail "$disk was written onto itself"
}

# The user's own link to a device, swapped for another user's link to the
# run's standard output while the run opens it, and swapped back before it
# looks at the name again: only the link judged is followed. Standard
# output is a FIFO of the user's, which another user might read from a log.
test_link_swapped_at_the_open_is_not_followed() {
    require strace /dev/null
    echo secret >null
    must ln -s /dev/null null.xor
    local when reader
    when=$(call_number openat O_WRONLY null 5a)
    [[ -n $when ]] || fail "no open for writing in the trace"
    must mkfifo ../log
    cat ../log >../captured &
    reader=$!
    start_held_run "openat:delay_enter=2000000:delay_exit=2000000:when=$when" null 5a >../log
    wait_for_held 'O_WRONLY[^=]*$'
    must mv null.xor ../saved.xor
    must ln -s /dev/stdout null.xor
    wait_for_held 'O_WRONLY.* = '
    must mv -f ../saved.xor null.xor
    wait "$held" || fail "the run ended with status $?"
    wait "$reader"
    [[ ! -s ../captured ]] || fail "the input went to standard output: $(od -An -c ../captured | head -n 2)"
    [[ -L null.xor ]] || fail "the link was replaced"
}

# expect_swap_refused REPLACEMENT: xorfile on in, whose output in.xor is a
# FIFO, is held as it opens in.xor for writing, which is swapped meanwhile
# for REPLACEMENT: the run refuses what the open gives.
expect_swap_refused() {
    local when
    cat in.xor >/dev/null &
    when=$(call_number openat O_WRONLY in 5a)
    [[ -n $when ]] || fail "no open for writing in the trace"
    start_held_run "openat:delay_enter=2000000:when=$when" in 5a >../stdout
    wait_for_held 'O_WRONLY[^=]*$'
    must mv in.xor ../judged
    must mv "$1" in.xor
    wait "$held"
    local status=$?
    [[ $status == 2 && $(cat ../stdout) == "Can't open output file" ]] ||
        fail "$1 swapped in: status $status, $(cat ../stdout)"
}

# A device or FIFO at the name, swapped while the run opens it: what the
# open gives is written only if it is what was judged. A link to a FIFO
# that nobody reads is not followed either, so the open does not wait.
test_fifo_swapped_at_the_open_is_refused() {
    require strace
    echo secret >in
    must mkfifo in.xor unread
    must ln -s unread link
    expect_swap_refused link
}

test_others_fifo_swapped_at_the_open_is_refused() {
    require strace root
    echo secret >in
    must mkfifo in.xor theirs
    must chown nobody theirs
    cat theirs >../got &
    local reader=$!
    expect_swap_refused theirs
    kill "$reader" 2>/dev/null
    [[ ! -s ../got ]] || fail "another user's FIFO got $(od -An -c ../got | head -n 2)"
}

# A loop device writes to its backing file: one backed by the input is the
# input, through root's link or a node of its own.
test_loop_device_backed_by_the_input_is_refused() {
    require root
    local disk numbers
    head -c 65536 /dev/urandom >in
    must cp in want
    attach_loop in
    numbers=$(stat -c '%t %T' "$disk")
    must ln -s "$disk" in.xor
    expect_run 2 "Can't open output file" in 5a
    must rm in.xor
    must mknod in.xor b $((0x${numbers% *})) $((0x${numbers#* }))
    expect_run 2 "Can't open output file" in 5a
    expect_same in want
}

# A partition writes into its loop device's backing file: the input, here.
test_partition_of_a_loop_device_backed_by_the_input_is_refused() {
    require root
    local disk
    head -c $((4 * 1024 * 1024)) /dev/urandom >in
    # An MBR with one partition, from sector 2048, 4096 sectors long.
    bytes 0 0 0 0 0x83 0 0 0 0 8 0 0 0 16 0 0 | dd of=in bs=1 seek=446 conv=notrunc status=none
    bytes 0x55 0xaa | dd of=in bs=1 seek=510 conv=notrunc status=none
    must cp in want
    attach_loop in -P
    [[ -b ${disk}p1 ]] || skip "losetup -P made no partition of $disk (the kernel reads no MBR)"
    must ln -s "${disk}p1" in.xor
    expect_run 2 "Can't open output file" in 5a
    expect_same in want
}

# The effective user's right to write the old output counts, not the real
# user's.
test_write_permission_is_the_effective_users() {
    require other_user
    # Where the users differ, a process may not read its own environment
    # in /proc, where LeakSanitizer looks for its options.
    ! grep -q __asan_init "${program[-1]}" ||
        skip "needs a program built without AddressSanitizer, whose leak check fails there"
    must chown "$other_uid" .
    echo data >in
    echo old >in.xor
    must chown "$other_uid" in in.xor
    must chmod 600 in in.xor
    local copy
    mapfile -t copy < <(program_for_others)
    check_run 0 "" "in 5a (real user $team_gid)" setpriv --ruid="$team_gid" --euid="$other_uid" \
        --regid="$other_uid" --clear-groups timeout -k 5 "$run_timeout" "${copy[@]}" in 5a
    [[ $(cat in.xor) != old ]] || fail "in.xor was not replaced"
}

# A FIFO of the user's is written in place, and its reader gets the bytes.
test_users_own_fifo_is_written() {
    require other_user
    must chown "$other_uid" .
    bytes 1 2 3 >own
    must mkfifo own.xor
    must chown "$other_uid" own own.xor
    timeout "$run_timeout" cat own.xor >got &
    local reader=$!
    expect_run_as "$other_uid" "" 0 "" own 20
    wait "$reader"
    [[ $(od -An -tx1 got | tr -d ' \n') == 212223 ]] || fail "the FIFO's reader got $(od -An -tx1 got)"
}

# Another user's FIFO would hand the input on to that user: refused before
# it is opened, so a FIFO with no reader does not hold the run either.
test_others_fifo_is_refused() {
    require other_user
    echo secret >theirs
    echo secret >unread
    must mkfifo -m 622 theirs.xor unread.xor
    must chown nobody theirs.xor unread.xor
    must chmod 755 .
    must chmod 644 theirs unread
    timeout "$run_timeout" cat theirs.xor >got &
    local reader=$!
    expect_run_as "$other_uid" "" 2 "Can't open output file" theirs 5a
    kill "$reader" 2>/dev/null
    [[ ! -s got ]] || fail "another user's FIFO got $(od -An -c got)"
    expect_run_as "$other_uid" "" 2 "Can't open output file" unread 5a
}

# In a sticky directory (/tmp) the kernel lets only the name's owner, the
# directory's or root replace it: refused before the copy.
test_others_name_in_sticky_directory_is_refused() {
    require other_user
    must chmod 1777 .
    echo data >in
    echo theirs >in.xor
    echo data >link
    must ln -s in link.xor
    must chown "$other_uid" in link
    must chown nobody in.xor
    must chmod 666 in.xor
    must chown -h nobody link.xor
    expect_run_as "$other_uid" "" 2 "Can't open output file" in 5a
    expect_run_as "$other_uid" "" 2 "Can't open output file" link 5a
    [[ $(cat in.xor) == theirs && -L link.xor ]] || fail "another user's name was replaced"
    # The user's own name there is replaced as anywhere.
    must chown -h "$other_uid" in.xor link.xor
    expect_run_as "$other_uid" "" 0 "" in 5a
    expect_run_as "$other_uid" "" 0 "" link 5a
    expect_files in in.xor link link.xor
}

# Root of a user namespace that unshare made has no power over another
# user's name in a sticky directory: refused before anything is made.
test_others_name_in_sticky_directory_of_a_user_namespace() {
    require root unshare
    unshare -r true 2>/dev/null || skip "cannot make a user namespace here"
    must mkdir shared
    must chown "$team_gid" shared
    must chmod 1777 shared
    echo data >shared/in
    echo data >shared/link
    echo theirs >shared/in.xor
    must ln -s in shared/link.xor
    must chmod 666 shared/in.xor
    must chown -h nobody shared/in.xor shared/link.xor
    local name
    for name in in link; do
        check_run 2 "Can't open output file" "shared/$name 5a (unshare -r)" \
            unshare -r timeout -k 5 "$run_timeout" "${program[@]}" "shared/$name" 5a
    done
    [[ $(cat shared/in.xor) == theirs && -L shared/link.xor ]] ||
        fail "another user's name was replaced"
    # Root's power there is CAP_FOWNER, not the right to read and write.
    expect_run_without_root_rights 0 "" shared/in 5a
    expect_files shared shared/in shared/in.xor shared/link shared/link.xor
}

# FUSE and overlayfs show one file under other device numbers, so no
# comparison could tell that the output's link leads to the input.
test_output_name_through_bindfs_keeps_input() {
    require root bindfs
    must mkdir real view
    head -c 100000 /dev/urandom >want
    must cp want real/a
    must ln -s ../view/a real/a.xor
    bindfs real view && [[ -e view/a ]] || skip "bindfs could not mount (needs FUSE)"
    mounts+=("$PWD/view")
    expect_run 0 "" real/a 5a
    expect_same real/a want
}

test_output_name_through_overlayfs_keeps_input() {
    require root
    must mkdir lower upper work merged
    head -c 100000 /dev/urandom >want
    must cp want lower/b
    must ln -s "$PWD/lower/b" upper/b.xor
    mount -t overlay overlay -o lowerdir=lower,upperdir=upper,workdir=work merged &&
        [[ -e merged/b ]] || skip "overlayfs could not mount"
    mounts+=("$PWD/merged")
    expect_run 0 "" merged/b 5a
    expect_same merged/b want
    expect_same lower/b want
}

# Windows' reserved names are devices, under any extension on Windows 10
# and older, and after a colon: NUL.xor and NUL:.xor are NUL again.
test_device_that_is_the_input_is_refused() {
    require windows
    local name
    for name in NUL NUL: nul:.txt; do
        expect_run 2 "Can't open output file" "$name" 5a
    done
    expect_files
}

# A DOS device defined onto a file is that file in any spelling, COM7:.xor
# too: Wine defines one by a link among its dosdevices.
test_dos_device_defined_onto_the_input_is_refused() {
    require windows
    local devices=${WINEPREFIX:-$HOME/.wine}/dosdevices
    [[ -d $devices && -w $devices && ! -e $devices/com7 ]] ||
        skip "needs Wine's dosdevices folder, writable and without com7"
    echo secret >in
    must cp in want
    must ln -s "$PWD/in" "$devices/com7"
    dos_devices+=("$devices/com7")
    local name
    for name in COM7 COM7: com7:.log; do
        expect_run 2 "Can't open output file" "$name" 5a
    done
    expect_same in want
    expect_files in want
}

test_runs_at_the_same_time() {
    # The first run is held at its first write, its new file made, while a
    # reader and a second writer of the same output finish: the reader gets
    # the old output whole, and the later rename, the first run's, wins.
    require strace
    head -c 100000 /dev/urandom >in
    echo previous >previous
    "${xorfile[@]}" previous 5a >/dev/null
    must mv previous.xor in.xor
    timeout "$run_timeout" strace -o /dev/null -e inject=write:delay_enter=3000000:when=1 \
        "${program[@]}" in 5a >first.stdout &
    local first=$!
    wait_for_new_file in.xor
    expect_run 0 "" in.xor 5a
    expect_same in.xor.xor previous
    expect_run 0 "" in 33
    wait "$first" || fail "the first run ended with status $?"
    [[ ! -s first.stdout ]] || fail "the first run printed $(cat first.stdout)"
    expect_run 0 "" in.xor 5a
    expect_same in.xor.xor in
    expect_files in in.xor in.xor.xor previous first.stdout
}

# A name taken already is passed over for another, even one a link holds.
test_new_file_name_taken_by_a_link() {
    require strace
    echo data >in
    echo kept >target
    timeout "$run_timeout" strace -o ../trace -e trace=getrandom "${program[@]}" in 5a
    rm in.xor
    local when
    when=$(awk '/^getrandom\(/ { calls++ } /^getrandom\(.*, 4, 0\)/ { print calls; exit }' ../trace)
    [[ -n $when ]] || skip "the new file's number does not come from getrandom here"
    # The number stays 0 where getrandom is said to fill it and does not.
    must ln -s target .in.xor.00000000
    expect_traced_run "getrandom:retval=4:when=$when" 0 "" in 5a
    [[ $(cat target) == kept && -L .in.xor.00000000 ]] || fail "the link at the new file's name was used"
    [[ -f in.xor && ! -L in.xor ]] || fail "no output beside the planted link"
    expect_files in in.xor target .in.xor.00000000
}

# Without getrandom the number comes from /dev/urandom: never the same
# one, whatever was planted.
test_new_file_number_without_getrandom() {
    require strace
    echo data >in
    echo kept >target
    must ln -s target .in.xor.00000000
    expect_traced_run getrandom:error=ENOSYS 0 "" in 5a
    [[ $(cat target) == kept ]] || fail "the link at the new file's name was used"
    expect_files in in.xor target .in.xor.00000000
}

run_test

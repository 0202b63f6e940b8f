# Failures and interrupts: each says so, and leaves the input and what was
# at the output's name as they were.
. "$(dirname "$0")/lib.sh"

test_missing_input_creates_nothing() {
    expect_run 2 "Can't open input file" missing 5a
    expect_run 2 "Can't open input file" "" 5a
    expect_files
}

test_directory_input_creates_nothing() {
    must mkdir dir
    expect_run 2 "Can't open input file" dir 5a
    expect_files dir
}

test_read_failure_keeps_what_was_there() {
    # Reading this process memory file from its start fails, under Wine too.
    require /proc/self/mem
    must ln -s /proc/self/mem mem
    expect_run 2 "Can't read input file" mem 5a
    expect_files mem
    echo old >mem.xor
    must cp mem.xor want
    expect_run 2 "Can't read input file" mem 5a
    expect_same mem.xor want
    # In another directory than the working one too.
    must mkdir sub
    must ln -s /proc/self/mem sub/mem
    expect_run 2 "Can't read input file" sub/mem 5a
    expect_files mem mem.xor want sub sub/mem
}

# A device is written in place and never removed. A link to /dev/full
# makes a disk that is always full; an endless input must still end.
test_full_disk_fails_the_write() {
    require posix /dev/full
    local size
    for size in 1 1000000; do
        head -c "$size" /dev/zero >in
        must ln -sf /dev/full in.xor
        expect_run 2 "Can't write output file" in 5a
    done
    must ln -s /dev/zero zero
    must ln -s /dev/full zero.xor
    expect_run 2 "Can't write output file" zero 5a
    expect_files in in.xor zero zero.xor
}

# Past 4 GiB the input opens on 32-bit processors too, and the first write
# fails. It is sparse, made past the suite's limit on file sizes.
test_input_past_4_gib() {
    require posix /dev/full
    (ulimit -S -f unlimited && truncate -s 5G big) || skip "no sparse file of 5 GiB here"
    must ln -s /dev/full big.xor
    expect_run 2 "Can't write output file" big 5a
}

# A FIFO whose reader went away fails the write; it kills no run.
test_fifo_without_reader_fails_the_write() {
    require posix
    head -c 1000000 /dev/zero >fifo
    must mkfifo fifo.xor
    head -c 1 fifo.xor >/dev/null &
    local reader=$!
    expect_run 2 "Can't write output file" fifo 5a
    kill "$reader" 2>/dev/null
    expect_files fifo fifo.xor
}

# A file-size limit fails the write like a full disk, and the old output
# stays. Under Wine the limit would end wineserver.
test_file_size_limit_keeps_the_old_output() {
    require posix
    head -c 1000000 /dev/zero >old
    echo old >old.xor
    must cp old.xor want
    check_run 2 "Can't write output file" "old 5a (ulimit -f 10)" \
        bash -c 'ulimit -f 10 && exec "$@"' limited "${xorfile[@]}" old 5a
    expect_same old.xor want
    expect_files old old.xor want
}

# Each call in the output's life fails once: the run says so, removes its
# new file, and leaves the old output as it was.
test_injected_failures_leave_the_old_output() {
    require strace
    head -c 100000 /dev/urandom >in
    echo old >in.xor
    must cp in.xor want
    local traced=(openat fchmod fcntl read write close renameat)
    timeout "$run_timeout" strace -o ../trace -e trace="$(IFS=,; echo "${traced[*]}")" \
        "${program[@]}" in 5a >/dev/null
    must cp want in.xor
    local input output
    input=$(sed -n 's/^openat(AT_FDCWD, "in", .* = \([0-9]*\)$/\1/p' ../trace)
    output=$(sed -n 's/^openat(.*O_EXCL.* = \([0-9]*\)$/\1/p' ../trace)
    [[ -n $input && -n $output ]] || fail "no open of in and of a new file in the trace"
    local call pattern error line when
    # The call, the first such call to fail (a regular expression), its
    # error and the line.
    while IFS='|' read -r call pattern error line; do
        # Counted from the start, matched only once the new file is made:
        # the loader reads its libraries through the same descriptors.
        when=$(awk -v call="$call(" -v pattern="$pattern" '
            index($0, call) == 1 { calls++ }
            /^openat\(.*O_EXCL/ { made = 1 }
            made && index($0, call) == 1 && $0 ~ pattern { print calls; exit }' ../trace)
        [[ -n $when ]] || { fail "no $pattern call in the trace"; continue; }
        expect_traced_run "$call:error=$error:when=$when" 2 "$line" in 5a
        expect_same in.xor want
        expect_files in in.xor want
    done <<EOF_ROWS
openat|O_EXCL|ENOSPC|Can't open output file
fchmod|^fchmod\\($output,|EPERM|Can't open output file
fcntl|^fcntl\\($output, F_GETFL|EBADF|Can't open output file
read|^read\\($input,|EIO|Can't read input file
write|^write\\($output,|ENOSPC|Can't write output file
close|^close\\($output\\)|EIO|Can't write output file
renameat|^renameat|EACCES|Can't write output file
EOF_ROWS
}

# start_watched IGNORED COMMAND...: COMMAND in the background, with signal
# IGNORED (if any) ignored, under a parent that writes how it ended to
# $scratch/ended: "signal N" where a signal ended it, "status N" where it
# exited, which a shell would show alike (128+N). watcher is that parent.
start_watched() {
    rm -f "$scratch/ended"
    perl -e 'my ($ended, $ignored) = splice(@ARGV, 0, 2);
        my $pid = fork // die "fork: $!";
        if ($pid == 0) {
            $SIG{$ignored} = "IGNORE" if $ignored;
            exec { $ARGV[0] } @ARGV;
            exit 127;
        }
        waitpid($pid, 0);
        open(my $out, ">", $ended) or die "$ended: $!";
        print $out ($? & 127 ? "signal " . ($? & 127) : "status " . ($? >> 8)), "\n";' \
        "$scratch/ended" "$@" &
    watcher=$!
}

# watched_process: the process of the command that start_watched started.
watched_process() {
    local tries
    for ((tries = 0; tries < run_timeout * 20; tries++)); do
        pgrep -P "$watcher" && return
        sleep 0.05
    done
    fail "the watched command never started"
    exit 1
}

# start_fed_run SIGNAL_IGNORED [INPUT]: a run fed through the FIFO INPUT
# (in), still copying when the test goes on: 50000 bytes of data are
# written and its new file is there. run is its process, fed the FIFO's
# writing end, 3. Not under timeout, which would catch the signal itself.
start_fed_run() {
    local input=${2:-in}
    rm -f "$input"
    must mkfifo "$input"
    start_watched "$1" "${program[@]}" "$input" 5a >/dev/null
    # Opened for reading too, so that the open cannot wait for the run.
    exec 3<>"$input"
    head -c 50000 data >&3
    wait_for_new_file "$input.xor"
    run=$(watched_process)
}

# wait_for_end: the watched run has ended; ended says how.
wait_for_end() {
    local tries
    for ((tries = 0; tries < run_timeout * 10; tries++)); do
        kill -0 "$watcher" 2>/dev/null || break
        sleep 0.1
    done
    kill -KILL "$run" 2>/dev/null && fail "still running after $run_timeout s"
    wait "$watcher"
    ended=$(cat "$scratch/ended")
}

# ended_as STATUS: how a run that a shell shows as STATUS ended: by signal
# STATUS-128 on POSIX systems, by exiting under Wine.
ended_as() {
    if [[ $target_os == windows ]]; then
        echo "status $1"
    else
        echo "signal $(($1 - 128))"
    fi
}

prepare_interrupts() {
    echo old >in.xor
    must cp in.xor want
    head -c 100000 /dev/urandom >data
    "${xorfile[@]}" data 5a >/dev/null
    # Job control, so that a background run starts with SIGINT at its
    # default; no core dump from QUIT and XCPU in the directory.
    set -m
    ulimit -c 0
}

# expect_interrupts SIGNAL:STATUS...: each signal ends a run as it would
# have, which a shell shows as STATUS, and the old output stays.
expect_interrupts() {
    prepare_interrupts
    local row signal want_status want run watcher ended
    for row in "$@"; do
        IFS=: read -r signal want_status <<<"$row"
        want=$(ended_as "$want_status")
        start_fed_run ""
        kill -s "$signal" "$run"
        wait_for_end
        exec 3>&-
        [[ $ended == "$want" ]] || fail "SIG$signal: ended by $ended, want $want"
        expect_same in.xor want
        [[ -z $(compgen -G '.in.xor.*') ]] || fail "SIG$signal left the new file"
        rm -f .in.xor.*
    done
    expect_files in in.xor want data data.xor
}

# Wine ends a program at Ctrl+C with status 58, the low byte of
# STATUS_CONTROL_C_EXIT, and knows no other signal.
test_interrupt_removes_the_new_file() {
    if [[ $target_os == windows ]]; then
        expect_interrupts INT:58
        return
    fi
    expect_interrupts INT:130 TERM:143 HUP:129 QUIT:131 ALRM:142 USR1:138 USR2:140 XCPU:152 \
        VTALRM:154 PROF:155 IO:157 PWR:158 STKFLT:144
}

# The handler removes the new file where it is, not in the working
# directory.
test_interrupt_in_another_directory() {
    prepare_interrupts
    must mkdir sub
    local run watcher ended
    start_fed_run "" sub/in
    kill -s INT "$run"
    wait_for_end
    exec 3>&-
    [[ $ended != "status 0" ]] || fail "SIGINT: status 0"
    expect_files in.xor want data data.xor sub sub/in
}

# qemu-user keeps some real-time signals of the host for itself, and hands
# others on as different ones.
test_real_time_signal_removes_the_new_file() {
    require posix native
    expect_interrupts RTMIN:162 RTMIN+1:163 RTMAX:192
}

# One ignored at start, under nohup say, stays ignored. qemu-user for i386
# and s390x hands it to the program as an interrupted read, which no kernel
# does; Wine does not keep an ignored Ctrl+C.
test_ignored_signal_stays_ignored() {
    require posix native
    prepare_interrupts
    local run watcher ended writer
    start_fed_run INT
    kill -s INT "$run"
    # The rest goes only to a run that lives on; a writer that finds it
    # gone is ended with it.
    tail -c +50001 data >&3 &
    writer=$!
    exec 3>&-
    wait_for_end
    kill "$writer" 2>/dev/null
    [[ $ended == "status 0" ]] || fail "an ignored SIGINT: ended by $ended, want status 0"
    expect_same in.xor data.xor
    expect_files in in.xor want data data.xor
}

# Once the output is in place, the run ends with status 0 whatever comes.
test_signal_after_the_rename_waits() {
    require strace
    prepare_interrupts
    rm in.xor
    must cp data in
    strace -o /dev/null -e inject=renameat:delay_exit=2000000 "${program[@]}" in 5a &
    local run=$! tries
    for ((tries = 0; tries < run_timeout * 10; tries++)); do
        cmp -s in.xor data.xor && break
        sleep 0.1
    done
    pkill -TERM -P "$run"
    wait "$run" || fail "interrupted after the rename: status $?"
    expect_same in.xor data.xor
    expect_files in in.xor want data data.xor
}

# The first process of a PID namespace (a container without an init)
# ignores a signal's default action: the run ends all the same, as a
# shell shows a signal, whether copying or still waiting to open its
# input, a FIFO that nobody writes yet. Should unshare be killed, so is
# the run.
test_interrupt_ends_the_first_process_of_a_namespace() {
    require root native unshare
    unshare --pid --fork true 2>/dev/null || skip "cannot make a PID namespace here"
    prepare_interrupts
    rm -f in
    must mkfifo in unwritten
    local run watcher ended first tries
    start_watched "" unshare --pid --kill-child "${program[@]}" in 5a >/dev/null
    exec 3<>in
    head -c 50000 data >&3
    wait_for_new_file in.xor
    run=$(watched_process)
    first=$(pgrep -P "$run")
    [[ -n $first ]] || fail "no process in the namespace"
    kill -s TERM "$first"
    wait_for_end
    exec 3>&-
    [[ $ended == "status 143" ]] || fail "SIGTERM while copying: ended by $ended, want status 143"
    expect_same in.xor want
    # Sent until the run ends: one that comes before the run is ready is
    # ignored, as it is by any first process.
    start_watched "" unshare --pid --kill-child "${program[@]}" unwritten 5a >/dev/null
    run=$(watched_process)
    for ((tries = 0; tries < run_timeout * 10; tries++)); do
        pkill -TERM -P "$run" || break
        kill -0 "$watcher" 2>/dev/null || break
        sleep 0.1
    done
    wait_for_end
    [[ $ended == "status 143" ]] ||
        fail "SIGTERM while opening the input: ended by $ended, want status 143"
    expect_files in in.xor want data data.xor unwritten
}

# A signal that comes while a rename fails, held until then, ends the run.
test_interrupt_during_a_failing_rename() {
    require strace
    head -c 100000 /dev/urandom >in
    echo old >in.xor
    must cp in.xor want
    start_held_run "renameat:error=EACCES:delay_enter=2000000" in 5a >/dev/null
    wait_for_held '^renameat\([^=]*$'
    kill -s TERM "$(held_program)"
    wait "$held"
    local status=$?
    [[ $status == 143 ]] || fail "SIGTERM during a failing rename: status $status, want 143"
    expect_same in.xor want
    expect_files in in.xor want
}

# Nothing made in an append-only directory could be renamed or removed:
# refused before anything is made.
test_append_only_directory_is_refused() {
    require root chattr
    must mkdir kept
    echo data >kept/in
    echo data >kept/old
    echo old >kept/old.xor
    chattr +a kept 2>/dev/null || skip "chattr +a is not supported here"
    expect_run 2 "Can't open output file" kept/in 5a
    expect_run 2 "Can't open output file" kept/old 5a
    must chattr -a kept
    expect_files kept kept/in kept/old kept/old.xor
}

# So is one that the user may write but not list.
test_append_only_directory_that_may_not_be_listed_is_refused() {
    require other_user chattr
    must mkdir kept
    echo data >kept/in
    must chown -R "$other_uid" kept
    must chmod 300 kept
    chattr +a kept 2>/dev/null || skip "chattr +a is not supported here"
    expect_run_as "$other_uid" "" 2 "Can't open output file" kept/in 5a
    must chattr -a kept
    must chmod 755 kept
    expect_files kept kept/in
}

# Where the flags cannot be read (through FUSE), the empty new file is
# renamed once before the copy: refused there, with nothing else left.
test_append_only_directory_seen_through_fuse() {
    require root chattr bindfs
    must mkdir kept view
    echo data >kept/in
    chattr +a kept 2>/dev/null || skip "chattr +a is not supported here"
    bindfs kept view && [[ -e view/in ]] || skip "bindfs could not mount (needs FUSE)"
    mounts+=("$PWD/view")
    expect_run 2 "Can't open output file" view/in 5a
    [[ -z $(find kept -name '.in.xor.*' -size +0) ]] || fail "a copy was left: $(ls -a kept)"
    [[ $(find kept -type f | wc -l) -le 2 ]] || fail "more than one file was left: $(ls -a kept)"
}

run_test

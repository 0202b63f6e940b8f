# The command-line suite's harness, sourced by each topic file, which
# defines its tests as test_NAME functions and ends with run_test:
#   bash tests/cli/TOPIC.sh NAME COMMAND...
# COMMAND starts xorfile (an emulator may come first). XORFILE_TARGET_OS=windows
# expects CR LF line ends on standard output; XORFILE_EMULATED=1 says that an
# emulator comes first. XORFILE_SCRATCH is the test's own directory, cleared
# first (default: a new temporary one). Exit status: 0 passed, 1 failed, 77
# skipped, the reason printed.
set -u

test_name=$1
shift
program=("$@")
# The test works in a directory of its own: a relative path to the program
# (or to its emulator) is made whole first.
for i in "${!program[@]}"; do
    [[ ${program[i]} == */* && ${program[i]} != /* && -e ${program[i]} ]] &&
        program[i]=$PWD/${program[i]}
done
# Each run is ended well before CTest's limit, so that the clean-up below
# still runs; a runaway write fails long before it fills the disk.
run_timeout=20
xorfile=(timeout -k 5 "$run_timeout" "${program[@]}")
ulimit -S -f $((64 * 1024))
target_os=${XORFILE_TARGET_OS:-posix}
emulated=${XORFILE_EMULATED:-}
eol=$'\n'
[[ $target_os == windows ]] && eol=$'\r\n'
# Throwaway users and groups, by number alone: nobody has them.
other_uid=65533
team_gid=65532

scratch=${XORFILE_SCRATCH:-$(mktemp -d)}
mounts=()
loop_devices=()
dos_devices=()

# Undoes what a test did to the machine: its mounts, loop devices and
# Wine's DOS devices, and, of a test killed before it could, the mounts and
# the append-only and immutable flags under its directory.
undo_changes() {
    local m
    for m in "${mounts[@]}"; do umount "$m" || umount -l "$m"; done
    for m in "${loop_devices[@]}"; do losetup -d "$m"; done
    for m in "${dos_devices[@]}"; do rm -f "$m"; done
    if [[ -r /proc/mounts ]]; then
        while read -r _ m _; do
            [[ $m == "$scratch"/* ]] && { umount "$m" || umount -l "$m"; }
        done </proc/mounts
    fi
    if [[ -d $scratch ]] && command -v chattr >/dev/null; then
        chattr -R -ia "$scratch" 2>/dev/null
    fi
}

# The test's directory goes once it passed or skipped; a failed one's stays
# to be looked at, as git keeps its trash directory, until the test runs
# again.
finish() {
    local status=$?
    jobs -p | xargs -r kill 2>/dev/null
    undo_changes
    if [[ $status == 0 || $status == 77 ]]; then
        rm -rf --one-file-system "$scratch"
    else
        echo "its files are kept in $scratch"
    fi
}
undo_changes
rm -rf --one-file-system "$scratch"
trap finish EXIT
mkdir -p "$scratch/files"
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

# must COMMAND...: a step that the test cannot go on without; where it
# fails, so does the test, naming it.
must() {
    "$@" && return
    fail "setup step failed: $*"
    exit 1
}

# The directory a user may reach: every directory above it may be entered.
reachable_by() {
    setpriv --reuid="$1" --regid="$1" --clear-groups test -x "$2" 2>/dev/null
}

# require PREREQUISITE...: the test skips, saying why, unless each holds.
require() {
    local need
    for need in "$@"; do
        case $need in
        posix) [[ $target_os != windows ]] || skip "needs a POSIX system, not Windows" ;;
        windows) [[ $target_os == windows ]] || skip "needs the Windows program" ;;
        native) [[ -z $emulated ]] || skip "needs a native run, not under Wine or qemu" ;;
        root) [[ $target_os != windows && $EUID == 0 ]] || skip "needs root on a POSIX system" ;;
        mounting) [[ $EUID == 0 ]] || skip "needs root, to mount" ;;
        strace)
            require native
            [[ $target_os != windows ]] && strace -o /dev/null true 2>/dev/null ||
                skip "needs strace and leave to trace"
            # LeakSanitizer stops a traced program; the other checks still run.
            export ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0
            ;;
        acl)
            setfacl -m u:nobody:r . 2>/dev/null && setfacl -b . ||
                skip "needs setfacl and a file system with ACLs"
            ;;
        other_user)
            require root
            command -v setpriv >/dev/null || skip "needs setpriv to run as another user"
            chmod 755 "$scratch" "$scratch/files"
            reachable_by "$other_uid" "$scratch/files" ||
                skip "user $other_uid cannot reach $scratch: a directory above it shuts others out"
            ;;
        /*) [[ -e $need ]] || skip "needs Linux's $need" ;;
        *) command -v "$need" >/dev/null || skip "needs $need" ;;
        esac
    done
}

# check_run STATUS LINE ARGS COMMAND...: COMMAND, which runs xorfile ARGS,
# exits with STATUS having printed exactly LINE and a line end (or nothing
# at all when LINE is empty), and nothing on standard error.
check_run() {
    local want_status=$1 want_line=$2 shown=$3
    shift 3
    "$@" >"$scratch/stdout" 2>"$scratch/stderr"
    local status=$?
    if ((status == 124 || status == 137)); then
        fail "xorfile $shown: still running after $run_timeout s"
        exit 1
    fi
    local want_stdout=""
    [[ -n $want_line ]] && want_stdout=$want_line$eol
    [[ $status == "$want_status" ]] || fail "xorfile $shown: status $status, want $want_status"
    printf '%s' "$want_stdout" >"$scratch/want_stdout"
    cmp -s "$scratch/stdout" "$scratch/want_stdout" ||
        fail "xorfile $shown: stdout [$(od -An -c "$scratch/stdout")], want [$want_line]"
    [[ ! -s $scratch/stderr ]] || fail "xorfile $shown: wrote to stderr: $(cat "$scratch/stderr")"
}

# expect_run STATUS LINE ARG...: xorfile ARG... exits with STATUS, printing LINE.
expect_run() {
    local want_status=$1 want_line=$2
    shift 2
    check_run "$want_status" "$want_line" "$*" "${xorfile[@]}" "$@"
}

# expect_traced_run INJECTION STATUS LINE ARG...: the same with one of
# strace's injections (CALL:error=E:when=N, CALL:delay_enter=US, ...); the
# trace is left in $scratch/traced_run.
expect_traced_run() {
    local injection=$1 want_status=$2 want_line=$3
    shift 3
    check_run "$want_status" "$want_line" "$* (strace $injection)" timeout -k 5 "$run_timeout" \
        strace -s 4096 -o "$scratch/traced_run" -e inject="$injection" "${program[@]}" "$@"
}

# call_number CALL PATTERN ARG...: which call of CALL, counted from the
# start, is the first whose line in a trace of xorfile ARG... matches
# PATTERN (a regular expression); nothing if none does.
call_number() {
    local call=$1 pattern=$2
    shift 2
    timeout "$run_timeout" strace -s 4096 -o "$scratch/trace" -e trace="$call" \
        "${program[@]}" "$@" >/dev/null
    awk -v call="$call(" -v pattern="$pattern" '
        index($0, call) == 1 { calls++ }
        index($0, call) == 1 && $0 ~ pattern { print calls; exit }' "$scratch/trace"
}

# start_held_run INJECTION ARG...: xorfile ARG... in the background under one
# of strace's injections that holds a call (CALL:delay_enter=US:when=N);
# held is its process, and $scratch/held its trace.
start_held_run() {
    local injection=$1
    shift
    : >"$scratch/held"
    timeout -k 5 "$run_timeout" strace -s 4096 -o "$scratch/held" -e inject="$injection" \
        "${program[@]}" "$@" &
    held=$!
}

# held_program: the process of the program that start_held_run started,
# under timeout and strace.
held_program() {
    pgrep -P "$(pgrep -P "$held")"
}

# wait_for_held PATTERN: the held run's last call matches PATTERN. strace
# writes a call's line up to its arguments as the call starts, and its
# result as it returns, before the hold at its end.
wait_for_held() {
    local tries
    for ((tries = 0; tries < run_timeout * 20; tries++)); do
        [[ $(tail -n 1 "$scratch/held") =~ $1 ]] && return
        kill -0 "$held" 2>/dev/null || break
        sleep 0.05
    done
    fail "the held run never reached $1: $(tail -n 1 "$scratch/held")"
    exit 1
}

# The program as a user who cannot reach the build directory reaches it.
program_for_others() {
    local copy=("${program[@]}")
    mkdir -p "$scratch/bin"
    cp "${program[-1]}" "$scratch/bin/"
    chmod -R a+rX "$scratch/bin"
    copy[-1]=$scratch/bin/${program[-1]##*/}
    printf '%s\n' "${copy[@]}"
}

# expect_run_as UID GROUPS STATUS LINE ARG...: the same as user UID, whose
# own group is UID and whose other groups are GROUPS (a comma list, or "").
expect_run_as() {
    local uid=$1 groups=$2 want_status=$3 want_line=$4
    shift 4
    local copy group_option=(--clear-groups)
    mapfile -t copy < <(program_for_others)
    [[ -n $groups ]] && group_option=(--groups="$groups")
    check_run "$want_status" "$want_line" "$* (as $uid)" setpriv --reuid="$uid" --regid="$uid" \
        "${group_option[@]}" timeout -k 5 "$run_timeout" "${copy[@]}" "$@"
}

# expect_run_without_root_rights STATUS LINE ARG...: as root without the
# rights to read and write any file; as anyone else, as that user.
expect_run_without_root_rights() {
    local want_status=$1 want_line=$2
    shift 2
    if [[ $target_os == windows || $EUID != 0 ]]; then
        expect_run "$want_status" "$want_line" "$@"
        return
    fi
    command -v setpriv >/dev/null || skip "needs setpriv to run without root's rights"
    check_run "$want_status" "$want_line" "$* (without root's rights)" \
        setpriv --bounding-set=-dac_override,-dac_read_search \
        "${xorfile[@]}" "$@"
}

# expect_files PATH...: the working directory holds exactly these paths.
expect_files() {
    local actual want
    actual=$(find . -mindepth 1 | sed 's|^\./||' | sort)
    want=$(printf '%s\n' "$@" | sort)
    [[ $actual == "$want" ]] || fail "files [${actual//$'\n'/ }], want [${want//$'\n'/ }]"
}

expect_same() {
    cmp -s "$1" "$2" || fail "$1 differs from $2"
}

# wait_for_new_file OUTPUT: a run has made the new file that becomes OUTPUT.
wait_for_new_file() {
    local tries pattern=.$1.*
    [[ $1 == */* ]] && pattern=${1%/*}/.${1##*/}.*
    for ((tries = 0; tries < 200; tries++)); do
        compgen -G "$pattern" >/dev/null && return
        sleep 0.05
    done
    fail "no new file for $1 appeared"
}

# bytes VALUE...: writes the bytes of these values.
bytes() {
    printf '%b' "$(printf '\\%03o' "$@")"
}

# repeat N TEXT: TEXT N times.
repeat() {
    local out
    printf -v out "%$1s" ""
    printf '%s' "${out// /$2}"
}

# attach_loop FILE [OPTION...]: disk is a loop device backed by FILE, made
# with losetup's OPTIONs, detached at the end.
attach_loop() {
    disk=$(losetup -f --show "${@:2}" "$1" 2>/dev/null) || skip "needs a loop device"
    loop_devices+=("$disk")
}

run_test() {
    declare -F "test_$test_name" >/dev/null || {
        echo "no test $test_name"
        exit 1
    }
    "test_$test_name"
    [[ $failures == 0 ]]
}

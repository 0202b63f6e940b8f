# Permissions: nobody but the input's owner may read, write or run the
# output who may not do so to the input, and the umask narrows it further.
. "$(dirname "$0")/lib.sh"

# encode_with_umask MASK INPUT: xorfile encodes INPUT under umask MASK.
encode_with_umask() {
    umask "$1"
    expect_run 0 "" "$2" 5a
    umask 022
}

expect_mode() {
    [[ $(stat -c %a "$1") == "$2" ]] || fail "$1: mode $(stat -c %a "$1"), want $2"
}

expect_group() {
    [[ $(stat -c %g "$1") == "$2" ]] || fail "$1: group $(stat -c %g "$1"), want $2"
}

# expect_acl FILE ENTRY...: FILE's ACL has exactly these entries, by number.
expect_acl() {
    local file=$1 got
    shift
    got=$(getfacl -cpnE "$file" 2>/dev/null | grep -v '^$' | paste -sd ' ')
    [[ $got == "$*" ]] || fail "$file: ACL [$got], want [$*]"
}

# The input's bits, less the umask; no setuid, setgid or sticky bit; an old
# output's own mode is not kept.
test_output_takes_the_inputs_mode() {
    require posix
    local row mode mask want name=0
    for row in 600:022:600 644:077:600 4755:022:755 1644:022:644 640:022:640; do
        IFS=: read -r mode mask want <<<"$row"
        name=$((name + 1))
        echo data >"$name"
        must chmod "$mode" "$name"
        encode_with_umask "$mask" "$name"
        expect_mode "$name.xor" "$want"
    done
    echo data >old
    echo old >old.xor
    must chmod 664 old.xor
    must chmod 600 old
    encode_with_umask 022 old
    expect_mode old.xor 600
}

# A read-only input gives a read-only output, which a later run refuses,
# on Windows too.
test_read_only_input_gives_read_only_output() {
    echo data >in
    must chmod 444 in
    expect_run_without_root_rights 0 "" in 5a
    [[ $(stat -c %A in.xor) != *w* ]] || fail "in.xor is writable: $(stat -c %A in.xor)"
    expect_run_without_root_rights 2 "Can't open output file" in 5a
    expect_run_without_root_rights 0 "" in.xor 5a
    expect_same in.xor.xor in
}

# Where the new file cannot be given its permissions (a read-only input's
# on Windows), it is removed, and nothing is left.
test_permissions_that_cannot_be_set_leave_nothing() {
    require mounting bindfs
    must mkdir real view
    echo data >real/in
    must chmod 444 real/in
    bindfs --chmod-deny real view && [[ -e view/in ]] || skip "bindfs could not mount (needs FUSE)"
    mounts+=("$PWD/view")
    expect_run 2 "Can't open output file" view/in 5a
    expect_files real real/in view view/in
}

# So is one in a directory that may be written but not listed, which Wine
# cannot look into, since it lists a directory to find a name in any case.
test_input_in_a_directory_that_may_not_be_listed() {
    require posix
    must mkdir unlisted
    echo data >unlisted/in
    must chmod 333 unlisted
    expect_run_without_root_rights 0 "" unlisted/in 5a
    expect_run_without_root_rights 0 "" unlisted/in.xor 5a
    must chmod 755 unlisted
    expect_same unlisted/in.xor.xor unlisted/in
}

# The input's ACL is carried over, narrowed by the umask, so that a user or
# group it shuts out stays shut out.
test_input_acl_is_carried_over() {
    require posix acl
    local nobody
    nobody=$(id -u nobody)
    echo data >reader
    must chmod 640 reader
    must setfacl -m u:nobody:r reader
    encode_with_umask 022 reader
    expect_acl reader.xor user::rw- "user:$nobody:r--" group::r-- mask::r-- other::---
    must cp -p reader narrowed
    encode_with_umask 077 narrowed
    expect_acl narrowed.xor user::rw- "user:$nobody:r--" group::r-- mask::--- other::---
    echo data >user_out
    must chmod 644 user_out
    must setfacl -m u:nobody:--- user_out
    encode_with_umask 022 user_out
    expect_acl user_out.xor user::rw- "user:$nobody:---" group::r-- mask::r-- other::r--
    echo data >group_out
    must chmod 644 group_out
    must setfacl -m "g:$(id -g nobody):---" group_out
    encode_with_umask 022 group_out
    expect_acl group_out.xor user::rw- group::r-- "group:$(id -g nobody):---" mask::r-- other::r--
}

# Linux ignores an ACL whose mask is empty and judges its named users as
# other: where the umask empties the mask, a user that the ACL shuts out
# stays shut out all the same.
test_acl_whose_mask_the_umask_empties() {
    require other_user acl
    must chmod 755 .
    echo data >in
    must chmod 624 in
    must setfacl -m "u:$other_uid:---,m::-w-" in
    encode_with_umask 022 in
    expect_acl in.xor user::rw- "user:$other_uid:---" group::-w- mask::--- other::---
    ! setpriv --reuid="$other_uid" --regid="$other_uid" --clear-groups cat in.xor >/dev/null 2>&1 ||
        fail "user $other_uid, whom the input shuts out, reads the output"
}

# An ACL that cannot be set leaves the owner's bits, less the umask.
test_acl_that_cannot_be_set_leaves_the_owners_bits() {
    require strace acl
    echo data >in
    must chmod 440 in
    must setfacl -m u:nobody:r in
    expect_traced_run fsetxattr:error=EOPNOTSUPP 0 "" in 5a
    expect_mode in.xor 400
}

# A directory's default ACL does not widen the output, and the umask
# applies there too: the group bits, its mask, go.
test_default_acl_does_not_widen_the_output() {
    require posix acl
    local mask
    for mask in 022 077; do
        must mkdir "$mask"
        echo data >"$mask/in"
        must chmod 640 "$mask/in"
        must setfacl -d -m u:nobody:rwx "$mask"
        encode_with_umask "$mask" "$mask/in"
        expect_mode "$mask/in.xor" 600
    done
}

# An ACL that cannot be read might shut someone out: the owner's bits alone.
test_unreadable_acl_leaves_the_owners_bits() {
    require strace
    echo data >in
    must chmod 640 in
    expect_traced_run fgetxattr:error=EACCES 0 "" in 5a
    expect_mode in.xor 600
}

# A file system without ACLs says so, and the mode is the input's.
test_file_system_without_acls() {
    require root
    must mkdir ram
    mount -t ramfs ramfs ram || skip "cannot mount ramfs"
    mounts+=("$PWD/ram")
    echo data >ram/in
    must chmod 640 ram/in
    encode_with_umask 022 ram/in
    expect_mode ram/in.xor 640
}

# The input's group, where the user may give it; root may give any.
test_output_takes_the_inputs_group() {
    require root
    local group=$(($(id -g) + 1)) row mode mask want
    for row in 640:022:640 644:077:600; do
        IFS=: read -r mode mask want <<<"$row"
        must mkdir "$mode"
        echo data >"$mode/in"
        must chmod "$mode" "$mode/in"
        must chgrp "$group" "$mode/in"
        encode_with_umask "$mask" "$mode/in"
        expect_mode "$mode/in.xor" "$want"
        expect_group "$mode/in.xor" "$group"
    done
}

# prepare_others_input MODE: in, of the other user, in a directory of
# theirs, with group team and MODE.
prepare_others_input() {
    must chown "$other_uid" .
    echo data >in
    must chown "$other_uid:$team_gid" in
    must chmod "$1" in
}

# A user in the input's group gives it to the output.
test_users_group_is_kept() {
    require other_user
    prepare_others_input 640
    expect_run_as "$other_uid" "$team_gid" 0 "" in 5a
    expect_mode in.xor 640
    expect_group in.xor "$team_gid"
}

# A user outside it cannot: the output is of the user's own group, whose
# members may be the very ones the input shuts out (team reads nothing of
# 0604), so group and other get only what both classes have on the input.
test_other_group_gets_what_both_classes_have() {
    require other_user
    prepare_others_input 604
    expect_run_as "$other_uid" "" 0 "" in 5a
    expect_mode in.xor 600
    expect_group in.xor "$other_uid"
}

# held_mode CALL INPUT: the mode of INPUT's new file while a run is held
# at its first CALL, the one that gives it its final permissions.
held_mode() {
    local dir=${2%/*}
    [[ $2 == */* ]] || dir=.
    (wait_for_new_file "$2.xor" && stat -c %a "$dir"/."${2##*/}".xor.* >../held_mode) &
    expect_traced_run "$1:delay_enter=2000000" 0 "" "$2" 5a
    wait
    cat ../held_mode
}

# Until its final permissions, the new file is its owner's alone.
test_new_file_is_private_until_its_mode() {
    require strace
    echo data >in
    must chmod 640 in
    [[ $(held_mode fchmod in) == 600 ]] || fail "the new file was not 600 before its final mode"
    expect_mode in.xor 640
    # Where the group cannot be given, the one it has may be the input's.
    expect_traced_run fchown:error=EPERM 0 "" in 5a
    expect_mode in.xor 640
}

test_new_file_is_private_until_its_acl() {
    require strace acl
    echo data >in
    must chmod 640 in
    must setfacl -m u:nobody:r in
    [[ $(held_mode fsetxattr in) == 600 ]] || fail "the new file was not 600 before its ACL"
    expect_mode in.xor 640
}

# A setgid directory gives the new file its own group first.
test_new_file_is_private_in_a_setgid_directory() {
    require strace root
    must mkdir shared
    echo data >shared/in
    must chmod 640 shared/in
    must chgrp "$(($(id -g) + 1))" shared
    must chmod g+s shared
    [[ $(held_mode fchmod shared/in) == 600 ]] || fail "the new file was not 600 before its final mode"
    expect_mode shared/in.xor 640
    expect_group shared/in.xor "$(id -g)"
}

run_test

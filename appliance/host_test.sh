#!/bin/sh
# From this machine's side: a sandbox run leaves nothing behind (no files in
# /etc, /tmp, /var or /dev, no mount, no interface, no scratch directory, no
# emulator registered), hands back the command's status, and its options
# work.
#   host_test.sh <vako-sandbox> [work-dir]
set -u
SANDBOX=$1
WORK=${2:-$(dirname "$SANDBOX")/host_test.work}
fails=0
fail() { echo "FAIL: $*"; fails=$((fails + 1)); }

rm -rf "$WORK"
mkdir -p "$WORK/scratch"
export VAKO_SCRATCH_BASE="$WORK/scratch"
NAME=vako-leak-$$

# Judged by what this test's own appliances did, never by the whole
# machine's mount table or interface list, which other processes change:
# every mount of an appliance (its own and its command's, chrooted) lies
# under its scratch directory in $WORK, and each interface it touches is
# marked with $NAME.
own_mounts() { cut -d' ' -f5 /proc/self/mountinfo | grep -wF -e "$WORK" -e "$NAME"; }
own_links() { ip -o link show | grep -wF -e "$NAME" -e "$LINK:"; }
no_leaks() { # no_leaks <what was run>
    m=$(own_mounts) && fail "$1: mounts left on this machine: $m"
    l=$(own_links) && fail "$1: interfaces changed on this machine: $l"
}
# Waits (a minute at most) until the command succeeds.
until_true() {
    i=0
    while ! eval "$1"; do
        i=$((i + 1))
        [ $i -ge 600 ] && return 1
        sleep 0.1
    done
}
running() { for f in /proc/[0-9]*/cmdline; do tr '\0' ' ' 2>/dev/null < "$f"; echo; done | grep -qx "$1 "; }
LINK=vl$$
# Sleeps that no other run of this test on this machine has.
SLEEP1="sleep 3001.$$"
SLEEP2="sleep 3002.$$"

# The writing command, in a plain appliance and in one that emulates (its
# own user namespace).
for opts in "" "--emulate i386"; do
    "$SANDBOX" $opts -- sh -c "
        echo x > /etc/$NAME && echo x > /tmp/$NAME && mkdir -p /var/$NAME && echo x > /var/$NAME/f &&
        echo x > /dev/$NAME && mkdir -p /mnt/$NAME && mount -t tmpfs none /mnt/$NAME && echo x > /mnt/$NAME/f &&
        mount --bind /etc /mnt && ip link set eth0 mtu 9000 alias $NAME && ip link set eth1 alias $NAME &&
        { ! ip link add $LINK type dummy 2>/dev/null || ip link set $LINK alias $NAME; } &&
        test -e /etc/$NAME && exit 7"
    st=$?
    [ $st -eq 7 ] || fail "status of the writing command ($opts): $st, want 7"
    for p in /etc/$NAME /tmp/$NAME /var/$NAME /dev/$NAME /mnt/$NAME; do
        [ ! -e "$p" ] || fail "$p leaked to this machine ($opts)"
    done
    no_leaks "the writing command ($opts)"
    [ -z "$(ls -A "$WORK/scratch")" ] || fail "scratch left ($opts): $(ls -A "$WORK/scratch")"
done

# --emulate i386: the appliance's own binfmt_misc hands 32-bit x86 programs
# to qemu-run (which names the emulator after the program, by a link), and
# this machine's binfmt_misc gets nothing.
I386_PROGRAM=/lib/i386-linux-gnu/libc.so.6
[ -x "$I386_PROGRAM" ] || fail "no 32-bit x86 program to run: $I386_PROGRAM (scripts/install-deps.sh test)"
got=$("$SANDBOX" --emulate i386 -- sh -c "
    sed -n 's/^flags: //p; s/^interpreter //p' /proc/sys/fs/binfmt_misc/qemu-i386 &&
    $I386_PROGRAM > /dev/null && ls /.sandbox/qemu-i386")
want="$(cd "$(dirname "$0")" && pwd)/qemu-binfmt-i386
PF
libc.so.6"
[ "$got" = "$want" ] || fail "--emulate i386 gave [$got], want [$want]"
if [ -e /proc/sys/fs/binfmt_misc/register ]; then
    grep -l "^interpreter .*/qemu-binfmt-" /proc/sys/fs/binfmt_misc/* 2>/dev/null &&
        fail "an appliance's emulator registered on this machine"
fi
"$SANDBOX" --emulate i386 --keep-scratch -- true 2>/dev/null
[ $? -eq 125 ] || fail "--keep-scratch accepted with --emulate (its upper layer is in memory)"
"$SANDBOX" --emulate vax -- true 2>/dev/null
[ $? -eq 125 ] || fail "--emulate of an unknown processor accepted"

# Status of a killed command; a command that cannot start.
"$SANDBOX" -- sh -c 'kill -9 $$'
st=$?
[ $st -eq 137 ] || fail "status of a killed command: $st, want 137"
"$SANDBOX" -- /no/such/program 2>/dev/null
st=$?
[ $st -eq 125 ] || fail "status of a missing program: $st, want 125"
"$SANDBOX" --bogus -- true 2>/dev/null
[ $? -eq 125 ] || fail "unknown option accepted"

# A background process does not outlive the run.
"$SANDBOX" -- sh -c "$SLEEP1 &"
running "$SLEEP1" && fail "a sandbox process outlived the run"

# A runner killed outright takes its appliance along; the next run removes
# the scratch it left.
"$SANDBOX" -- $SLEEP2 &
runner=$!
until_true 'running "$SLEEP2"' || fail "the appliance never started"
kill -9 $runner
wait $runner 2>/dev/null
until_true '! running "$SLEEP2"' || fail "the appliance outlived its killed runner"
[ -n "$(ls -A "$WORK/scratch")" ] || fail "no scratch left by the killed runner (test is void)"
"$SANDBOX" -- true
[ -z "$(ls -A "$WORK/scratch")" ] || fail "stale scratch not swept: $(ls -A "$WORK/scratch")"

# --uptime
up=$("$SANDBOX" --uptime 1000 -- cat /proc/uptime | cut -d' ' -f1)
awk -v u="$up" 'BEGIN { exit !(u >= 1000 && u < 1600) }' || fail "--uptime 1000 gave $up"

# --fixture: files with owners and modes, kernel files; --cwd; --out.
F=$WORK/fixture
mkdir -p "$F/root/etc" "$F/root/volume1/upd@te" "$F/kernel/proc-sys-kernel" "$F/kernel/sys-block/md0/md/dev-sda1"
echo secret > "$F/root/etc/$NAME"
chown 1234:4321 "$F/root/etc/$NAME"
chmod 4750 "$F/root/etc/$NAME"
echo "hw-j" > "$F/kernel/proc-sys-kernel/vako_hw_version"
echo in_sync > "$F/kernel/sys-block/md0/md/dev-sda1/state"
got=$("$SANDBOX" --fixture "$F" --cwd /volume1/upd@te --out "$WORK/out" -- sh -c "
    stat -c '%a %u %g' /etc/$NAME; cat /etc/$NAME /proc/sys/kernel/vako_hw_version /sys/block/md0/md/dev-sda1/state;
    pwd; echo kept > /tmp/kept; logger -t t 'to the log'")
want="4750 1234 4321
secret
hw-j
in_sync
/volume1/upd@te"
[ "$got" = "$want" ] || fail "fixture run printed [$got], want [$want]"
[ ! -e "/etc/$NAME" ] || fail "fixture file leaked"
[ "$(cat "$WORK/out/tmp/kept" 2>/dev/null)" = kept ] || fail "--out lacks /tmp/kept"
[ -f "$WORK/out/etc/$NAME" ] || fail "--out lacks /etc"
[ -d "$WORK/out/var/log" ] || fail "--out lacks /var/log"
grep -q "to the log" "$WORK/out/.sandbox/syslog" 2>/dev/null || fail "--out lacks the system log"

# --keep-scratch keeps the upper layer.
"$SANDBOX" --scratch "$WORK/kept" --keep-scratch -- sh -c "echo y > /etc/$NAME"
[ "$(cat "$WORK/kept/upper/etc/$NAME" 2>/dev/null)" = y ] || fail "--keep-scratch lost the upper layer"
"$SANDBOX" --scratch "$WORK/gone" -- true
[ -z "$(ls -A "$WORK/gone" 2>/dev/null)" ] || fail "--scratch DIR not emptied"

[ -z "$(ls -A "$WORK/scratch")" ] || fail "scratch left: $(ls -A "$WORK/scratch")"
no_leaks "all runs"
rm -rf "$WORK"
[ $fails -eq 0 ] && echo "all host-side checks passed"
exit $fails

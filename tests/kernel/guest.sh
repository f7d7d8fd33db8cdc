#!/bin/busybox sh
# Init of the kernel test's virtual machine. dummy_hcd joins USB gadgets (the
# device side, /dev/ttyGS<n>, where b4k-sim --tty plays the B4K) to cdc-acm
# (the host side, /dev/ttyACM<n>, where the tool runs with no ZUL_* variable).
# The expectations are the protocol's own exit statuses and log texts. A case
# is a function named in the table at the end; it prints "PASS <case>" or
# "FAIL <case>" with its failed checks. only=CASE,... on the kernel command
# line (scripts/kernel-test.sh CASE...) runs some cases alone.

/bin/busybox --install -s /bin
export PATH=/bin
only_cases=",${only:-}," && unset only
mount -t proc proc /proc && mount -t sysfs sys /sys && mount -t devtmpfs dev /dev
echo "ZUL-KERNEL-INIT at $(cut -d " " -f 1 /proc/uptime) s"

G=/sys/kernel/config/usb_gadget
FW=/tmp/fw.ctf
CAPTURE=/tmp/capture
B4K=DEMO_1.000

load() { # MODULE [PARAMETER...]: with the modules it needs first
    local m name=$1
    shift
    for m in $(cat /lib/modules/$name.dep); do [ -d /sys/module/$m ] || insmod /lib/modules/$m.ko; done
    [ -d /sys/module/$name ] || insmod /lib/modules/$name.ko "$@"
}

wait_until() { # TENTHS COMMAND...: polls COMMAND for up to TENTHS tenths of a second
    local n=$1
    shift
    until "$@"; do
        n=$((n - 1)) && [ $n -gt 0 ] || return 1
        sleep 0.1
    done
}

now() { cut -d ' ' -f 1 /proc/uptime; }
since() { awk "BEGIN { printf \"%.2f\", $(now) - $1 }"; }
within() { awk "BEGIN { exit !($1 >= $2 && $1 <= $3) }"; } # VALUE LOW HIGH
hex() { hexdump -ve '1/1 "%02X"' "$1"; }

gadget() { # NAME SERIAL UDC: a configfs gadget with one ACM function, plugged in
    local g=$G/$1
    if [ ! -d $g ]; then
        mkdir -p $g/strings/0x409 $g/configs/c.1 $g/functions/acm.0
        echo 0x2c7a >$g/idVendor && echo 0x0001 >$g/idProduct
        ln -s $g/functions/acm.0 $g/configs/c.1/
    fi
    echo "$2" >$g/strings/0x409/serialnumber
    echo $3 >$g/UDC
}
unplug() { echo >$G/$1/UDC; }
remove_gadget() { # NAME: unplugged and taken apart, so that its serial port is free again
    local g=$G/$1
    [ -d $g ] || return 0
    [ -z "$(cat $g/UDC)" ] || unplug $1
    rm -f $g/configs/c.1/acm.0 && rmdir $g/configs/c.1 $g/functions/acm.0 $g/strings/0x409 $g
}
device_tty() { echo "ttyGS$(cat $G/$1/functions/acm.0/port_num)"; }

has_tty() { # SERIAL: the attached USB device with that serial has its ttyACM
    local d
    for d in /sys/bus/usb/devices/*; do
        [ "$(cat $d/serial 2>/dev/null)" = "$1" ] || continue
        host_tty=$(ls $d/*/tty 2>/dev/null) && [ -c /dev/$host_tty ] && return 0
    done
    return 1
}

sim() { # TTY CAPTURE [OPTION...]: b4k-sim serves /dev/TTY, capturing in CAPTURE
    local tty=$1 capture=$2
    shift 2
    b4k-sim --tty /dev/$tty --capture $capture "$@" </dev/null >$capture.out 2>&1 &
    sims="$sims $!"
    wait_until 50 grep -qx /dev/$tty $capture.out
}

tool() { # RUN: the tool downloads $FW in the background, in /tmp/RUN
    rm -rf /tmp/$1 && mkdir /tmp/$1
    (cd /tmp/$1 && exec timeout -s KILL 60 Download_ZUL_Console --if $FW --of log.txt --progress progress \
        --infomod infomod </dev/null >out 2>&1) &
    tool_pid=$! started=$(now) runs="$runs $1"
}
finish() { wait $tool_pid; status=$? took=$(since $started); }

stop_sims() {
    local pid
    for pid in $sims; do kill $pid 2>/dev/null; wait $pid; done
    sims=
}
reset() { # no gadget plugged in, no simulator running
    local g
    stop_sims
    for g in $G/*; do [ -z "$(cat $g/UDC 2>/dev/null)" ] || unplug ${g##*/}; done
    [ ! -d /sys/module/g_serial ] || rmmod g_serial
}

expect() { # WHAT COMMAND...: one check of the current case
    local what=$1
    shift
    "$@" || failed="$failed
  - $what"
}
logged() { grep -qF "$2" /tmp/$1/log.txt; }
# Walks the file's frames; those that leave the host are all but the revision
# (type 0x14) and build time (0x16) records. Prints what AWK_PROGRAM makes of
# them, with t the type, n the frame's hex digits, end its end in bytes.
frames() {
    hex $FW | awk "$@" 'BEGIN { D = "0123456789ABCDEF" }
        function byte(at) { return (index(D, substr($0, at, 1)) - 1) * 16 + index(D, substr($0, at + 1, 1)) - 1 }
        { size = length($0) / 2
          for (i = 1; i < length($0); i += n) {
            t = byte(i + 2); n = 2 * (byte(i + 4) + 5); end = (i - 1 + n) / 2; sent += t != 20 && t != 22
            '"$EACH"' } }
        END { '"$END"' }'
}
sent_frames() { EACH='if (t != 20 && t != 22) printf "%s", substr($0, i, n)' END='' frames; }
captured() { sed -n 's/^[0-9.]* frame //p' $CAPTURE; }
file_received() { case $(captured | tr -d ' \n') in *"$(sent_frames)") ;; *) false ;; esac; }
# The progress after the last file frame the device received, or after the
# one before it when the reply was lost: the share of the file read, truncated.
progress_reached() {
    local got p
    got=$(captured | awk '/^5B 01 / { n = 0; next } { n++ } END { print n }') p=$(hex $1)
    EACH='if (sent == N) hi = int(end / size * 100); if (sent == N - 1) lo = int(end / size * 100)' \
        END='exit !(P >= lo && P <= hi)' frames -v N=$got -v P=$((0x${p:-0}))
}

downloaded() { # RUN COM: the tool found the B4K on COM and programmed it
    expect "exit status 1 (was $status)" [ "$status" = 1 ]
    expect "log: COM $2" logged $1 "B4K auto detection gave COM $2"
    expect "log: success" logged $1 "Download was successful"
    expect "log: download time" logged $1 "Download time : "
    expect "progress file: 100" [ "$(hex /tmp/$1/progress)" = 64 ]
    expect "module information file: type 2" [ "$(hex /tmp/$1/infomod)" = 02000000 ]
    expect "the device received the file" file_received
}

not_found() { # RUN: "No B4K found" once the detection window (over 6 s) has passed
    expect "exit status 254 (was $status)" [ "$status" = 254 ]
    expect "log: not found" logged $1 "No B4K found !!"
    expect "ended in 6 to 10 s (took $took s)" within $took 6 10
    expect "progress file empty" [ ! -s /tmp/$1/progress ]
    expect "module information file empty" [ ! -s /tmp/$1/infomod ]
}

b4k() { # UDC SERIAL [OPTION...]: the B4K plugged into UDC, served by b4k-sim
    local udc=$1 serial=$2
    shift 2
    gadget b4k $serial $udc && wait_until 50 has_tty $serial && sim "$(device_tty b4k)" $CAPTURE "$@"
}
other_first() { gadget other OTHER_1.000 dummy_udc.0 && wait_until 50 has_tty OTHER_1.000; }
mid_download() { wait_until 300 test -s /tmp/$1/progress; }

a_legacy() {
    load g_serial use_acm=1 idVendor=0x2c7a idProduct=0x0001 iSerialNumber=$B4K
    wait_until 50 has_tty $B4K && sim ttyGS0 $CAPTURE && tool a && finish && downloaded a 1
}
a_configfs() { b4k dummy_udc.0 $B4K && tool a && finish && downloaded a 1; }

b_line() {
    dmesg -c >/dev/null
    b4k dummy_udc.0 $B4K --type-delay 9=100 && tool b && mid_download b
    expect "line held by the tool" [ "$(line-state $tool_pid)" = \
        "ispeed 166666 ospeed 166666 bits 8 cstopb 1 parenb 0 crtscts 0 ixon 0 ixoff 0 raw 1 dtr 0 rts 0" ]
    expect "line coding sent: 166666 bit/s, 2 stop bits, no parity, 8 bits" \
        [ "$(dmesg | grep -o 'set line: .*' | tail -n 1)" = "set line: 166666 2 0 8" ]
    finish && downloaded b 1
}

c_other_first() {
    other_first && b4k dummy_udc.1 $B4K && tool c && finish && downloaded c 2
}

d_unplug() { # as in case c, unplugged while it downloads
    other_first && b4k dummy_udc.1 $B4K --type-delay 9=100 && tool d && mid_download d
    local t
    t=$(now)
    unplug b4k && finish && took=$(since $t)
    expect "ended within 1 s of the unplug (took $took s)" within $took 0 1
    expect "exit status 255 (was $status)" [ "$status" = 255 ]
    expect "log: COM 2" logged d "B4K auto detection gave COM 2"
    expect "log: error" logged d "Error downloading the file (error : -1)"
    expect "log: download time" logged d "Download time : "
    expect "module information file: type 2" [ "$(hex /tmp/d/infomod)" = 02000000 ]
    expect "progress file: one byte, the last value reached" [ "$(wc -c </tmp/d/progress)" = 1 ]
    expect "progress file: the last value reached" progress_reached /tmp/d/progress
}

e_replug() { # the B4K of case d, now alone, on the other controller
    unplug other && stop_sims && b4k dummy_udc.0 $B4K && tool e && finish && downloaded e 1
}

f_not_reading() { # plugged in, but nothing reads the device side
    gadget b4k $B4K dummy_udc.0 && wait_until 50 has_tty $B4K
    tool f && finish && not_found f
}

g_second_tool() {
    b4k dummy_udc.0 $B4K --type-delay 9=500 && tool g1 && mid_download g1
    local first=$tool_pid
    tool g2 && finish && not_found g2
    tool_pid=$first && finish && downloaded g1 1
    expect "the device heard one wake-up, the first tool's" [ "$(grep -c ' wakeup ' $CAPTURE)" = 1 ]
}

h_serial_case() { b4k dummy_udc.0 demo_1.000 && tool h && finish && downloaded h 1; }

# The package's udev rule, as Debian's udevadm applies it: the B4K's tty is
# the dialout group's, mode 0660, for the seat's user, and out of
# ModemManager's way; the tty of a device of another maker gets none of it.
i_udev_rule() {
    mkdir -p /etc /run/udev && printf 'root:x:0:\ndialout:x:20:\n' >/etc/group
    gadget b4k $B4K dummy_udc.1 && wait_until 50 has_tty $B4K && udevadm test \
        /sys/class/tty/$host_tty >/tmp/i.b4k 2>&1
    load g_serial use_acm=1 iSerialNumber=OTHER && wait_until 50 has_tty OTHER && udevadm test \
        /sys/class/tty/$host_tty >/tmp/i.other 2>&1
    expect "B4K: group dialout" grep -q '60-zul-b4k.rules:.* GROUP 20$' /tmp/i.b4k
    expect "B4K: mode 0660" grep -q '60-zul-b4k.rules:.* MODE 0660$' /tmp/i.b4k
    expect "B4K: the seat's user" grep -q '^TAGS=.*:uaccess:' /tmp/i.b4k
    expect "B4K: ModemManager ignores it" grep -qx 'ID_MM_DEVICE_IGNORE=1' /tmp/i.b4k
    expect "other maker: the rule does nothing" \
        sh -c '! grep -q "^tty.*60-zul-b4k\|^ID_MM_DEVICE_IGNORE\|uaccess" /tmp/i.other'
}

# Eight B4Ks, one on each controller, each served with a capture of its own;
# the one on controller 5 spoils its first download (three replies in a row,
# all three attempts at the first frame) and takes the second.
eight_b4ks() {
    local n
    for n in 0 1 2 3 4 5 6 7; do
        gadget b4k$n $B4K dummy_udc.$n && plugged_b4k $n || return 1
    done
}
plugged_b4k() { # N: the gadget b4kN is plugged in; b4k-sim serves it
    local spoil=
    [ $1 != 5 ] || spoil="--corrupt-reply 6-8"
    wait_until 50 test -c /dev/"$(device_tty b4k$1)" && sim "$(device_tty b4k$1)" /tmp/cap$1 $spoil &&
        wait_until 50 test -c /dev/ttyACM$1
}
results() { grep -c '"result":1,"exit_status":1,' $1 2>/dev/null; }
watched() { [ "$(results /tmp/jw.jsonl)" = $1 ]; } # N: --watch has N successful runs
# --list: one line per B4K, each with its own ttyACM, the port the tool opens.
listed_eight() {
    [ "$(wc -l </tmp/j.list)" = 8 ] &&
        [ "$(awk '{ print $2 }' /tmp/j.list | sort -u | grep -c '^/dev/ttyACM[0-7]$')" = 8 ]
}

j_station() { # the station programs all eight at once, one again; with --watch, a replugged one
    remove_gadget b4k && remove_gadget other # the gadget driver has eight serial ports in all
    eight_b4ks || return 1
    zul-station --list >/tmp/j.list 2>&1
    expect "--list: eight B4Ks, each on its own port ($(tr '\n' ';' </tmp/j.list))" listed_eight
    (cd /tmp && exec timeout -s KILL 90 zul-station --if $FW --retries 1 --dir /tmp/j \
        --results /tmp/j.jsonl </dev/null >/tmp/j.out 2>&1)
    status=$?
    expect "exit status 0 after the retry (was $status)" [ "$status" = 0 ]
    expect "eight successful runs" [ "$(results /tmp/j.jsonl)" = 8 ]
    expect "one failed first attempt, on the spoiling device" \
        [ "$(grep -v '"result":1,' /tmp/j.jsonl | grep -c '"attempt":1,')" = 1 ]
    expect "its second attempt succeeded" grep -q '"result":1,.*"attempt":2,' /tmp/j.jsonl
    local n
    for n in 0 1 2 3 4 6 7; do
        expect "device $n heard one wake-up" [ "$(grep -c ' wakeup ' /tmp/cap$n)" = 1 ]
    done
    expect "device 5 heard two wake-ups" [ "$(grep -c ' wakeup ' /tmp/cap5)" = 2 ]
    (cd /tmp && exec timeout -s KILL 90 zul-station --if $FW --watch --dir /tmp/jw \
        --results /tmp/jw.jsonl </dev/null >/tmp/jw.out 2>&1) &
    local station=$!
    wait_until 300 watched 8 && unplug b4k2 &&
        gadget b4k2 $B4K dummy_udc.2 && plugged_b4k 2 && wait_until 300 watched 9
    expect "--watch: nine successful runs, the last one the replugged device's second" \
        [ "$(results /tmp/jw.jsonl)" = 9 -a "$(tail -n 1 /tmp/jw.jsonl | grep -o '"folder":"[^"]*"')" = \
        '"folder":"/tmp/jw/3-1/run-2"' ]
    kill -INT $station && wait $station
}

load dummy_hcd num=8 && load cdc_acm dyndbg=+p && load usb_f_acm
mount -t configfs configfs /sys/kernel/config
ctf-gen --size 4K $FW >/dev/null
passed=0 failed_cases=0
while read -r name about; do
    case $only_cases in ,,* | *,$name,*) ;; *) continue ;; esac
    [ $name = e_replug ] || reset
    failed='' runs='' begun=$(now)
    $name </dev/null >/tmp/$name.out 2>&1 || [ -n "$failed" ] || failed="
  - stopped early: $(tail -n 3 /tmp/$name.out)"
    if [ -z "$failed" ]; then
        echo "PASS $name ($(since $begun) s): $about" && passed=$((passed + 1))
    else
        echo "FAIL $name ($(since $begun) s): $about$failed" && failed_cases=$((failed_cases + 1))
        for run in $runs; do echo "  log of $run:" && sed 's/^/    | /' /tmp/$run/log.txt && echo; done
    fi
done <<'EOF'
a_legacy       legacy g_serial: found through sysfs as COM 1, download succeeds
a_configfs     configfs gadget: found through sysfs as COM 1, download succeeds
b_line         the line as cdc-acm holds it while the tool runs, and the line coding it sent
c_other_first  another serial number attached first: the B4K is COM 2
d_unplug       unplugged mid-download: -1 within 1 s, log, progress
e_replug       plugged back in on the other controller: found again, download succeeds
f_not_reading  a device that takes no bytes: not found, no hang at close
g_second_tool  a second tool while a download runs: not found, the first succeeds
h_serial_case  serial number demo_1.000: found
i_udev_rule    the udev rule: dialout, 0660, uaccess and no ModemManager for the B4K only
j_station      zul-station: --list names eight B4Ks; all eight at once, one retried; with --watch, one replugged again
EOF
echo "ZUL-KERNEL-DONE in $(now) s: passed $passed failed $failed_cases"
poweroff -f

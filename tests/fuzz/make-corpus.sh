#!/usr/bin/env bash
# Writes the seed corpus of every fuzz target into corpus/<target>/.
# Run it again after changing a seed; the files are kept in the repository.
set -euo pipefail
cd "$(dirname "$0")"

# bytes HEX...: the bytes themselves.
bytes() {
    local b
    for b in "$@"; do printf "\\x$b"; done
}

# frame TYPE PAYLOAD_HEX...: a frame with its length, checksum and brackets.
frame() {
    local type=$1 sum b
    shift
    sum=$(((0x$type + $#) & 0xFF))
    for b in "$@"; do sum=$(((sum + 0x$b) & 0xFF)); done
    bytes 5B "$type" "$(printf %02X $#)" "$@" "$(printf %02X $sum)" 5D
}

seed() { # seed TARGET NAME: standard input into the target's corpus
    mkdir -p "corpus/$1"
    cat >"corpus/$1/$2"
}

rm -rf corpus
access=(5C 19 E2 07 B4 6A 90 3D C8 71 0E A5 2F 68 D3)

# --- FileparserFuzz: firmware files
t=FileparserFuzz
: | seed $t empty
frame 12 FF FF FF FF | seed $t module-type-all-ones
{ frame 12 00 00 00 02; frame 14 00 A7 00 03; frame 16 65 48 2C 80; } | seed $t identification
{ printf 'heading\r\n'; frame 12 00 00 00 07 AA BB; printf '\r\n'; frame 03 01;
  frame 09 5B 5D 5B 5D; frame 0D; frame 10 00 11 22; } | seed $t records-and-commands
bytes 5B 12 04 00 00 00 02 19 5D | seed $t bad-checksum
bytes 5B 12 04 00 00 00 02 18 5C | seed $t bad-end
bytes 5B 12 04 00 00 | seed $t cut-short
frame 14 00 A7 | seed $t short-record

# --- ReplyFuzz: mode byte, frame type, length and payload, then the reply
t=ReplyFuzz
status_reply() { frame "$1" "$2"; } # reply type, status
{ bytes 00 01 0F "${access[@]}"; bytes 5B 02 02 AA 55 03 5D; } | seed $t connect
{ bytes 00 03 01 01; status_reply 04 01; } | seed $t type3-status1
{ bytes 00 05 02 10 20; status_reply 06 00; } | seed $t type5
{ bytes 00 07 00; status_reply 08 00; } | seed $t type7
{ bytes 00 09 04 11 22 33 44; frame 0A 00 11 22 33 44; } | seed $t type9-echo
{ bytes 01 09 04 11 22 33 44; frame 0A 00 11 22 33 45; } | seed $t type9-wrong-echo
{ bytes 00 0B 00; status_reply 0C 00; } | seed $t type11
{ bytes 00 0D 01 42; } | seed $t type13
{ bytes 00 0E 02 01 01; status_reply 0F 00; } | seed $t type14
{ bytes 00 10 03 16 16 16; frame 11 00 16 16 16; } | seed $t type16-echo
{ bytes 00 12 04 00 00 00 02; frame 13 00 00 00 00 02; } | seed $t type18
{ bytes 00 12 04 FF FF FF FF; frame 13 00 00 00 00 02; } | seed $t type18-other-module
{ bytes 00 14 04 00 A7 00 03; } | seed $t type20
{ bytes 01 03 01 01 5B 04 01 02 07 5D; } | seed $t type3-status2

# --- CommandlineFuzz: the argument vector, entries separated by zero bytes
t=CommandlineFuzz
args() { # args ENTRY...: the entries joined by zero bytes
    local first=1 a
    for a in "$@"; do
        if [ $first = 0 ]; then printf '\0'; fi
        printf '%s' "$a"
        first=0
    done
}
args Download_ZUL_Console --if fw.ctf | seed $t input-only
args Download_ZUL_Console --help | seed $t help
args Download_ZUL_Console --msv 167 --ssv '$12C' --mt 0x00000002 --bt ' -0xDEADBEEF' --if fw.ctf |
    seed $t all-values
args Download_ZUL_Console --of --iffy.log --if fw.ctf --progress p.bin --infomod m.bin --verbose |
    seed $t files
args Download_ZUL_Console --if fw.ctf --com 260 | seed $t com
args Download_ZUL_Console --if fw.ctf --msv 167x | seed $t bad-integer
args Download_ZUL_Console --if fw.ctf --ssv -2147483648 --progress | seed $t dangling

#!/usr/bin/env bash
# Test stage "kernel": the tool and the simulated device on Linux's own USB
# serial drivers, which no pseudo-terminal can stand in for. A virtual
# machine boots Debian's current kernel (fetched as a package and unpacked
# into the build tree, never installed) from an initramfs holding the static
# tool, b4k-sim, busybox and the USB modules; its init (tests/kernel/guest.sh)
# runs the cases and reports on the serial console, which this script reads.
#   scripts/kernel-test.sh [CASE...]   (default: every case of guest.sh)
# What goes into the initramfs: tests/kernel/initramfs.list.
set -euo pipefail
cd "$(dirname "$0")/.."

work=build/kernel
root=$work/initramfs
console=$work/console.log
boot_limit=60 # the guest's init starts after about 5 s under TCG
run_limit=300 # the whole run, boot included; the cases need about 2 minutes
declare -A modules

die() {
    echo "kernel-test: $*" >&2
    exit 1
}

provision() {
    local missing=()
    command -v qemu-system-x86_64 >/dev/null || missing+=(qemu-system-x86)
    dpkg-query -W -f '${Status}' busybox-static 2>/dev/null | grep -q 'ok installed' ||
        missing+=(busybox-static)
    command -v udevadm >/dev/null || missing+=(udev) # the B4K rule's proof runs Debian's udevadm
    if [ ${#missing[@]} -gt 0 ]; then
        [ "$(id -u)" -eq 0 ] || die "run as root, or install ${missing[*]}"
        apt-get update -q
        DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
    fi
}

# The image package that linux-image-amd64 depends on today; it changes with
# each point release, so it is looked up, never written down.
kernel_package() {
    apt-cache depends linux-image-amd64 2>/dev/null | sed -n 's/^ *Depends: //p' | head -n 1
}

# Unpacks the kernel into $work/<package> once; stale package lists get one
# apt-get update.
fetch_kernel() {
    fetch_current || { apt-get update -q && fetch_current; } ||
        die "cannot fetch the package linux-image-amd64 depends on"
}

fetch_current() {
    local pkg
    pkg=$(kernel_package)
    [ -n "$pkg" ] || return 1
    kernel=$work/$pkg
    [ ! -d "$kernel/boot" ] || return 0
    rm -rf "$work"/linux-image-* && mkdir -p "$kernel.part" # an older release's kernel goes
    (cd "$kernel.part" && apt-get download -q -o APT::Sandbox::User=root "$pkg") &&
        dpkg-deb -x "$kernel.part"/*.deb "$kernel.part" && rm "$kernel.part"/*.deb &&
        mv "$kernel.part" "$kernel"
}

build() {
    cmake --preset static
    cmake --build --preset static
    g++ -std=c++20 -O2 -Wall -Wextra -static -o "$work/line-state" tests/kernel/line-state.cpp
}

index_modules() {
    local path name
    while read -r path; do
        name=${path##*/}
        name=${name%%.ko*}
        modules[${name//-/_}]=$path
    done < <(find "$kernel/lib/modules" -name '*.ko*')
}

# Copies a module as NAME.ko, uncompressed, and writes NAME.dep: the modules
# it needs, in load order (from each module's .modinfo "depends=").
add_module() {
    local name=${1//-/_} dir=$root/lib/modules dep
    [ -e "$dir/$name.dep" ] && return
    local path=${modules[$name]:-}
    [ -n "$path" ] || die "kernel module $name is not in ${kernel##*/}"
    case $path in
    *.ko) cp "$path" "$dir/$name.ko" ;;
    *.ko.xz) busybox xzcat "$path" >"$dir/$name.ko" ;;
    *) die "cannot unpack $path" ;;
    esac
    : >"$dir/$name.dep"
    for dep in $(tr '\0' '\n' <"$dir/$name.ko" | sed -n 's/^depends=//p' | tr , ' '); do
        add_module "$dep"
        cat "$dir/${dep//-/_}.dep"
        echo "${dep//-/_}"
    done | awk '!seen[$0]++' >"$dir/$name.dep.new"
    mv "$dir/$name.dep.new" "$dir/$name.dep"
}

add_bin() {
    install -D -m 755 "$1" "$root/bin/${1##*/}"
    local lib
    for lib in $(ldd "$1" 2>/dev/null | grep -o '/[^ ]*' || true); do
        install -D -m 755 "$lib" "$root$lib"
    done
}

add_file() {
    local where=${2:-$1}
    [[ $where == */ ]] && where=$where${1##*/}
    install -D -m "$(stat -c %a "$1")" "$1" "$root/${where#/}"
}

pack() {
    rm -rf "$root" && mkdir -p "$root"/{dev,proc,sys,tmp,lib/modules}
    install -D -m 755 /bin/busybox "$root/bin/busybox"
    index_modules
    local kind what where
    while read -r kind what where; do
        case $kind in
        '' | '#'*) ;;
        module) add_module "$what" ;;
        bin) add_bin "$what" ;;
        file) add_file "$what" "$where" ;;
        *) die "initramfs.list: unknown entry '$kind'" ;;
        esac
    done <tests/kernel/initramfs.list
    (cd "$root" && find . | busybox cpio -o -H newc 2>/dev/null) >"$work/initramfs.cpio"
}

accelerator() {
    # A /dev/kvm without the CPU's virtualisation flags is not usable here.
    if grep -qwE 'vmx|svm' /proc/cpuinfo && [ -w /dev/kvm ]; then echo kvm; else echo tcg; fi
}

boot() {
    local only
    only=$(IFS=, && echo "$*")
    : >"$console"
    timeout -k 5 "$run_limit" qemu-system-x86_64 -accel "$(accelerator)" -m 512 -smp 2 \
        -nographic -no-reboot -kernel "$(ls "$kernel"/boot/vmlinuz-*)" \
        -initrd "$work/initramfs.cpio" -append "console=ttyS0 quiet panic=-1 only=$only" \
        </dev/null >"$console" 2>&1 &
    qemu=$!
}

# Waits for the guest's init, then shows the case results as they come. Each
# wait is a background job: bash acts on a signal only between commands.
follow() {
    timeout "$boot_limit" grep -q -m 1 -a ZUL-KERNEL-INIT <(tail -n +1 -f --pid="$qemu" "$console") &
    if ! wait $!; then
        cleanup
        tail -n 20 "$console" >&2
        die "the guest did not start its init (waited up to $boot_limit s; console: $console)"
    fi
    tail -n +1 -f --pid="$qemu" "$console" | grep -a --line-buffered -E '^(PASS|FAIL|  - )' &
    wait $! || true
    wait "$qemu" || true
}

verdict() {
    local summary
    if ! summary=$(grep -a ZUL-KERNEL-DONE "$console" | tr -d '\r'); then
        tail -n 20 "$console" >&2
        die "the guest stopped before its last case, or ran over $run_limit s (console: $console)"
    fi
    echo "kernel-test: ${summary#ZUL-KERNEL-DONE }"
    [[ $summary == *" failed 0" ]] || die "cases failed (console: $console)"
}

# Ends the virtual machine (through its time limit's process) and the
# console readers, if they still run.
cleanup() {
    local running
    mapfile -t running < <(jobs -p)
    [ ${#running[@]} -eq 0 ] || kill "${running[@]}" 2>/dev/null || true
    wait || true
}

trap cleanup EXIT
trap "exit 1" INT TERM HUP
mkdir -p "$work"
provision
fetch_kernel
build
pack
boot "$@"
follow
verdict

#!/usr/bin/env bash
# Proves the Debian package as a technician meets it: lintian, the manual
# pages, apt-get install, a real download by a user of the dialout group on a
# port with the udev rule's group and mode, apt-get purge leaving no file.
# Needs root; removes the package, the user and its temporary folder.
set -euo pipefail
cd "$(dirname "$0")/.."

package=zul-download
user=zul-pkg-$$
apt_get() { apt-get -y -q -o DPkg::Lock::Timeout=300 "$@"; }
package_files() { dpkg -L $package | while read -r f; do [ -d "$f" ] || echo "$f"; done; }

build_package() {
    cmake --preset release >/dev/null
    cmake --build --preset release
    (cd build/release && cpack -G DEB >/dev/null)
    deb=$(ls "$PWD"/build/release/${package}_*.deb)
    # The one warning left is explained in the README (Install); lintian
    # leaves scratch files behind in TMPDIR.
    TMPDIR=$work lintian --fail-on error,warning --suppress-tags initial-upload-closes-no-bugs "$deb"
}

# Each page renders without a warning and names every option of --help.
check_pages() {
    local page program warnings
    for page in $(package_files | grep '/man1/'); do
        program=$(basename "$page" .1.gz)
        warnings=$(man --warnings -l "$page" 2>&1 >/dev/null && zcat "$page" | groff -man -ww -z 2>&1)
        [ -z "$warnings" ] || { echo "$page: $warnings" >&2 && return 1; }
        for option in $("$program" --help | grep -o -- '--[a-z-]*' | sort -u); do
            zcat "$page" | grep -qF -- "${option//-/\\-}" || {
                echo "$page lacks $option" >&2
                return 1
            }
        done
    done
    [ "$(man -w Download_ZUL_Console)" = /usr/share/man/man1/Download_ZUL_Console.1.gz ]
}

# The pty gets what the rule gives a B4K's tty; the user can open it only then.
download_as_dialout_user() {
    local rule tty status=0
    rule=$(package_files | grep '/rules.d/60-zul-b4k.rules$')
    useradd --system --no-create-home --shell /usr/sbin/nologin --groups dialout "$user"
    chmod 755 "$work"
    install -d -o "$user" "$work/run"
    ctf-gen --module-type 2 --revision 1.0 --size 32K "$work/fw.ctf"
    start_simulator "$(command -v b4k-sim)" "$work"
    tty=$(head -n 1 "$work/sim.out")
    if runuser -u "$user" -- sh -c ': <>"$1"' sh "$tty" 2>/dev/null; then
        echo "$user could open $tty before it got the rule's group and mode" >&2
        return 1
    fi
    chgrp "$(grep -o 'GROUP="[a-z]*"' "$rule" | cut -d '"' -f 2)" "$tty"
    chmod "$(grep -o 'MODE="[0-7]*"' "$rule" | cut -d '"' -f 2)" "$tty"
    (cd "$work/run" && runuser -u "$user" -- env ZUL_PORT_DIR="$ZUL_PORT_DIR" \
        ZUL_SYSFS_ROOT="$ZUL_SYSFS_ROOT" Download_ZUL_Console --if ../fw.ctf \
        --progress progress.bin --infomod module.bin) || status=$?
    [ "$status" -eq 1 ] || { cat "$work/run/Log.txt" && return 1; }
    [ "$(od -An -tx1 "$work/run/progress.bin" "$work/run/module.bin" | tr -d ' \n')" = 6402000000 ]
}

# Every file the package installed is gone after the purge.
purge_and_check() {
    local files
    files=$(package_files)
    apt_get purge $package >/dev/null
    for f in $files /usr/share/doc/$package; do
        [ ! -e "$f" ] || { echo "left behind: $f" >&2 && return 1; }
    done
}

cleanup() {
    stop_simulator
    ! id "$user" >/dev/null 2>&1 || userdel "$user"
    ! dpkg -s $package >/dev/null 2>&1 || apt_get purge $package >/dev/null
    rm -rf "$work"
}

if dpkg -s $package >/dev/null 2>&1; then
    echo "package-test.sh: $package is installed already; apt-get purge it first" >&2
    exit 1
fi
scripts/ensure-deps.sh package
source scripts/simulator.sh
work=$(mktemp -d)
trap cleanup EXIT
build_package
apt_get install "$deb"
echo "installed:" $(package_files)
[ "$(command -v Download_ZUL_Console)" = /usr/bin/Download_ZUL_Console ]
check_pages
download_as_dialout_user
stop_simulator
purge_and_check
echo "package: lintian clean, pages checked, download by a dialout user, purge complete"

#!/usr/bin/env bash
# Installs, with apt-get, whatever the build and the tests need and this
# machine lacks. Does nothing when everything is there.
#   scripts/ensure-deps.sh [fuzz] [windows] [package]   (the base set always)
set -euo pipefail

missing=()
need_cmd() { command -v "$1" >/dev/null 2>&1 || missing+=("$2"); }
need_file() { [ -e "$1" ] || missing+=("$2"); }

need_cmd cmake cmake
need_cmd ninja ninja-build
need_cmd g++ g++
need_cmd clang++ clang
need_file /usr/include/gtest/gtest.h libgtest-dev
need_file /usr/include/nettle/sha2.h nettle-dev               # the station's SHA-256
need_file /usr/include/nlohmann/json.hpp nlohmann-json3-dev # the station's JSON
need_cmd tmux tmux # the station's screen is tested in it
need_cmd pkg-config pkg-config
need_file /usr/include/microhttpd.h libmicrohttpd-dev # zul-station's dashboard
for group in "$@"; do
    case $group in
    fuzz) # libFuzzer's runtime is a package of its own
        need_file "$(clang++ -print-file-name=libclang_rt.fuzzer-x86_64.a 2>/dev/null ||
            echo /nonexistent)" libclang-rt-14-dev
        ;;
    windows)
        need_cmd x86_64-w64-mingw32-g++-posix g++-mingw-w64-x86-64
        need_file /usr/lib/wine/wine64 wine64
        need_cmd wine wine
        need_file /usr/src/googletest/CMakeLists.txt googletest
        ;;
    package) # the Debian package's build (dpkg-shlibdeps), checks and man pages
        need_cmd dpkg-shlibdeps dpkg-dev
        need_cmd lintian lintian
        need_cmd groff groff-base
        need_cmd man man-db
        ;;
    *)
        echo "ensure-deps.sh: unknown group '$group' (fuzz, windows, package)" >&2
        exit 2
        ;;
    esac
done

if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    if [ "$(id -u)" -ne 0 ]; then
        echo "Run as root (or install these packages yourself): ${missing[*]}" >&2
        exit 1
    fi
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -q
    apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

#!/bin/bash
# Installs what the build, the tests and the benchmark need on a Debian machine,
# and generates the locales Wine takes its ANSI code page from.
# Says what it installs; installs nothing that is already there.
set -euo pipefail

PACKAGES=(cmake ninja-build g++ mingw-w64 wine wine64 xvfb xdotool imagemagick
          fonts-wqy-zenhei googletest libgtest-dev locales clang libclang-rt-14-dev x11-utils
          openbox ripgrep gawk time grep coreutils zip unzip python3
          python3-pefile python3-matplotlib)

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

missing=()
for p in "${PACKAGES[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done

if [ ${#missing[@]} -gt 0 ]; then
    echo "setup: installing missing packages: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    $SUDO apt-get update -qq
    $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
    echo "setup: installed ${#missing[@]} package(s)"
else
    echo "setup: all required packages are present"
fi

# Locales for Wine's code pages: zh_TW.UTF-8 gives code page 950, en_US.UTF-8 1252.
need_gen=0
for loc in zh_TW.UTF-8 zh_HK.UTF-8 en_US.UTF-8; do
    if ! locale -a 2>/dev/null | grep -qi "^${loc%%.*}\.utf-\?8$"; then
        if ! grep -q "^${loc} UTF-8" /etc/locale.gen 2>/dev/null; then
            echo "setup: enabling locale ${loc}"
            echo "${loc} UTF-8" | $SUDO tee -a /etc/locale.gen >/dev/null
        fi
        need_gen=1
    fi
done
if [ $need_gen -eq 1 ]; then
    echo "setup: generating locales"
    $SUDO locale-gen >/dev/null
fi

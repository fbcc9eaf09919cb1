#!/bin/sh
# Installs the Debian packages the build and the tests need, and only those that are missing.
set -eu

packages="build-essential cmake ninja-build pkg-config git
  juce-modules-source zlib1g-dev libdeflate-dev
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  binutils binutils-mingw-w64-i686"

missing=""
for p in $packages; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing="$missing $p"
    fi
done

if [ -z "$missing" ]; then
    exit 0
fi

if [ "$(id -u)" -eq 0 ]; then
    as_root=""
elif command -v sudo >/dev/null 2>&1; then
    as_root="sudo"
else
    echo "setup: these packages are missing and neither root nor sudo is available:$missing" >&2
    exit 1
fi

echo "setup: installing$missing"
$as_root apt-get update -q
# shellcheck disable=SC2086
DEBIAN_FRONTEND=noninteractive $as_root apt-get install -y -q --no-install-recommends $missing

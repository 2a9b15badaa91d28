#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, only those missing.
# With the argument "fuzz": those the fuzzer needs (clang with libFuzzer and the
# sanitizer runtimes).
set -euo pipefail
if [ "${1:-}" = fuzz ]; then
  packages=(clang-14 libclang-rt-14-dev)
else
  packages=(
    g++ make pkg-config      # the extension's build
    nasm libdav1d-dev zlib1g-dev libgnutls28-dev xz-utils   # building FFmpeg from source
    openssl                  # the tests' self-signed certificates
    ffmpeg                   # the command-line tools: test media and reference values
  )
fi
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup-system: installing ${missing[*]}" >&2
  export DEBIAN_FRONTEND=noninteractive
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2
fi

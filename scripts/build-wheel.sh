#!/usr/bin/env bash
# Builds the project's one wheel into dist/: an abi3 wheel for CPython 3.10 and later,
# repaired by auditwheel so that FFmpeg and its own dependencies travel inside it under
# mangled names, with the licence text of everything it bundles.
# Usage: scripts/build-wheel.sh PYTHON FFMPEG_PREFIX   (the prefix, or "system")
set -euo pipefail
python=$1
prefix=$2
work=build/wheel
rm -rf "$work" dist/avarray-*.whl
mkdir -p "$work" dist
[ "$prefix" = system ] || export PKG_CONFIG_PATH="$prefix/lib/pkgconfig"

"$python" -m pip wheel -q --no-build-isolation --no-deps \
  --config-settings=cmake.define.AVARRAY_WERROR=ON -w "$work/raw" .
raw=$(ls "$work"/raw/avarray-*.whl)
# The module as built, before the repair replaces its run path: it tells where each
# library that gets bundled came from.
"$python" -m zipfile -e "$raw" "$work/raw/unpacked"

# The lowest manylinux tag the libraries' glibc symbol versions allow.
"$python" -m auditwheel repair -w "$work/repaired" "$raw" >&2
"$python" -m wheel unpack -d "$work/unpacked" "$work"/repaired/avarray-*.whl >/dev/null
unpacked=$(ls -d "$work"/unpacked/avarray-*/)
"$python" scripts/bundle-licenses.py "$unpacked" "$(ls "$work"/raw/unpacked/_av*.so)" "$prefix" >&2
"$python" -m wheel pack -d dist "$unpacked" >&2
ls dist/avarray-*.whl

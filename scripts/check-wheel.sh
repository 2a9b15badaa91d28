#!/usr/bin/env bash
# Proves the wheel in dist/, not the development build: abi3audit on it, then for every
# CPython 3.10-3.13 on the machine a fresh virtual environment with the wheel and the
# test requirements, the library check and the whole test suite against the installed
# module; last, one process with PyAV and OpenCV beside it.
# Usage: scripts/check-wheel.sh FFMPEG_PREFIX   (abi3audit on PATH)
set -euo pipefail
prefix=$1
root=$(pwd)
work=build/check-wheel
wheels=(dist/avarray-*.whl)
[ ${#wheels[@]} -eq 1 ] || { echo "check-wheel: expected one wheel in dist/, found ${wheels[*]}" >&2; exit 1; }
wheel=$root/${wheels[0]}
start=$SECONDS
log() { echo "check-wheel [$((SECONDS - start)) s]: $*" >&2; }

rm -rf "$work"
mkdir -p "$work"

log "abi3audit $(basename "$wheel")"
abi3audit --strict --report "$wheel"

# Every library in the wheel finds the others through $ORIGIN only: no run path into the
# build machine (the FFmpeg cache, /root, build/).
python3 -m zipfile -e "$wheel" "$work/unzipped"
while IFS= read -r -d '' so; do
  paths=$(readelf -d "$so" | sed -n 's/.*(R[UN]*PATH).*\[\(.*\)\]/\1/p')
  for entry in ${paths//:/ }; do
    case $entry in
      '$ORIGIN'*) ;;
      *) log "$(basename "$so") has the run path $entry"; exit 1 ;;
    esac
  done
done < <(find "$work/unzipped" -name '*.so*' -type f -print0)
log "run paths: \$ORIGIN only, $(find "$work/unzipped" -name '*.so*' -type f | wc -l) libraries"

# Nothing may lead the loader to the FFmpeg the wheel was built from.
unset LD_LIBRARY_PATH PKG_CONFIG_PATH PYTHONPATH
if [ "$prefix" != system ] && ldconfig -p | grep -qF "$prefix"; then
  log "the FFmpeg build prefix $prefix is on the loader's search path"; exit 1
fi

# The newest patch release of each minor version that pyenv has, else pythonX.Y on PATH.
pythons=()
for minor in 3.10 3.11 3.12 3.13; do
  found=$(ls -d "${PYENV_ROOT:-$HOME/.pyenv}"/versions/"$minor".*/bin/python3 2>/dev/null | sort -V | tail -n 1 || true)
  [ -n "$found" ] || found=$(command -v "python$minor" || true)
  if [ -n "$found" ]; then pythons+=("$found"); else log "no Python $minor on this machine: skipped"; fi
done
[ ${#pythons[@]} -gt 0 ] || { log "no CPython 3.10-3.13 found"; exit 1; }

# A fresh venv per Python with the wheel and the test requirements, made one at a time.
venvs=()
for python in "${pythons[@]}"; do
  version=$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
  venv=$work/py$version
  log "Python $version: fresh venv $venv"
  "$python" -m venv "$venv"
  "$venv/bin/python" -m pip install -q --upgrade pip
  "$venv/bin/python" -m pip install -q "$wheel" -r requirements-test.txt
  venvs+=("$venv")
done

# In each: the libraries the module maps, its stubs, and the whole test suite (from a
# directory outside the checkout, or from the checkout whose tree holds no _av).
check_venv() {
  local venv=$1
  (cd "$work" && "$root/$venv/bin/python" "$root/scripts/wheel-checks.py" libraries) &&
  (cd "$work" && "$root/$venv/bin/python" -m mypy.stubtest _av) &&
  "$venv/bin/python" -m pytest -q -p no:cacheprovider
}
# Several at a time (CHECK_WHEEL_JOBS, default 4): the suites wait on servers, timeouts
# and subprocesses as much as they compute.
jobs=${CHECK_WHEEL_JOBS:-4}
status=0
for ((i = 0; i < ${#venvs[@]}; i += jobs)); do
  pids=()
  for venv in "${venvs[@]:i:jobs}"; do
    check_venv "$venv" > "$venv.log" 2>&1 &
    pids+=($!)
  done
  for j in "${!pids[@]}"; do
    venv=${venvs[i + j]}
    if wait "${pids[j]}"; then
      log "$(basename "$venv"): stubtest: $(grep -m1 '^Success' "$venv.log"); pytest: $(grep -E '^[0-9]+ passed' "$venv.log" | tail -n 1)"
    else
      log "$(basename "$venv") FAILED:"; tail -n 30 "$venv.log" >&2; status=1
    fi
  done
done
[ $status -eq 0 ] || exit 1
grep -A6 '^libraries:' "${venvs[0]}.log" >&2

# One process with the module, PyAV and OpenCV: each loads and keeps its own FFmpeg.
log "PyAV and OpenCV beside the module ($(basename "$venv"))"
"$venv/bin/python" -m pip install -q av opencv-python-headless
(cd "$work" && "$root/$venv/bin/python" "$root/scripts/wheel-checks.py" coexist "$root/samples/sample.mp4")

log "$(basename "$wheel") passed in $((SECONDS - start)) s"

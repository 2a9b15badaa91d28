#!/usr/bin/env bash
# Creates .venv-bench with the peers of the benchmark, from PyPI. A peer that fails to install is
# recorded in .venv-bench/peers-install.txt (the report shows why) and the others still install.
#
# Versions, and why these:
# - av: the newest release that supports this Python (19 and later need a newer one); pip picks it.
# - decord 0.6.0, the last release of the original; its fork decord2 only if it will not install.
# - torch 2.13.0 pinned (this machine keeps its CPU build on disk; unpinned, pip would fetch a
#   multi-GB CUDA build) and torchcodec 0.13.0: the newest release built for CPU on PyPI (0.14
#   and later need CUDA's libraries) whose range (torch >= 2.11) covers torch 2.13.
set -uo pipefail
venv=${1:-.venv-bench}
py=$venv/bin/python
log=$venv/peers-install.txt

[ -x "$py" ] || python3 -m venv "$venv" || exit 1
"$py" -m pip install -q --upgrade pip || exit 1
"$py" -m pip install -q numpy matplotlib || exit 1
: > "$log"

install() {  # install NAME PIP-ARGUMENTS...
  local name=$1; shift
  local out
  if out=$("$py" -m pip install -q "$@" 2>&1); then
    echo "$name: installed $*" >> "$log"
  else
    echo "$name: failed: pip install $*: $(echo "$out" | grep -v '^WARNING' | tail -n 3 | tr '\n' ' ')" >> "$log"
    return 1
  fi
}

install PyAV av
install decord decord || install decord decord2
install OpenCV opencv-python-headless
install torchcodec torch==2.13.0 torchcodec==0.13.0
cat "$log"

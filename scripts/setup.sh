#!/usr/bin/env bash
# Installs what clipwalk needs on Debian 12 (only what is missing) and builds it in build/.
# The Python package is built for Debian's python3, which python3-numpy, python3-pytest and
# Dask (clipwalk.dask, clipwalk.check) install into; chromium renders the check's report in
# its test.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

packages=(g++ cmake make pkg-config ffmpeg libavformat-dev libavcodec-dev libavutil-dev
  libswscale-dev libgtest-dev clang libclang-rt-14-dev clang-format python3
  pybind11-dev python3-dev python3-numpy python3-pytest python3-dask python3-distributed
  python3-tqdm chromium)
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo_cmd=()
  [ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
fi

cmake -S "$root" -B "$root/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$root/build" -j"$(nproc)"

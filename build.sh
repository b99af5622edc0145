#!/usr/bin/env bash
# Kapo's one entry for developers and CI.
#   ./build.sh run    install what is missing, build, start Kapo
#   ./build.sh test   install what is missing, build with sanitizers, run every test
set -euo pipefail
cd "$(dirname "$0")"

packages=(g++ cmake ninja-build pkg-config qt6-base-dev libgl-dev libgtest-dev libgmock-dev
          fonts-liberation libmount-dev libasound2-dev libsndfile1-dev python3-pil)

install_missing() {
  local missing=()
  for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing: ${missing[*]}"
  local sudo=()
  [ "$(id -u)" -eq 0 ] || sudo=(sudo)
  "${sudo[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

jobs=${KAPO_JOBS:-2}

case "${1:-}" in
  run)
    install_missing
    cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DKAPO_TESTS=OFF -DKAPO_BENCH=OFF
    ninja -C build/release -j"$jobs" kapo
    exec build/release/app/kapo
    ;;
  test)
    install_missing
    cmake -S . -B build/test -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKAPO_SANITIZE=ON -DKAPO_BENCH=OFF
    ninja -C build/test -j"$jobs"
    export QT_QPA_PLATFORM=offscreen
    ctest --test-dir build/test --output-on-failure -j"$jobs"
    ;;
  *)
    echo "usage: $0 run|test" >&2
    exit 2
    ;;
esac

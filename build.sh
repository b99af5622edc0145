#!/usr/bin/env bash
# Kapo's one entry for developers and CI.
#   ./build.sh run    install what is missing, build, start the demo service and Kapo
#   ./build.sh test   install what is missing, build with sanitizers, run every test, then the
#                     layers below the GUI under ThreadSanitizer, then each fuzzer briefly
#                     (KAPO_FUZZ_SECONDS per fuzzer, 20 by default; 0 skips the fuzzers), then
#                     the run command's release build and the package build's compile step,
#                     warnings as errors, with one start of each release program
#   ./build.sh package  build the Debian packages kapo and kora-server (release, with the
#                       distribution's hardening flags) into build/pkg and check them with
#                       lintian; the maintainer is DEBFULLNAME <DEBEMAIL>, as for dpkg's tools,
#                       or a placeholder for packages meant for this machine only
#   ./build.sh fuzz [SECONDS]  build the fuzzers only, run each SECONDS s (600 by default),
#                       KAPO_JOBS of them at once, and merge what they found into tests/fuzz/corpus
# Warnings stop only the developers' builds (test, thread, fuzz, and CI's release checks):
# a user's or packager's build goes on when another compiler warns about something new.
set -euo pipefail
cd "$(dirname "$0")"

packages=(g++ cmake ninja-build pkg-config qt6-base-dev libgl-dev libgtest-dev libgmock-dev
          fonts-liberation libmount-dev libasound2-dev libsndfile1-dev libssl-dev zlib1g-dev python3-pil
          clang-14 libclang-rt-14-dev weston qt6-wayland)
# What only the tests start: an X server for dragging and closing from outside, and real proxies.
test_packages=(xvfb xdotool squid microsocks)

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

# The run command's configuration; CI builds it too, with warnings as errors.
configure_release() {
  cmake -S . -B "$1" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKAPO_TESTS=OFF -DKAPO_BENCH=OFF "${@:2}"
}

# The package configuration: PIE, relro, bindnow, fortify and the stack protector, as the
# distribution builds. A subshell, so the flags stay out of the other builds.
configure_package() {
  (
    eval "$(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --export=sh)"
    cmake -S . -B "$1" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKAPO_TESTS=OFF -DKAPO_BENCH=OFF \
          -DCMAKE_INSTALL_PREFIX=/usr -DCMAKE_CXX_FLAGS="$CPPFLAGS $CXXFLAGS" \
          -DCMAKE_EXE_LINKER_FLAGS="$LDFLAGS" "${@:2}"
  )
}

case "${1:-}" in
  run)
    install_missing
    configure_release build/release -DKAPO_WERROR=OFF
    ninja -C build/release -j"$jobs" kapo kora-server demo_catalogue
    # The demo service with the generated catalogue, unless something already answers there.
    listening() { (exec 3<>/dev/tcp/127.0.0.1/8642) 2>/dev/null; }
    if ! listening; then
      build/release/tools/kora-server/kora-server --listen 127.0.0.1:8642 --account demo:demo &
      server_pid=$!
      trap 'kill "$server_pid" 2>/dev/null; wait "$server_pid" 2>/dev/null || true' EXIT
      for _ in $(seq 50); do listening && break; sleep 0.1; done
    fi
    # First run only: settings that reach the demo service as the demo member.
    ini=build/release/app/kapo.ini
    if [ ! -e "$ini" ]; then
      printf '%s\r\n' "localhost:8642/" "" "80" "demo" "demo" "$HOME" > "$ini"
      chmod 600 "$ini"
    fi
    build/release/app/kapo
    ;;
  test)
    packages+=(dpkg-dev "${test_packages[@]}")
    install_missing
    cmake -S . -B build/test -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKAPO_SANITIZE=ON -DKAPO_BENCH=OFF \
          -DKAPO_WERROR=ON
    ninja -C build/test -j"$jobs"
    export QT_QPA_PLATFORM=offscreen
    ctest --test-dir build/test --output-on-failure -j"$jobs"
    # Races: the Qt-free layers and their tests under ThreadSanitizer.
    cmake -S . -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKAPO_TSAN=ON -DKAPO_BENCH=OFF \
          -DKAPO_WERROR=ON
    ninja -C build/tsan -j"$jobs"
    ctest --test-dir build/tsan --output-on-failure -j"$jobs"
    # Fuzzing: each target a short while on its seed corpus; new inputs stay in build/fuzz.
    fuzz_seconds=${KAPO_FUZZ_SECONDS:-20}
    if [ "$fuzz_seconds" -gt 0 ]; then
      cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKAPO_FUZZ=ON -DKAPO_TESTS=OFF \
            -DKAPO_BENCH=OFF -DKAPO_WERROR=ON -DCMAKE_CXX_COMPILER=clang++-14
      ninja -C build/fuzz -j"$jobs" fuzz_targets
      # Absolute paths: the folder list's fuzzer changes the current directory.
      out="$PWD/build/fuzz"
      for seeds in "$PWD"/tests/fuzz/corpus/*/; do
        name=$(basename "$seeds")
        mkdir -p "$out/corpus/$name"
        echo "fuzz_$name: ${fuzz_seconds}s"
        ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        LSAN_OPTIONS=suppressions="$PWD/tests/fuzz/lsan.supp" \
          "$out/tests/fuzz/fuzz_$name" -max_total_time="$fuzz_seconds" -timeout=10 \
          -artifact_prefix="$out/$name-" "$out/corpus/$name" "$seeds" 2>"$out/$name.log" \
          || { tail -n 60 "$out/$name.log"; exit 1; }
      done
    fi
    # What users build: the run command's release configuration and the package's compile
    # step, only the two programs each, with warnings as errors here alone.
    started=$SECONDS
    configure_release build/ci-release -DKAPO_WERROR=ON
    ninja -C build/ci-release -j"$jobs" kapo kora-server
    tests/release_smoke.sh build/ci-release
    configure_package build/ci-pkg -DKAPO_WERROR=ON
    ninja -C build/ci-pkg -j"$jobs" kapo kora-server
    echo "release and package builds: $((SECONDS - started)) s"
    ;;
  package)
    if [ -z "${DEBEMAIL:-}" ]; then
      # Packages for trying out on this machine; a maintainer's address is needed only to
      # hand them to anyone else.
      export DEBFULLNAME="Kapo local build" DEBEMAIL="local-build@kapo.invalid"
      echo "$0 package: DEBEMAIL is not set; the packages name the placeholder" \
           "\"$DEBFULLNAME <$DEBEMAIL>\" and are for local use only" >&2
    fi
    packages+=(dpkg-dev lintian)
    install_missing
    configure_package build/pkg -DKAPO_WERROR=OFF -UKAPO_MAINTAINER
    ninja -C build/pkg -j"$jobs" kapo kora-server packaging_files
    rm -f build/pkg/*.deb
    (cd build/pkg && cpack -G DEB)
    # Nothing installed may name the build: unpack both and look.
    rm -rf build/pkg/unpacked
    for deb in build/pkg/*.deb; do dpkg-deb -x "$deb" build/pkg/unpacked; done
    if grep -rl "$PWD" build/pkg/unpacked; then
      echo "$0 package: the files above name the build folder" >&2
      exit 1
    fi
    # Informational tags are shown too; errors and warnings fail the run.
    lintian --info --display-info --fail-on error,warning build/pkg/*.deb
    ;;
  fuzz)
    install_missing
    fuzz_seconds=${2:-600}
    cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKAPO_FUZZ=ON -DKAPO_TESTS=OFF \
          -DKAPO_BENCH=OFF -DKAPO_WERROR=ON -DCMAKE_CXX_COMPILER=clang++-14
    ninja -C build/fuzz -j"$jobs" fuzz_targets
    out="$PWD/build/fuzz"
    export ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
           LSAN_OPTIONS=suppressions="$PWD/tests/fuzz/lsan.supp"
    fuzz_one() {
      mkdir -p "$out/corpus/$1"
      "$out/tests/fuzz/fuzz_$1" -max_total_time="$fuzz_seconds" -timeout=10 -artifact_prefix="$out/$1-" \
        "$out/corpus/$1" "$PWD/tests/fuzz/corpus/$1" 2>"$out/$1.log" \
        || { echo "fuzz_$1 failed:"; tail -n 60 "$out/$1.log"; return 1; }
      echo "fuzz_$1: ${fuzz_seconds}s"
    }
    failed=0 running=0
    for seeds in tests/fuzz/corpus/*/; do
      fuzz_one "$(basename "$seeds")" &
      running=$((running + 1))
      if [ "$running" -ge "$jobs" ]; then wait -n || failed=1; running=$((running - 1)); fi
    done
    while [ "$running" -gt 0 ]; do wait -n || failed=1; running=$((running - 1)); done
    [ "$failed" -eq 0 ] || exit 1
    # The kept corpus keeps its files and gains only the inputs that add coverage.
    for seeds in tests/fuzz/corpus/*/; do
      name=$(basename "$seeds")
      "$out/tests/fuzz/fuzz_$name" -merge=1 "$PWD/$seeds" "$out/corpus/$name" 2>>"$out/$name.log"
      echo "tests/fuzz/corpus/$name: $(ls "$seeds" | wc -l) inputs, $(du -sk "$seeds" | cut -f1) KiB"
    done
    ;;
  *)
    echo "usage: $0 run|test|package|fuzz [SECONDS]" >&2
    exit 2
    ;;
esac

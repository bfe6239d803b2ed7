#!/usr/bin/env bash
# Entry points for newcomers and CI:
#   ./quorra.sh demo   installs what is missing, builds, runs the main job
#   ./quorra.sh test   installs what is missing, builds, runs every test
#                      (unit and end-to-end tests, a sanitizer build of them,
#                      an install/find_package check, a fuzz smoke run)
#   ./quorra.sh build  builds only
#   ./quorra.sh bench  builds and runs the benchmarks
set -euo pipefail
cd "$(dirname "$0")"
ROOT=$PWD
JOBS=${JOBS:-$(nproc)}
FUZZ_SECONDS=${FUZZ_SECONDS:-30}

PACKAGES=(cmake g++ ninja-build pkg-config libgtest-dev libgmock-dev libbenchmark-dev clang-14 libclang-rt-14-dev
  python3-olefile libgsf-bin libgsf-1-dev)

install_missing() {
  local missing=()
  for p in "${PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "quorra.sh: installing ${missing[*]}"
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo=sudo
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

configure_and_build() {  # dir, extra cmake args...
  local dir=$1; shift
  cmake -S "$ROOT" -B "$dir" -G Ninja "$@" >/dev/null
  cmake --build "$dir" -j "$JOBS"
}

build_main() { configure_and_build build -DCMAKE_BUILD_TYPE=Release; }

run_tests() {
  ctest --test-dir build --output-on-failure -j "$JOBS"
}

run_sanitizer_tests() {
  echo "== tests under AddressSanitizer and UndefinedBehaviorSanitizer"
  configure_and_build build-asan -DCMAKE_BUILD_TYPE=Debug -DQUORRA_SANITIZE=ON -DQUORRA_BENCH=OFF
  ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 ctest --test-dir build-asan --output-on-failure -j "$JOBS"
}

run_install_check() {
  echo "== install and find_package(quorra CONFIG)"
  local prefix=$ROOT/build/install-check
  rm -rf "$prefix" build/consumer
  cmake --install build --prefix "$prefix" >/dev/null
  cmake -S tests/consumer -B build/consumer -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
  cmake --build build/consumer >/dev/null
  LD_LIBRARY_PATH="$prefix/lib:${LD_LIBRARY_PATH:-}" build/consumer/consumer
  echo "== add_subdirectory(quorra)"
  cmake -S tests/consumer_subdir -B build/consumer-subdir -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DQUORRA_SOURCE_DIR="$ROOT" >/dev/null
  cmake --build build/consumer-subdir -j "$JOBS" --target consumer >/dev/null
  build/consumer-subdir/consumer
}

run_fuzz_smoke() {
  echo "== fuzz smoke run (${FUZZ_SECONDS}s per target)"
  configure_and_build build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++-14 \
    -DQUORRA_FUZZ=ON -DQUORRA_TESTS=OFF -DQUORRA_BENCH=OFF -DQUORRA_TOOL=OFF
  local failed=0 target name corpus
  for target in build-fuzz/fuzz/fuzz_*; do
    [ -x "$target" ] || continue
    name=${target##*/fuzz_}
    # Absolute paths: a target may change its working directory.
    corpus=$ROOT/build-fuzz/corpus/$name
    mkdir -p "$corpus" "$ROOT/build-fuzz/artifacts"
    [ -d "fuzz/corpus/$name" ] && cp -r "fuzz/corpus/$name/." "$corpus/"
    if "$target" -max_total_time="$FUZZ_SECONDS" -rss_limit_mb=2048 -timeout=10 -print_final_stats=0 \
      -artifact_prefix="$ROOT/build-fuzz/artifacts/$name-" "$corpus" >"build-fuzz/$name.log" 2>&1; then
      echo "fuzz $name: ok ($(grep -c . "build-fuzz/$name.log") log lines)"
    else
      echo "fuzz $name: FAILED"; tail -n 40 "build-fuzz/$name.log"; failed=1
    fi
  done
  return $failed
}

case "${1:-}" in
  demo)
    install_missing
    build_main
    shift
    ./build/quorra demo "$@"
    ;;
  test)
    install_missing
    build_main
    run_tests
    run_install_check
    run_sanitizer_tests
    run_fuzz_smoke
    # Reached only when every step passed (the script stops at the first failure).
    echo "test: $(ctest --test-dir build -N | awk '/Total Tests:/ {print $3}') passed, 0 failed"
    ;;
  build)
    install_missing
    build_main
    ;;
  bench)
    install_missing
    build_main
    for b in build/bench/bench_*; do [ -x "$b" ] && "$b"; done
    ;;
  *)
    echo "usage: ./quorra.sh demo|test|build|bench" >&2
    exit 2
    ;;
esac

#!/usr/bin/env bash
# Entry points for newcomers and CI:
#   ./quorra.sh demo   installs what is missing, builds, runs the main job
#   ./quorra.sh test   installs what is missing, builds, runs every test
#                      (unit and end-to-end tests, a sanitizer build of them,
#                      an install/find_package check, a fuzz smoke run)
#   ./quorra.sh build  builds only
#   ./quorra.sh bench  builds Release and runs the scale suite: one table, and
#                      bench-results.json (--full adds 10^7 occurrences,
#                      --peers installs Open CASCADE's XCAF and compares with
#                      it, --all runs every Google Benchmark binary instead)
set -euo pipefail
cd "$(dirname "$0")"
ROOT=$PWD
JOBS=${JOBS:-$(nproc)}
FUZZ_SECONDS=${FUZZ_SECONDS:-30}

PACKAGES=(cmake g++ ninja-build pkg-config libgtest-dev libgmock-dev libbenchmark-dev clang-14 libclang-rt-14-dev
  python3-olefile libgsf-bin libgsf-1-dev pybind11-dev python3-numpy python3-pytest)

install_packages() {  # package names...
  local missing=()
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "quorra.sh: installing ${missing[*]}"
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo=sudo
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

install_missing() { install_packages "${PACKAGES[@]}"; }

configure_and_build() {  # dir, extra cmake args...
  local dir=$1; shift
  cmake -S "$ROOT" -B "$dir" -G Ninja "$@" >/dev/null
  cmake --build "$dir" -j "$JOBS"
}

build_main() { configure_and_build build -DCMAKE_BUILD_TYPE=Release; }

run_tests() {
  ctest --test-dir build --output-on-failure -j "$JOBS"
}

run_python_tests() {
  echo "== Python module tests (pytest, from the build tree)"
  PYTHONPATH="$ROOT/build/python" /usr/bin/python3 -m pytest -q -p no:cacheprovider python/tests
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

# Open CASCADE's XCAF (and the kernel parts it needs) for the peer benchmark.
PEER_PACKAGES=(libocct-ocaf-dev libocct-data-exchange-dev libocct-modeling-algorithms-dev)

install_peer() { install_packages "${PEER_PACKAGES[@]}"; }

# The scale suite (bench/scale_suite/), the peer (bench/peer/, its own
# project) and workload 8 (bench_structural_edits, when it is built), merged
# by bench/scale_suite/table.py into one table and bench-results.json.
run_bench() {
  local peers=0 suite_args=() out=build/suite
  for arg in "$@"; do
    case "$arg" in
      --peers) peers=1 ;;
      --full) suite_args+=(--full) ;;
      --all)
        for b in build/bench/bench_*; do [ -x "$b" ] && "$b"; done
        return 0
        ;;
      *) echo "usage: ./quorra.sh bench [--peers] [--full] [--all]" >&2; return 2 ;;
    esac
  done
  rm -rf "$out"
  mkdir -p "$out"
  local table_args=("$out/suite.json")
  if [ $peers -eq 1 ]; then
    install_peer
    cmake -S bench/peer -B build/peer -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
    cmake --build build/peer -j "$JOBS"
    suite_args+=(--keep "$ROOT/$out/samples")
  fi
  echo "== scale suite (the machine's load shows in the figures: run it on a quiet machine)"
  build/bench/scale_suite "${suite_args[@]}" --out "$out/suite.json"
  if [ $peers -eq 1 ]; then
    echo "== peer: Open CASCADE XCAF"
    build/peer/peer_bench "$out/samples" >"$out/peer.json"
    rm -rf "$out/samples"
    table_args+=(--peer "$out/peer.json")
  fi
  if [ -x build/bench/bench_structural_edits ]; then
    echo "== structural edits"
    build/bench/bench_structural_edits --benchmark_repetitions=3 --benchmark_report_aggregates_only=true \
      --benchmark_out="$out/edits.json" --benchmark_out_format=json >"$out/edits.log"
    table_args+=(--edits "$out/edits.json")
  fi
  echo
  python3 bench/scale_suite/table.py "${table_args[@]}" --out bench-results.json
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
    run_python_tests
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
    shift
    run_bench "$@"
    ;;
  *)
    echo "usage: ./quorra.sh demo|test|build|bench [--peers] [--full] [--all]" >&2
    exit 2
    ;;
esac

#!/usr/bin/env bash
# Entry points for newcomers and CI:
#   ./quorra.sh demo   installs what is missing, builds, runs the main job
#   ./quorra.sh test   installs what is missing, builds, runs every test
#                      (unit and end-to-end tests, a sanitizer build of them,
#                      the threaded-load tests under ThreadSanitizer, an
#                      install/find_package check, a fuzz smoke run)
#   ./quorra.sh fuzz [SECONDS]
#                      runs every fuzz target for SECONDS (default 60) at low
#                      priority, one after the other; prints each target's
#                      executions and findings, and keeps running totals in
#                      build-fuzz/fuzz-totals.tsv
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
  python3-olefile libgsf-bin libgsf-1-dev pybind11-dev python3-numpy python3-pytest chromium)

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
  echo "== the Python package from the install (libraries found beside it)"
  local package
  package=$(find "$prefix/lib" -path '*-packages/quorra/__init__.py' | head -1)
  (cd / && PYTHONPATH="$(dirname "$(dirname "$package")")" /usr/bin/python3 -c \
    'import quorra, tempfile; d = tempfile.mkdtemp(); top, n = quorra.write_sample(d, depth=2, fanout=2); assert len(quorra.load(top)) == n; print("imported", quorra.__file__)')
  echo "== add_subdirectory(quorra)"
  cmake -S tests/consumer_subdir -B build/consumer-subdir -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DQUORRA_SOURCE_DIR="$ROOT" >/dev/null
  cmake --build build/consumer-subdir -j "$JOBS" --target consumer >/dev/null
  build/consumer-subdir/consumer
}

# The threaded-load tests (worker thread, IsBusy, concurrent readers, the
# lifecycle registries), the node-memory filler and node lists read from
# several threads under ThreadSanitizer; only their executables are built,
# so the step stays short.
TSAN_TESTS=(test_threaded_load test_lifecycle test_load_e2e test_occurrence_arena test_structural_edits)

run_thread_sanitizer_tests() {
  echo "== threaded-load tests under ThreadSanitizer"
  cmake -S "$ROOT" -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORRA_SANITIZE_THREAD=ON \
    -DQUORRA_BENCH=OFF >/dev/null
  cmake --build build-tsan -j "$JOBS" --target "${TSAN_TESTS[@]}"
  local test
  for test in "${TSAN_TESTS[@]}"; do
    local filter='*'
    [ "$test" = test_load_e2e ] && filter='*Threaded*'
    [ "$test" = test_structural_edits ] && filter='*SeveralThreads*'
    TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" "build-tsan/tests/$test" --gtest_filter="$filter" \
      --gtest_brief=1
  done
}

build_fuzz() {
  configure_and_build build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++-14 \
    -DQUORRA_FUZZ=ON -DQUORRA_TESTS=OFF -DQUORRA_BENCH=OFF -DQUORRA_TOOL=OFF
}

# Runs every target for the given seconds, each on its own working corpus
# (seeded from fuzz/corpus/<name>/, whose files are thus replayed by every
# run); a finding is left in build-fuzz/artifacts/. Prints one line per
# target and adds its executions and seconds to build-fuzz/fuzz-totals.tsv.
run_fuzz_targets() {  # seconds
  local seconds=$1 failed=0 target name corpus log execs
  local totals=$ROOT/build-fuzz/fuzz-totals.tsv
  [ -f "$totals" ] || printf 'target\texecutions\tseconds\n' >"$totals"
  for target in build-fuzz/fuzz/fuzz_*; do
    [ -x "$target" ] || continue
    name=${target##*/fuzz_}
    # Absolute paths: a target may change its working directory.
    corpus=$ROOT/build-fuzz/corpus/$name
    log=$ROOT/build-fuzz/$name.log
    mkdir -p "$corpus" "$ROOT/build-fuzz/artifacts"
    [ -d "fuzz/corpus/$name" ] && cp -r "fuzz/corpus/$name/." "$corpus/"
    if nice -n 10 "$target" -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=30 -print_final_stats=1 \
      -artifact_prefix="$ROOT/build-fuzz/artifacts/$name-" "$corpus" >"$log" 2>&1; then
      execs=$(awk '/stat::number_of_executed_units:/ {print $2}' "$log")
      echo "fuzz $name: ok, ${execs:-?} executions in ${seconds}s, corpus $(ls "$corpus" | wc -l) inputs"
      printf '%s\t%s\t%s\n' "$name" "${execs:-0}" "$seconds" >>"$totals"
    else
      echo "fuzz $name: FINDING (input in build-fuzz/artifacts/$name-*)"; tail -n 40 "$log"; failed=1
    fi
  done
  # Totals over every run kept in the file.
  awk -F'\t' 'NR > 1 {e[$1] += $2; s[$1] += $3} END {for (t in e) printf "  %-16s %12d executions %7d s in all\n", t, e[t], s[t]}' \
    "$totals" | sort
  return $failed
}

run_fuzz_smoke() {
  echo "== fuzz smoke run (${FUZZ_SECONDS}s per target)"
  build_fuzz
  run_fuzz_targets "$FUZZ_SECONDS"
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
    run_thread_sanitizer_tests
    run_fuzz_smoke
    # Reached only when every step passed (the script stops at the first failure).
    echo "test: $(ctest --test-dir build -N | awk '/Total Tests:/ {print $3}') passed, 0 failed"
    ;;
  build)
    install_missing
    build_main
    ;;
  fuzz)
    install_missing
    build_fuzz
    echo "== fuzzing every target for ${2:-60}s"
    run_fuzz_targets "${2:-60}"
    ;;
  bench)
    install_missing
    build_main
    shift
    run_bench "$@"
    ;;
  *)
    echo "usage: ./quorra.sh demo|test|build|fuzz [SECONDS]|bench [--peers] [--full] [--all]" >&2
    exit 2
    ;;
esac

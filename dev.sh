#!/usr/bin/env bash
# Developer entry point.
#   ./dev.sh run    install what is missing, build, and start stackpeek
#   ./dev.sh test   install what is missing, build, and run every test
set -euo pipefail
cd "$(dirname "$0")"

BUILD_PACKAGES=(g++ cmake ninja-build pkg-config libncurses-dev libutf8proc-dev libfmt-dev
                nlohmann-json3-dev libsimdjson-dev)
TEST_PACKAGES=(libgtest-dev python3 python3-pexpect python3-pyte tmux clang libclang-rt-dev clang-tidy
               pdsh python3-torch libunwind8 munge slurmctld slurmd slurm-client sudo
               openmpi-bin python3-mpi4py mpich chromium librsvg2-bin)
RUN_PACKAGES=(python3 python3-venv)

say() { printf 'dev.sh: %s\n' "$*" >&2; }

# Installs the Debian packages that are not installed yet; does nothing when all are.
install_packages() {
  local missing=()
  for pkg in "$@"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' ||
      missing+=("$pkg")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  command -v apt-get >/dev/null || { say "missing packages: ${missing[*]} (install them by hand)"; exit 1; }
  local sudo=()
  [ "$(id -u)" -eq 0 ] || sudo=(sudo)
  say "installing ${missing[*]}"
  "${sudo[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends \
    "${missing[@]}" >/dev/null
}

build() {
  local preset=$1
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
}

# Puts a py-spy next to the built program (where it looks first) unless one is found.
provide_py_spy() {
  local dir=build/release
  [ -x "$dir/py-spy" ] && return 0
  command -v py-spy >/dev/null && return 0
  if python3 -m venv "$dir/py-spy-venv" >/dev/null 2>&1 &&
     "$dir/py-spy-venv/bin/python" -m pip install --disable-pip-version-check -q \
       --retries 0 --timeout 10 py-spy >/dev/null 2>&1; then
    ln -sf "$PWD/$dir/py-spy-venv/bin/py-spy" "$dir/py-spy"
  else
    say "warning: could not install py-spy (no network?); stackpeek starts without it"
  fi
}

run_tests() {
  local preset=$1
  say "tests: $preset"
  build "$preset"
  ctest --preset "$preset" --output-on-failure -j2
}

# The channel and the workers are the only code shared between threads. Under
# ThreadSanitizer a child starts from a copy of the memory (see src/tasks/spawn.cc), so the
# start failures that only shared memory reports are left to the other builds.
run_thread_tests() {
  say "tests: channel and workers under ThreadSanitizer"
  cmake --preset tsan >/dev/null
  cmake --build --preset tsan --target stackpeek_tests
  TSAN_OPTIONS=halt_on_error=1:die_after_fork=0 build/tsan/tests/stackpeek_tests \
    --gtest_filter='ChannelTest.*:CaptureTest.*:CaptureWorkerTest.*:TopWorkerTest.*-*StartFailure*:CaptureTest.BareNameRunsFromTheCurrentFolderNeverFromPath:CaptureTest.LeavesNoDescriptorAndNoZombieBehind'
}

# libFuzzer over the parsers of other programs' output, for a bounded time each.
run_fuzzers() {
  local seconds=${FUZZ_SECONDS:-60}
  say "fuzzing: ${seconds}s per target"
  cmake -S fuzz -B build/fuzz -G Ninja -DCMAKE_CXX_COMPILER=clang++ >/dev/null
  cmake --build build/fuzz
  for target in top_frame_fuzz utf8_fuzz dump_parser_fuzz flame_graph_fuzz stack_merge_fuzz; do
    mkdir -p "build/fuzz/corpus-$target"
    if ! "build/fuzz/$target" -max_total_time="$seconds" "build/fuzz/corpus-$target" \
         >"build/fuzz/$target.log" 2>&1; then
      tail -n 40 "build/fuzz/$target.log"
      say "fuzzer $target found a failure"
      exit 1
    fi
    say "$target: $(grep -E '^Done' "build/fuzz/$target.log")"
  done
}

case "${1:-}" in
  run)
    install_packages "${BUILD_PACKAGES[@]}" "${RUN_PACKAGES[@]}"
    build release
    provide_py_spy
    exec build/release/stackpeek
    ;;
  test)
    install_packages "${BUILD_PACKAGES[@]}" "${TEST_PACKAGES[@]}"
    run_tests release
    run_tests debug
    run_thread_tests
    run_fuzzers
    say "lint: clang-tidy"
    scripts/tidy.sh debug
    ;;
  *)
    echo "usage: ./dev.sh run | ./dev.sh test" >&2
    exit 2
    ;;
esac

#!/usr/bin/env bash
# Sets up a Debian 12 machine, builds, and runs the engine or the tests.
#   tools/dev.sh run        build and start the engine on assets/
#   tools/dev.sh test       build and run the whole test suite
#   tools/dev.sh sanitize   the same suite under AddressSanitizer and UndefinedBehaviorSanitizer
#   tools/dev.sh build      set up and build only
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
jobs=$(nproc 2>/dev/null || echo 2)

install_packages() {
  local missing=()
  while read -r pkg; do
    [[ -z "$pkg" || "$pkg" == \#* ]] && continue
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
  done < tools/debian-packages.txt
  if ((${#missing[@]})); then
    echo "Installing: ${missing[*]}"
    local sudo=""
    [[ $(id -u) -ne 0 ]] && sudo="sudo"
    $sudo env DEBIAN_FRONTEND=noninteractive apt-get update -qq
    $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" </dev/null
  fi
}

build() { # build dir, extra cmake args...
  local dir=$1; shift
  cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
}

# GL tests and the engine need a display; without one, a virtual 1920x1080 screen.
with_display() {
  if [[ -n "${DISPLAY:-}" ]]; then "$@"; else xvfb-run -a -s "-screen 0 1920x1080x24" "$@"; fi
}

# The seed of the one-process run; TEST_SEED=<n> repeats another order.
test_seed=${TEST_SEED:-20240917}

run_tests() { # build dir
  # The unit tests run in one process, in a shuffled order, which shows the tests that depend on what an earlier one
  # left behind; a test that fails there is run again alone, to tell an order dependence from a plain failure.
  # ctest then runs what is not a unit test (the engine end to end, the layer checks); `ctest -L unit` in the build
  # folder gives every unit test a process of its own.
  echo "One process, shuffled: engine_tests --gtest_shuffle --gtest_random_seed=$test_seed"
  local work="$1/tests/work/shuffled" status=0
  mkdir -p "$work"
  (cd "$work" && with_display "$root/$1/tests/engine_tests" --gtest_shuffle --gtest_random_seed="$test_seed" \
    --gtest_brief=1 2>&1 | tee shuffled.log) || status=1
  if ((status)); then
    local name
    for name in $(sed -n 's/^\[  FAILED  \] \([A-Za-z0-9_/.]*\).*/\1/p' "$work/shuffled.log" | sort -u); do
      if (cd "$work" && with_display "$root/$1/tests/engine_tests" --gtest_filter="$name" >/dev/null 2>&1); then
        echo "Alone, $name passes: it depends on the order"
      else
        echo "Alone, $name fails too"
      fi
    done
  fi
  (cd "$1" && with_display ctest --output-on-failure -j "$jobs" --timeout 1500 -LE unit) || status=1
  return $status
}

cmd=${1:-test}
install_packages
case "$cmd" in
  build) build build ;;
  run) build build; shift || true; with_display ./build/engine "$@" ;;
  test) build build; run_tests build ;;
  sanitize)
    export LSAN_OPTIONS="suppressions=$root/tests/lsan.supp:print_suppressions=0"
    # llvmpipe's shader compiles free gigabytes; the default 256 MB quarantine of freed blocks fragments the
    # sanitizer's heap until the engine holds about 6 GB where 16 MB keeps it near 2.4 GB (1.4 GB without ASan).
    export ASAN_OPTIONS="quarantine_size_mb=16${ASAN_OPTIONS:+:$ASAN_OPTIONS}"
    export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
    build build-asan -DENGINE_SANITIZE=ON -DENGINE_BUILD_BENCH=OFF
    run_tests build-asan ;;
  *) echo "usage: tools/dev.sh run|test|sanitize|build" >&2; exit 2 ;;
esac

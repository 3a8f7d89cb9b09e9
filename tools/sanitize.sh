#!/usr/bin/env bash
# Builds the module, the report printer and the host with AddressSanitizer
# and UndefinedBehaviorSanitizer into build-asan/, then runs the native
# module's tests (corpus, fuzzer, threads and hostile trees included) against
# that build. The package's own tests (formats, wheel, browser) load build/
# and start other programs, so they are left to the plain run.
# Any sanitizer finding ends the run with a non-zero status.
#
# The interpreter itself is not instrumented, so the sanitizer runtimes are
# preloaded into it; its leak report is off (CPython keeps memory to the end
# by design), and its object allocator is plain malloc so that ASan sees
# every object. Pytest leaves the file descriptors alone (--capture=sys) so
# that a report written just before an abort reaches the terminal. Extra
# arguments go to pytest.
#
# LINEAGE_FUZZ_COUNT (default 1000 here) sets the fuzzer's count;
# LINEAGE_CORPUS the corpus directory (default: shared/corpus beside the
# checkout).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

say() { printf '%s\n' "$*" >&2; }

"$root/tools/setup.sh"  # .venv and the pinned packages

build=build-asan
cmake=$(command -v cmake 2>/dev/null || printf '%s\n' "$root/.venv/bin/cmake")
if [ ! -f "$build/Makefile" ]; then
    say "sanitize: configuring $build/"
    base_python=$(.venv/bin/python -c 'import sys; print(sys._base_executable)')
    "$cmake" -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLINEAGE_SANITIZE=ON \
          -DPython3_EXECUTABLE="$base_python" >"$build.configure.log" 2>&1 \
        || { cat "$build.configure.log" >&2; exit 1; }
    mv "$build.configure.log" "$build/configure.log"
fi
say "sanitize: building $build/"
if ! "$cmake" --build "$build" -j 2 >"$build/build.log" 2>&1; then
    cat "$build/build.log" >&2
    exit 1
fi

compiler=$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' "$build/CMakeCache.txt")
runtime() {
    local path
    path=$("$compiler" -print-file-name="$1")
    [ -f "$path" ] || { say "sanitize: $1 not found by $compiler"; exit 1; }
    printf '%s\n' "$path"
}
preload="$(runtime libasan.so) $(runtime libubsan.so)"

corpus=${LINEAGE_CORPUS:-$(dirname "$root")/shared/corpus}
[ -d "$corpus" ] || say "sanitize: no corpus at $corpus; its tests are skipped"

mapfile -t module_tests < <(grep -v '^#' tests/module_tests.txt)
say "sanitize: running the module's tests against $build/"
LD_PRELOAD="$preload${LD_PRELOAD:+ $LD_PRELOAD}" \
ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:strict_init_order=1 \
UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
PYTHONMALLOC=malloc \
LINEAGE_BUILD="$root/$build" \
LINEAGE_CORPUS="$corpus" \
LINEAGE_FUZZ_COUNT=${LINEAGE_FUZZ_COUNT:-1000} \
    .venv/bin/python -m pytest -q -p no:cacheprovider --capture=sys "${module_tests[@]}" "$@"

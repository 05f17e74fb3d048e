#!/usr/bin/env bash
# Plants each fault of tests/faults in turn and says whether the checks
# catch it:
#
#   scripts/planted-faults.sh [PATCH...]     (all of tests/faults/*.patch by default)
#
# A patch's first line names the stages that should catch it, cheapest first
# ("# stages: linux windows"), its second says what it does ("# fault: ...").
# Each is applied to a copy of the last commit (build/faults/src), never to
# the checkout, and its stages run there, built as scripts/test.sh builds them:
#   linux    the test build, and its CTest suite without the windows label
#   windows  uipacer.exe and boundary_win32.exe rebuilt, the windows-labelled tests
#   uart     the static amd64 uipacer rebuilt, tests/e2e.py with vm-amd64,
#            vm-usb-ftdi and vm-usb-acm
# FAULT_STAGES="linux uart" runs those stages instead of the patches' own;
# FAULT_SKIP=REGEX leaves out the CTest tests that it matches (ctest -E).
# The copy and its builds stay in build/faults between faults and runs, so
# each fault is an incremental build; logs go to build/faults/logs. The copy
# must pass every stage before any fault is planted; a stage stops at its first
# failing test. A fault is caught when a stage fails (the stages after it are
# not run), or when its build fails on a -Werror diagnostic in a file the
# patch changes ("caught (build)"); a patch that does not apply or build
# otherwise is BROKEN.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
work=$root/build/faults
src=$work/src
jobs=$(nproc)
skip=()
[ -z "${FAULT_SKIP:-}" ] || skip=(-E "$FAULT_SKIP")

(($#)) || set -- tests/faults/*.patch
patches=()
for patch in "$@"; do patches+=("$(realpath "$patch")"); done
stages_of() { echo "${FAULT_STAGES:-$(sed -n '1s/^# stages: //p' "$1")}"; }

mkdir -p "$work/logs"
[ -d "$src/.git" ] || git clone -q "$root" "$src"
git -C "$src" fetch -q "$root" HEAD
commit=$(git -C "$src" rev-parse FETCH_HEAD)
# Only files that differ are written, so the builds stay incremental.
clean() { git -C "$src" reset -q --hard "$commit" && git -C "$src" clean -q -fd; }
trap clean EXIT
trap 'exit 130' INT TERM
clean

{
    cmake -S "$src" -B "$work/windows" -DCMAKE_BUILD_TYPE=Release -DUIPACER_WERROR=ON \
        -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DCMAKE_TOOLCHAIN_FILE="$src/cmake/mingw-w64-x86_64.cmake"
    cmake -S "$src" -B "$work/test" -DCMAKE_BUILD_TYPE=Debug -DUIPACER_WERROR=ON \
        -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DUIPACER_WINDOWS_PROGRAM="$work/windows/uipacer.exe" \
        -DUIPACER_BENCHMARKS=ON
    # Where tests/e2e.py looks for the guests' program when UIPACER_BUILD is $work.
    cmake -S "$src" -B "$work/vm/amd64/program" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
        -DCMAKE_EXE_LINKER_FLAGS=-static
} >"$work/logs/configure.log" 2>&1

build() {
    case $1 in
    linux) cmake --build "$work/test" -j"$jobs" ;;
    windows) cmake --build "$work/windows" -j"$jobs" --target uipacer boundary_win32 ;;
    uart) cmake --build "$work/vm/amd64/program" -j"$jobs" --target uipacer ;;
    *) echo "no stage '$1'" >&2; exit 2 ;;
    esac
}
run() {
    case $1 in
    linux)
        ctest --test-dir "$work/test" --output-on-failure --stop-on-failure -j"$jobs" -LE windows \
            "${skip[@]}"
        ;;
    windows) ctest --test-dir "$work/test" --output-on-failure -L windows "${skip[@]}" ;;
    uart)
        UIPACER_BUILD=$work /usr/bin/python3 -B -m pytest -p no:cacheprovider -v -rfs \
            "$src/tests/e2e.py" -k "vm-amd64 or vm-usb-ftdi or vm-usb-acm"
        ;;
    esac
}
# From a log: the CTest tests that failed, the GoogleTest tests, and the
# end-to-end rows (pytest's "FAILED tests/e2e.py::test_port[...]" lines, or its
# verbose result lines), each once, the first few of them.
failures() {
    {
        sed -n -E 's/^[[:space:]]*[0-9]+ - (.*) \(.*\)$/\1/p' "$1"
        sed -n -E 's/^\[  FAILED  \] ([A-Za-z0-9_]+\.[A-Za-z0-9_]+).*$/\1/p' "$1"
        sed -n -E -e 's/^FAILED [^[]*\[([^]]*)\].*$/\1/p' \
            -e 's/^.*::test_port\[([^]]*)\] FAILED.*$/\1/p' "$1"
    } | awk '!seen[$0]++ { n++; if (n <= 6) print } END { if (n > 6) print "+" n - 6 " more" }' |
        paste -sd ';' - | sed 's/;/; /g'
}

for stage in $(for patch in "${patches[@]}"; do stages_of "$patch"; done | tr ' ' '\n' | sort -u); do
    log=$work/logs/clean-$stage.log
    if ! { build "$stage" && run "$stage"; } >"$log" 2>&1; then
        echo "the clean copy fails the $stage stage: $(failures "$log") (see $log)" >&2
        exit 1
    fi
done

caught=0
for patch in "${patches[@]}"; do
    name=$(basename "$patch" .patch)
    log=$work/logs/$name.log
    verdict=MISSED
    by=
    clean
    if ! git -C "$src" apply "$patch" >"$log" 2>&1; then
        verdict=BROKEN
    fi
    for stage in $(stages_of "$patch"); do
        [ "$verdict" = MISSED ] || break
        if ! build "$stage" >>"$log" 2>&1; then
            files=$(sed -n 's|^+++ b/||p' "$patch" | paste -sd '|' -)
            if grep -q -E "($files):[0-9]+:[0-9]+: error: .*\[-Werror" "$log"; then
                verdict="caught (build)"
            else
                verdict=BROKEN
            fi
        elif ! run "$stage" >>"$log" 2>&1; then
            verdict=caught
            by=" [$stage: $(failures "$log")]"
        fi
    done
    [[ $verdict != caught* ]] || caught=$((caught + 1))
    printf '%-14s %s: %s%s\n' "$verdict" "$name" "$(sed -n '2s/^# fault: //p' "$patch")" "$by"
done
echo "$caught of ${#patches[@]} caught"

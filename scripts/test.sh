#!/usr/bin/env bash
# Builds uipacer and runs its checks, stage by stage; name stages to run
# only those (for example `scripts/test.sh linux`). All of them by default:
#
#   format    the sources are formatted as .clang-format says
#   linux     unit tests over a fake serial layer, the built program against
#             pseudo-terminals, the .deb (g++, warnings as errors; the
#             benchmarks are built too, not run)
#   windows   uipacer.exe, cross-built, against pseudo-terminals under Wine;
#             the .zip
#   sanitize  the unit and program tests again under AddressSanitizer and
#             UndefinedBehaviorSanitizer (clang, warnings as errors)
#   fuzz      the fuzz target from the examples, FUZZ_SECONDS long (120)
#   analyze   clang-tidy and cppcheck, clean
#   uart      a static uipacer in QEMU guests, on Linux's own drivers: the
#             8250 UART's, and USB's ftdi_sio and cdc-acm: octets, all speeds,
#             a stalled line, exclusivity
#   arm       the arm64 and armhf .debs, cross-built, their programs run under
#             user-mode QEMU; each build on Linux's PL011 driver in a QEMU
#             guest; the fallback from termios2 under user-mode QEMU
set -euo pipefail
cd "$(dirname "$0")/.."

stages=("$@")
((${#stages[@]})) || stages=(format linux windows sanitize fuzz analyze uart arm)
wants() {
    local stage
    for stage in "${stages[@]}"; do [ "$stage" = "$1" ] && return 0; done
    return 1
}
bash scripts/install-deps.sh "${stages[@]}"
jobs=$(nproc)
sources() { git ls-files '*.cpp' '*.h'; }
# The end-to-end suite's runners that -k names, on the builds under build/.
e2e() {
    UIPACER_BUILD="$PWD/build" /usr/bin/python3 -B -m pytest -p no:cacheprovider -v -rs \
        tests/e2e.py -k "$1"
}
# A static uipacer, for the guests of an architecture (cross-built with the toolchain named).
build_static() {
    cmake -S . -B "build/vm/$1/program" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
        -DCMAKE_EXE_LINKER_FLAGS=-static ${2:+"-DCMAKE_TOOLCHAIN_FILE=cmake/$2.cmake"}
    cmake --build "build/vm/$1/program" -j"$jobs" --target uipacer
}

configure_windows() {
    cmake -S . -B build/windows -DCMAKE_BUILD_TYPE=Release -DUIPACER_WERROR=ON \
        -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
}
configure_linux() {
    local windows_program=
    if wants windows || wants analyze; then
        windows_program="$PWD/build/windows/uipacer.exe"
    fi
    cmake -S . -B build/test -DCMAKE_BUILD_TYPE=Debug -DUIPACER_WERROR=ON \
        -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DUIPACER_WINDOWS_PROGRAM="$windows_program" \
        -DUIPACER_BENCHMARKS=ON
}
configure_fuzz() {
    cmake -S . -B build/fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
        -DUIPACER_FUZZ=ON -DUIPACER_WERROR=ON -DCMAKE_EXPORT_COMPILE_COMMANDS=ON
}

if wants format; then
    echo "== format"
    sources | xargs clang-format --dry-run --Werror
fi

if wants windows; then
    echo "== windows build"
    configure_windows
    cmake --build build/windows -j"$jobs"
    (cd build/windows && cpack -G ZIP)
    zip="build/windows/uipacer-$(sed -n 's/^project(uipacer VERSION \([0-9.]*\).*/\1/p' \
        CMakeLists.txt)-win64.zip"
    listing=$(unzip -l "$zip")
    for file in uipacer.exe LICENSE.txt README.md examples/position.txt; do
        grep -q "/$file\$" <<<"$listing" || { echo "the .zip holds no $file" >&2; exit 1; }
    done
    # Hardened: the .zip's program has ASLR (high entropy) and DEP, and the
    # build's (with its symbols) the stack protector.
    unzip -o -q -j "$zip" '*/uipacer.exe' -d build/windows/zip
    characteristics=$(x86_64-w64-mingw32-objdump -p build/windows/zip/uipacer.exe)
    for flag in HIGH_ENTROPY_VA DYNAMIC_BASE NX_COMPAT; do
        grep -q -w "$flag" <<<"$characteristics" || { echo "uipacer.exe lacks $flag" >&2; exit 1; }
    done
    # Read whole first: grep -q leaves early, and pipefail would count the
    # writer's broken pipe as a failure.
    symbols=$(x86_64-w64-mingw32-nm build/windows/uipacer.exe)
    grep -q ' T __stack_chk_fail$' <<<"$symbols" ||
        { echo "uipacer.exe has no stack protector" >&2; exit 1; }
fi

if wants linux || wants windows; then
    echo "== linux build and tests"
    configure_linux
    cmake --build build/test -j"$jobs"
    select=()
    wants linux || select=(-L windows)
    wants windows || select=(-LE windows)
    ctest --test-dir build/test --output-on-failure -j"$jobs" "${select[@]}"
fi

if wants sanitize; then
    echo "== sanitizers"
    cmake -S . -B build/sanitize -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER=clang++ \
        -DUIPACER_SANITIZE=ON -DUIPACER_WERROR=ON
    cmake --build build/sanitize -j"$jobs"
    ctest --test-dir build/sanitize --output-on-failure -j"$jobs"
fi

if wants fuzz; then
    echo "== fuzz"
    configure_fuzz
    cmake --build build/fuzz -j"$jobs"
    mkdir -p build/fuzz/corpus
    # New finds go to build/fuzz/corpus; the examples stay as they are.
    build/fuzz/tests/fuzz/frame_fuzzer -max_len=4200 -max_total_time="${FUZZ_SECONDS:-120}" \
        -artifact_prefix=build/fuzz/ -print_final_stats=1 build/fuzz/corpus examples
fi

if wants analyze; then
    echo "== analyze"
    [ -f build/windows/compile_commands.json ] || configure_windows
    [ -f build/test/compile_commands.json ] || configure_linux
    [ -f build/fuzz/compile_commands.json ] || configure_fuzz
    mingw_include=$(echo /usr/lib/gcc/x86_64-w64-mingw32/*-posix/include/c++)
    sources | grep -E '\.cpp$' | grep -v -E '_win32\.cpp$|^tests/fuzz/' |
        xargs -P "$jobs" -n 4 clang-tidy -p build/test --quiet
    sources | grep -E '_win32\.cpp$' |
        xargs clang-tidy -p build/windows --quiet --extra-arg=--target=x86_64-w64-mingw32 \
            --extra-arg=-isystem"$mingw_include" \
            --extra-arg=-isystem"$mingw_include/x86_64-w64-mingw32"
    sources | grep -E '^tests/fuzz/.*\.cpp$' | xargs clang-tidy -p build/fuzz --quiet
    # cppcheck cannot parse the Windows fakes that use the boundary test's state.
    cppcheck --std=c++17 --enable=warning,style,performance,portability --error-exitcode=1 \
        --inline-suppr --quiet --library=googletest --library=posix \
        --suppress=useStlAlgorithm --suppress=unusedStructMember:tests/boundary_win32.cpp \
        -I . app aprs ax25 kiss monitor ports services bench tests
fi

if wants uart; then
    echo "== uart"
    build_static amd64
    e2e "vm-amd64 or vm-usb-ftdi or vm-usb-acm"
fi

if wants arm; then
    echo "== arm"
    for target in arm64:aarch64-linux-gnu:qemu-aarch64-static armhf:arm-linux-gnueabihf:qemu-arm-static; do
        IFS=: read -r architecture triplet emulator <<<"$target"
        cmake -S . -B "build/$architecture" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
            -DUIPACER_WERROR=ON -DCMAKE_TOOLCHAIN_FILE="cmake/$triplet.cmake"
        cmake --build "build/$architecture" -j"$jobs"
        bash tests/package_test.sh "build/$architecture" . "$architecture" "$emulator"
        build_static "$architecture" "$triplet"
    done
    e2e "vm-arm64 or vm-armhf"
fi
echo "== all passed: ${stages[*]}"

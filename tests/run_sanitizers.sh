#!/usr/bin/env bash
# Builds the module and the C++ tests with AddressSanitizer and
# UndefinedBehaviorSanitizer and runs the test suites against that build; the
# C++ thread and batch tests also run under ThreadSanitizer.
# Usage: tests/run_sanitizers.sh [pytest arguments, e.g. -k flat]
set -euo pipefail
cd "$(dirname "$0")/.."
build=build/sanitize
pybind_dir=$(python3 -c "import pybind11; print(pybind11.get_cmake_dir())")
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORV_SANITIZE=ON \
    -DORV_BUILD_TESTS=ON -Dpybind11_DIR="$pybind_dir" >/dev/null
cmake --build "$build" -j 2

export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
echo "== C++ tests (ASan + UBSan)"
ASAN_OPTIONS=detect_leaks=1 ctest --test-dir "$build" --output-on-failure -j 2

echo "== C++ thread tests (TSan)"
cmake -S . -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORV_SANITIZE_THREAD=ON \
    -DORV_BUILD_TESTS=ON -DORV_BUILD_MODULE=OFF >/dev/null
cmake --build build/tsan -j 2
TSAN_OPTIONS=halt_on_error=1 build/tsan/tests/cpp/orv_tests --gtest_filter='Threads.*:Batch.*:*BatchSearch*:ParallelBuild.*:*ParallelBuild*d72_m8_memo' \
    --gtest_brief=1

echo "== Python tests (ASan + UBSan)"
# The interpreter is not instrumented: the runtime is preloaded, and leak
# checking is left to the C++ tests (CPython keeps memory until exit).
export LD_PRELOAD
LD_PRELOAD=$(gcc -print-file-name=libasan.so):$(gcc -print-file-name=libubsan.so)
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1
module_dir=$(pwd)/$build
# The velmora package with the batch module of this build beside its sources.
rm -rf "$build/pkg" && mkdir -p "$build/pkg"
cp -r velmora "$build/pkg/"
cp "$build"/_native*.so "$build/pkg/velmora/"
# The Ray tests start Ray's own binaries, which would inherit the preloaded runtime; the shard
# code they drive runs in-process in test_collection.py.
cd tests && PYTHONPATH="$module_dir:$module_dir/pkg" python3 -m pytest -q -p no:cacheprovider \
    --ignore=test_ray_collection.py "$@" .

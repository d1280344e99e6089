#!/usr/bin/env bash
# Installs what the tests need, builds the package and runs every test:
# the pytest suite and the C++ tests.
set -euo pipefail
cd "$(dirname "$0")"

need_apt=()
[ -f /usr/include/gtest/gtest.h ] || need_apt+=(libgtest-dev)
[ -f /usr/share/wordnet/data.noun ] || need_apt+=(wordnet-base)
[ -f /usr/share/datasets/fashion-mnist/train-images-idx3-ubyte.gz ] || need_apt+=(dataset-fashion-mnist)
command -v ninja >/dev/null || need_apt+=(ninja-build)
if [ ${#need_apt[@]} -gt 0 ]; then
    SUDO=""; [ "$(id -u)" -eq 0 ] || SUDO=sudo
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${need_apt[@]}" >/dev/null
fi

python3 -m pip install -q --disable-pip-version-check ".[test,ray]"

echo "== C++ tests"
cmake -S . -B build/cpp -G Ninja -DCMAKE_BUILD_TYPE=Release -DORV_BUILD_TESTS=ON \
    -DORV_BUILD_MODULE=OFF >/dev/null
cmake --build build/cpp -j 2
ctest --test-dir build/cpp --output-on-failure -j 2

echo "== Python tests"
# Run from tests/ so that the installed package, not the source tree, is imported.
cd tests && python3 -m pytest -q -p no:cacheprovider "$@" .

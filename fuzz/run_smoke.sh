#!/usr/bin/env bash
# Fuzz smoke test of the index-file loader (HyperbolicIndex::load_index).
#
# Builds fuzz_load: libFuzzer with ASan and UBSan, the core sources under index/ graph/
# search/ persist/ compiled straight in (clang-14 and libclang-rt-14-dev are installed from
# Debian when missing). Replays every file in seeds/ and regressions/ in full, then fuzzes
# for FUZZ_SECONDS (default 60) from those files. Exits non-zero on a crash, a sanitizer
# report, a hang (10 s) or running past 2 GiB; the input is then in $FUZZ_OUT/artifacts.
#
# Each input is loaded into a one-node index of every metric. A refused file must raise
# std::runtime_error and change nothing; a loaded one must save back byte for byte, and
# survive get_stats, the three searches (same ids with the AVX2 and the generic kernels),
# add_item_and_link, a save/load round trip of the grown index and a reload over it.
#
#   fuzz/run_smoke.sh                            # build, replay, 60 s of fuzzing
#   FUZZ_SECONDS=600 fuzz/run_smoke.sh           # a longer run
#   build/fuzz/build/fuzz_load FILE              # replay one input
#
# seeds/: ok_* files load, bad_* files are refused (rewritten by make_seeds.py, which needs
# orv_core and velmora importable). regressions/: inputs that once failed the harness; keep
# every new artifact there.
# tests/test_fuzz_regressions.py loads all of them through the Python module.
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
# The build lives in the checkout, so two clones never share a CMake cache.
out="${FUZZ_OUT:-$(dirname "$here")/build/fuzz}"
seconds="${FUZZ_SECONDS:-60}"
cxx=clang++-14

have_toolchain() {
    command -v "$cxx" >/dev/null &&
        compgen -G "/usr/lib/llvm-14/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a" >/dev/null
}

if ! have_toolchain; then
    SUDO=""
    [ "$(id -u)" -eq 0 ] || SUDO=sudo
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq clang-14 libclang-rt-14-dev \
        >/dev/null
fi

generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
cmake -S "$here" -B "$out/build" "${generator[@]}" -DCMAKE_CXX_COMPILER="$cxx" >/dev/null
cmake --build "$out/build" -j 2 >"$out/build.log" 2>&1 || {
    tail -n 40 "$out/build.log"
    exit 1
}
fuzzer="$out/build/fuzz_load"

mkdir -p "$out/corpus" "$out/artifacts"
cd "$out"
mapfile -t inputs < <(find "$here/seeds" "$here/regressions" -type f ! -name '.*' | sort)
echo "fuzz smoke: replaying ${#inputs[@]} seed and regression files"
if ! "$fuzzer" -rss_limit_mb=2048 -timeout=10 "${inputs[@]}" >replay.log 2>&1; then
    tail -n 60 replay.log
    echo "fuzz smoke: FAILED on a seed or regression file (log: $out/replay.log)"
    exit 1
fi

echo "fuzz smoke: fuzzing for ${seconds} s"
if ! "$fuzzer" -max_total_time="$seconds" -max_len=4096 -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$out/artifacts/" \
    "$out/corpus" "$here/seeds" "$here/regressions" >fuzz.log 2>&1; then
    tail -n 60 fuzz.log
    echo "fuzz smoke: FAILED, inputs kept in $out/artifacts/ (log: $out/fuzz.log)"
    exit 1
fi
grep -E '^#[0-9]+[[:space:]]+DONE' fuzz.log || true
echo "fuzz smoke: no findings"

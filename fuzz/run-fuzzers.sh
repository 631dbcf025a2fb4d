#!/usr/bin/env bash
# Builds the fuzz targets with clang, libFuzzer and the address and undefined-behaviour checkers
# (in build-fuzz/, apart from the ordinary build) and runs each one after the other for a
# bounded time, starting from the corpus kept in fuzz/corpus/<target>/. Afterwards the inputs
# that reached code the corpus did not reach are merged into fuzz/corpus/<target>/ (review and
# commit them). A fault stops that target's run and leaves the input that shows it in
# build-fuzz/artifacts/<target>/; the script goes on with the next target and fails at the end.
#
# Usage: fuzz/run-fuzzers.sh [SECONDS-PER-TARGET [TARGET...]]   (default 600 s; all targets:
#        aviclip hive decompress). FUZZ_JOBS=N runs N processes per target (default 1).
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-600}
[ $# -gt 0 ] && shift
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(aviclip hive decompress)
jobs=${FUZZ_JOBS:-1}

# libFuzzer and the sanitizer run-times come with clang's compiler-rt package.
missing=()
for p in clang libclang-rt-14-dev; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  $sudo apt-get update
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
fi

flags="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"
cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARVOS_FUZZ=ON \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined"
cmake --build build-fuzz -j2 --target "${targets[@]/#/fuzz_}"

# Temporary files of the targets go to memory when it can be had: the decompression target
# writes and syncs a file for every input.
scratch=/dev/shm
[ -d "$scratch" ] && [ -w "$scratch" ] || scratch=${TMPDIR:-/tmp}

failed=()
for t in "${targets[@]}"; do
  exe=build-fuzz/fuzz/fuzz_$t
  found=build-fuzz/found/$t
  artifacts=build-fuzz/artifacts/$t
  mkdir -p "$found" "$artifacts" build-fuzz/logs fuzz/corpus/"$t"
  options=(-max_total_time="$seconds" -timeout=20 -rss_limit_mb=1024 -malloc_limit_mb=512
           -dict=fuzz/"$t".dict -artifact_prefix="$artifacts"/ -print_final_stats=1)
  [ "$jobs" -gt 1 ] && options+=(-jobs="$jobs" -workers="$jobs")
  echo "== $t: fuzzing for $seconds s"
  if ! TMPDIR=$scratch "$exe" "${options[@]}" "$found" fuzz/corpus/"$t" >build-fuzz/logs/"$t".log 2>&1; then
    failed+=("$t")
    echo "== $t: FAULT FOUND, see build-fuzz/logs/$t.log and $artifacts/"
  fi
  grep -E "^#[0-9]+.*(DONE|pulse)|stat::number_of_executed_units|stat::peak_rss_mb" build-fuzz/logs/"$t".log | tail -3
  # Keep only the new inputs that reach code the saved corpus does not.
  TMPDIR=$scratch "$exe" -merge=1 -timeout=20 -rss_limit_mb=1024 -malloc_limit_mb=512 \
    fuzz/corpus/"$t" "$found" >build-fuzz/logs/"$t"-merge.log 2>&1 || true
  echo "== $t: corpus now $(ls fuzz/corpus/"$t" | wc -l) files, $(du -sk fuzz/corpus/"$t" | cut -f1) KB"
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "Faults found in: ${failed[*]}"
  exit 1
fi
echo "No fault found."

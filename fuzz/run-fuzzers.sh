#!/usr/bin/env bash
# Builds the fuzz targets with clang, libFuzzer and the address and undefined-behaviour checkers
# (in build-fuzz/, apart from the ordinary build) and runs each one after the other for a
# bounded time, starting from the corpus kept in fuzz/corpus/<target>/. Afterwards the new
# inputs that reach code the corpus did not are merged into fuzz/corpus/<target>/ (review and
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
tools/install-packages.sh clang libclang-rt-14-dev

flags="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"
cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARVOS_FUZZ=ON \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined"
cmake --build build-fuzz -j2 --target "${targets[@]/#/fuzz_}"

# Temporary files of the targets go to memory when it can be had: the decompression target
# writes and syncs a file for every input.
scratch=/dev/shm
[ -d "$scratch" ] && [ -w "$scratch" ] || scratch=${TMPDIR:-/tmp}

# Longest input per target: room for a small clip or backup, and for the many or long lines of
# a hive that make a slow parser show itself. Short inputs run fast and keep the corpus small.
declare -A max_len=([aviclip]=4096 [hive]=16384 [decompress]=4096)
limits=(-timeout=20 -rss_limit_mb=2048 -malloc_limit_mb=512)
# Over a long run the address checker's own memory grows (freed memory it keeps aside to catch
# late uses, and its caches): the hive target reaches 1.6 GB in 12 minutes, while the same inputs
# replayed without the checker stay at 12 MB. Hence 2 GB, and a quarantine smaller than its
# default 256 MB, which still catches a use soon after the free.
export ASAN_OPTIONS=${ASAN_OPTIONS:-quarantine_size_mb=64}

failed=()
for t in "${targets[@]}"; do
  exe=build-fuzz/fuzz/fuzz_$t
  corpus=fuzz/corpus/$t
  found=build-fuzz/found/$t
  artifacts=build-fuzz/artifacts/$t
  mkdir -p "$found" "$artifacts" build-fuzz/logs "$corpus"
  options=(-max_total_time="$seconds" "${limits[@]}" -max_len="${max_len[$t]:-4096}"
           -dict=fuzz/"$t".dict -artifact_prefix="$artifacts"/ -print_final_stats=1)
  [ "$jobs" -gt 1 ] && options+=(-jobs="$jobs" -workers="$jobs")
  echo "== $t: fuzzing for $seconds s"
  if ! TMPDIR=$scratch "$exe" "${options[@]}" "$found" "$corpus" >build-fuzz/logs/"$t".log 2>&1; then
    failed+=("$t")
    echo "== $t: FAULT FOUND, see build-fuzz/logs/$t.log and $artifacts/"
  fi
  grep -E "^#[0-9]+.*(DONE|pulse)|stat::number_of_executed_units|stat::peak_rss_mb" build-fuzz/logs/"$t".log | tail -3

  # The corpus: the named inputs (seeds and regression inputs) always stay; libFuzzer's own
  # (named by their SHA-1) are chosen afresh as the fewest that reach every branch the named
  # ones do not. Branches count once however often they run, which keeps the corpus small.
  merged=build-fuzz/merged/$t
  rm -rf "$merged"
  mkdir -p "$merged"
  find "$corpus" -maxdepth 1 -regextype posix-extended -type f ! -regex '.*/[0-9a-f]{40}' -exec cp {} "$merged"/ \;
  if TMPDIR=$scratch "$exe" -merge=1 -use_counters=0 "${limits[@]}" "$merged" "$corpus" "$found" \
       >build-fuzz/logs/"$t"-merge.log 2>&1; then
    find "$corpus" -maxdepth 1 -regextype posix-extended -type f -regex '.*/[0-9a-f]{40}' -delete
    find "$merged" -maxdepth 1 -regextype posix-extended -type f -regex '.*/[0-9a-f]{40}' -exec cp {} "$corpus"/ \;
  else
    echo "== $t: merging failed, corpus left as it was (build-fuzz/logs/$t-merge.log)"
  fi
  echo "== $t: corpus now $(ls "$corpus" | wc -l) files, $(du -sk "$corpus" | cut -f1) KB"
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "Faults found in: ${failed[*]}"
  exit 1
fi
echo "No fault found."

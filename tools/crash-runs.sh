#!/usr/bin/env bash
# The long crash run and the fault tests: builds the two test programs, then kills backup,
# restore and compaction KILLS times per case (default 50) at moments spread over each run, and
# runs the fault injection through the window. Prints how many kills landed in each phase.
#
# Usage: tools/crash-runs.sh [KILLS [DATABASE_MIB [SEED]]]
#   e.g. tools/crash-runs.sh 200 24
# Environment: BUILD_DIR (default build). Root runs every case; otherwise the cases that need a
# small or read-only file system of their own are skipped (or run with a file-size limit).
set -euo pipefail
cd "$(dirname "$0")/.."

kills=${1:-50}
mib=${2:-8}
seed=${3:-20260105}
build=${BUILD_DIR:-build}

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2 --target tst_crash tst_faults >/dev/null

export QT_QPA_PLATFORM=offscreen QT_QPA_FONTDIR=/usr/share/fonts/truetype/dejavu
status=0
echo "== crash: $kills kills per case, databases of $mib MiB, seed $seed"
TARVOS_CRASH_KILLS=$kills TARVOS_CRASH_MB=$mib TARVOS_CRASH_SEED=$seed \
    "$build/tests/tst_crash" 2>&1 | grep -v '^PASS   :' || status=1
echo "== faults"
(cd "$build/tests/tst_faults" && ./tst_faults -silent) || status=1
exit $status

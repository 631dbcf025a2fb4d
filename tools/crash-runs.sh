#!/usr/bin/env bash
# The long crash run and the fault tests: builds the two test programs, then kills backup,
# restore and compaction KILLS times per case (default 50) at moments spread over each run, and
# asks them to end (SIGTERM) as many times at the same moments; cuts
# the power (tools/lossyfs) at every sync point of each run, after it, and at CUTS random moments
# (default 100), losing unsynced writes and tearing them; fails the calls each operation makes to
# the file system, one at a time, with EIO and with ENOSPC (libfiu): every call of each kind, or
# CALLS of them spread over the run where there are more (default 100; 0 for all); and runs the
# fault rows of the window's tables (full disk, read-only folder, folder removed meanwhile). Prints where the kills and cuts fell and how the failed calls ended.
#
# Usage: tools/crash-runs.sh [KILLS [DATABASE_MIB [SEED [CUTS [CALLS]]]]]
#   e.g. tools/crash-runs.sh 200 24
# Environment: BUILD_DIR (default build), TESTS (the test functions of tst_crash to run, default
# all of them; e.g. TESTS="powerCut failedCall"). Root runs every case; otherwise the cases that need a
# small or read-only file system of their own, or FUSE, are skipped (or run with a file-size limit).
set -euo pipefail
cd "$(dirname "$0")/.."

kills=${1:-50}
mib=${2:-8}
seed=${3:-20260105}
cuts=${4:-100}
calls=${5:-100}
build=${BUILD_DIR:-build}

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2 --target tst_crash tst_start >/dev/null

export QT_QPA_PLATFORM=offscreen QT_QPA_FONTDIR=/usr/share/fonts/truetype/dejavu
# A case of the long form runs longer than the 5 minutes QtTest gives a test function.
export QTEST_FUNCTION_TIMEOUT=14400000
status=0
echo "== crash: $kills kills per case, databases of $mib MiB, seed $seed;" \
     "power cuts at every sync point and $cuts random moments; up to $calls calls of each kind failed"
TARVOS_CRASH_KILLS=$kills TARVOS_CRASH_MB=$mib TARVOS_CRASH_SEED=$seed \
TARVOS_POWERCUTS=0 TARVOS_POWERCUT_MOMENTS=$cuts TARVOS_FAILED_CALLS=$calls \
    "$build/tests/tst_crash" ${TESTS:-} 2>&1 | grep -v '^PASS   :' || status=1
echo "== faults"
(cd "$build/tests/tst_start" && ./tst_start -silent backup restore compact) || status=1
exit $status

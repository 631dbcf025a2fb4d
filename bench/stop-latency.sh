#!/usr/bin/env bash
# How soon each operation stops when the program is asked to end (SIGTERM, as a logout, a
# shutdown or `systemctl stop` asks), at moments spread over its run, on a generated back end:
# tarvos-maintenance backup, restore and compact (the window's own operations), the database
# private (0600, replaced by a rename) and shared (0640, written in place through SQLite).
#
#   bench/stop-latency.sh [--size MiB] [--moments N] [--dir FOLDER] [--keep]
#
# For each operation one undisturbed run gives its length; then N runs (default 9) are each asked
# to end at k/(N+1) of that length, and the time from the signal to the program's end is taken.
# A run that says it stopped must leave the database byte for byte as it was. Prints, per
# operation, the slowest stop and how the runs ended.
set -euo pipefail
cd "$(dirname "$0")/.."

size=1024
moments=9
work=build/bench-stop
keep=0
while [ $# -gt 0 ]; do
    case "$1" in
    --size) size=$2; shift 2 ;;
    --moments) moments=$2; shift 2 ;;
    --dir) work=$2; shift 2 ;;
    --keep) keep=1; shift ;;
    *) echo "usage: $0 [--size MiB] [--moments N] [--dir FOLDER] [--keep]" >&2; exit 2 ;;
    esac
done

tools/install-packages.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target mkbackend tarvos-maintenance >/dev/null
maintenance=$(pwd)/build/bin/tarvos-maintenance
mkdir -p "$work"
work=$(cd "$work" && pwd)
base=$work/base
if [ ! -f "$base/BACK.MDB" ]; then
    mkdir -p "$base"
    build/tools/mkbackend --users 100000 --size-mb "$size" --free-percent 20 "$base/BACK.MDB" >/dev/null
    "$maintenance" backup "$base/BACK.MDB" "$base" >/dev/null
    mv "$base"/BACK[0-9]*.TVB "$base/IN.TVB"
fi

now_ms() { echo $(($(date +%s%N) / 1000000)); }

# Makes run/ afresh: the database with the given mode, the backup to restore, an empty out/.
fresh() {
    rm -rf "$work/run"
    mkdir -p "$work/run/out"
    cp "$base/BACK.MDB" "$base/IN.TVB" "$work/run/"
    chmod "$1" "$work/run/BACK.MDB"
    sync
}

command_of() {
    case $1 in
    backup) echo "backup $work/run/BACK.MDB $work/run/out" ;;
    restore) echo "restore $work/run/IN.TVB $work/run/BACK.MDB" ;;
    compact) echo "compact $work/run/BACK.MDB" ;;
    esac
}

printf '%-26s %10s %14s  %s\n' operation "run (ms)" "slowest stop" "runs"
for operation in backup restore compact; do
    for mode in 0600 0640; do
        [ "$operation" = backup ] && [ "$mode" = 0640 ] && continue
        label="$operation $( [ "$mode" = 0600 ] && echo private || echo shared)"
        fresh "$mode"
        start=$(now_ms)
        # shellcheck disable=SC2046
        "$maintenance" $(command_of "$operation") >/dev/null
        length=$(($(now_ms) - start))
        slowest=0 stopped=0 finished=0 wrong=0
        for k in $(seq 1 "$moments"); do
            fresh "$mode"
            # shellcheck disable=SC2046
            "$maintenance" $(command_of "$operation") >/dev/null 2>"$work/err" &
            pid=$!
            sleep "$(awk -v l="$length" -v k="$k" -v n="$moments" 'BEGIN { printf "%.3f", l * k / (n + 1) / 1000 }')"
            asked=$(now_ms)
            kill -TERM "$pid" 2>/dev/null || true
            status=0
            wait "$pid" || status=$?
            took=$(($(now_ms) - asked))
            if [ "$status" = 0 ]; then
                finished=$((finished + 1))
            else
                stopped=$((stopped + 1))
                [ "$took" -gt "$slowest" ] && slowest=$took
                # A write in place that stopped leaves SQLite's journal, which the next open rolls back.
                [ ! -e "$work/run/BACK.MDB-journal" ] || sqlite3 "$work/run/BACK.MDB" 'SELECT 1 FROM sqlite_master;' >/dev/null
                cmp -s "$base/BACK.MDB" "$work/run/BACK.MDB" || wrong=$((wrong + 1))
            fi
        done
        printf '%-26s %10s %11s ms  %s stopped, %s finished first%s\n' "$label" "$length" "$slowest" \
            "$stopped" "$finished" "$( [ "$wrong" = 0 ] || echo ", $wrong CHANGED THE DATABASE")"
    done
done
rm -rf "$work/run"
[ "$keep" = 1 ] || rm -rf "$work"

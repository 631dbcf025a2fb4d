#!/usr/bin/env bash
# Measures the program's operations against the reference tools on generated back ends, in one
# run: backup, restore and compaction through the operations layer (build/bench/opbench), the
# login check on a User table of many rows, the time from start to the login dialog, and the
# peak memory of each.
#
#   bench/full-bench.sh [--sizes "100 1024"] [--runs R] [--users N] [--free-percent P]
#                       [--max-load L] [--load-wait S] [--keep] [--dir FOLDER]
#
# For each size (MiB) a back end is made with build/tools/mkbackend (N users, P% of the pages
# free), then every command runs R times, interleaved with the others, and the fastest run
# counts. The page cache is warm and `sync` runs before each timing so that one command's
# writeback does not slow the next. Our operations sync what they write before it replaces
# anything; the reference tools do not, so the "+ sync" rows give them the same guarantee.
# MB/s are of the database's size (1 MB = 10^6 bytes); peak memory is the largest resident size
# over the runs (`/usr/bin/time -f %M`).
#
# Before measuring it waits (up to S seconds, default 1800) until the 1-minute load average is at
# most L (default 0.5), and prints the load at the start and the end. The generated files go
# under FOLDER (default build/bench-full) and are deleted at the end unless --keep is given; with
# --keep a later run reuses back ends made with the same options.
set -euo pipefail
cd "$(dirname "$0")/.."

sizes="100 1024"
runs=3
users=100000
free_percent=20
max_load=0.5
load_wait=1800
keep=0
work=build/bench-full
while [ $# -gt 0 ]; do
    case "$1" in
    --sizes) sizes=$2; shift 2 ;;
    --runs) runs=$2; shift 2 ;;
    --users) users=$2; shift 2 ;;
    --free-percent) free_percent=$2; shift 2 ;;
    --max-load) max_load=$2; shift 2 ;;
    --load-wait) load_wait=$2; shift 2 ;;
    --keep) keep=1; shift ;;
    --dir) work=$2; shift 2 ;;
    *)
        echo "usage: $0 [--sizes \"MiB ...\"] [--runs R] [--users N] [--free-percent P] [--max-load L]" \
            "[--load-wait S] [--keep] [--dir FOLDER]" >&2
        exit 2
        ;;
    esac
done

# --- tools ---------------------------------------------------------------------------------------
tools/install-packages.sh time xvfb libx11-dev
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target opbench mkbackend tarvos-utility tarvos-maintenance mapwatch >/dev/null
opbench=$(pwd)/build/bench/opbench
mapwatch=$(pwd)/build/bench/mapwatch
program=$(pwd)/build/bin/tarvos-utility
maintenance=$(pwd)/build/bin/tarvos-maintenance

mkdir -p "$work"
work=$(cd "$work" && pwd)
xvfb_pid=""
cleanup() {
    [ -z "$xvfb_pid" ] || kill "$xvfb_pid" 2>/dev/null || true
    rm -rf "$work/run"
    [ "$keep" -eq 1 ] || rm -rf "$work"
}
trap cleanup EXIT
rm -rf "$work/run"
mkdir -p "$work/run"
run=$work/run

# --- load ----------------------------------------------------------------------------------------
load1() { cut -d' ' -f1 /proc/loadavg; }
waited=0
while awk -v l="$(load1)" -v m="$max_load" 'BEGIN { exit !(l > m) }' && [ "$waited" -lt "$load_wait" ]; do
    [ "$waited" -gt 0 ] || echo "waiting for the load ($(load1)) to drop to $max_load ..." >&2
    sleep 15
    waited=$((waited + 15))
done
load_start=$(cut -d' ' -f1-3 /proc/loadavg)

# --- back ends -----------------------------------------------------------------------------------
# make_backend MIB: $work/MIB/BACK.MDB, reused when made with the same options.
make_backend() {
    local mib=$1 dir=$work/$1
    local options="--users $users --size-mb $mib --free-percent $free_percent"
    if [ -f "$dir/BACK.MDB" ] && [ "$(cat "$dir/options" 2>/dev/null)" = "$options" ]; then
        return
    fi
    rm -rf "$dir"
    mkdir -p "$dir"
    # shellcheck disable=SC2086 # the options are words
    build/tools/mkbackend $options "$dir/BACK.MDB"
    echo "$options" >"$dir/options"
}

# --- timing --------------------------------------------------------------------------------------
declare -A best_time peak_kb
# measure KEY COMMAND...: runs it once after a sync, keeps the fastest time and the largest peak.
measure() {
    local key=$1
    shift
    sync
    if ! /usr/bin/time -o "$run/time.txt" -f "%e %M" "$@" >"$run/out.txt" 2>"$run/err.txt"; then
        echo "failed: $*" >&2
        cat "$run/err.txt" >&2
        exit 1
    fi
    local t kb
    read -r t kb <"$run/time.txt"
    if [ -z "${best_time[$key]:-}" ] || awk -v a="$t" -v b="${best_time[$key]}" 'BEGIN { exit !(a < b) }'; then
        best_time[$key]=$t
    fi
    if [ -z "${peak_kb[$key]:-}" ] || [ "$kb" -gt "${peak_kb[$key]}" ]; then
        peak_kb[$key]=$kb
    fi
}

# keep_min KEY VALUE: the smallest value seen under key.
declare -A best_value
keep_min() {
    if [ -z "${best_value[$1]:-}" ] || awk -v a="$2" -v b="${best_value[$1]}" 'BEGIN { exit !(a < b) }'; then
        best_value[$1]=$2
    fi
}

# --- one size: backup, restore, compaction, login --------------------------------------------------
bench_size() {
    local mib=$1
    local db=$work/$mib/BACK.MDB d=$run/$mib
    mkdir -p "$d/compact" "$d/reference"
    cat "$db" >/dev/null # warm the page cache
    # The backups every restore reads, and the files the restores write over (a restore replaces
    # an existing database, so the references write over an existing file too).
    "$opbench" backup "$db" "$d/restore.tvb" >/dev/null
    zstd -q -f -3 -T0 "$db" -o "$d/restore.zst"
    gzip -6 -c "$db" >"$d/restore.gz"
    for f in ours ours-shared ours-into zstd zstd-sync gunzip cp cp-sync both-sync sqlite-restore; do
        cp "$db" "$d/target-$f.MDB"
    done
    # A private back end (only its owner may reach it) is replaced by a rename; a shared one (its
    # group may read and write it) is written in place through SQLite.
    chmod 600 "$d/target-ours.MDB"
    chmod 660 "$d/target-ours-shared.MDB"
    local year
    year=$(date +%y)

    for ((r = 1; r <= runs; r++)); do
        rm -f "$d"/backup.*
        measure "$mib|ours backup" "$opbench" backup "$db" "$d/backup.tvb"
        measure "$mib|zstd -3 -T0" zstd -q -f -3 -T0 "$db" -o "$d/backup.zst"
        rm -f "$d/backup.zst"
        measure "$mib|zstd -3 -T0 + sync" sh -c 'zstd -q -f -3 -T0 "$1" -o "$2" && sync "$2"' sh "$db" "$d/backup.zst"
        measure "$mib|gzip -6" sh -c 'gzip -6 -c "$1" >"$2"' sh "$db" "$d/backup.gz"
        measure "$mib|cp" cp "$db" "$d/backup.copy"
        rm -f "$d/backup.copy"
        measure "$mib|cp + sync" sh -c 'cp "$1" "$2" && sync "$2"' sh "$db" "$d/backup.copy"
        cmp -s <(zstd -q -d -c "$d/backup.tvb") "$db" || { echo "our backup does not restore the database" >&2; exit 1; }
        # The maintenance command's backup: written, synced, then read whole and checked.
        rm -rf "$d/maintenance" "$d/check.zst"
        mkdir -p "$d/maintenance"
        measure "$mib|ours maintenance backup + check" "$maintenance" backup "$db" "$d/maintenance"
        measure "$mib|zstd -3 -T0 + zstd -t + sync" sh -c 'zstd -q -f -3 -T0 "$1" -o "$2" && zstd -q -t "$2" && sync "$2"' \
            sh "$db" "$d/check.zst"
        cmp -s <(zstd -q -d -c "$d"/maintenance/BACK*.TVB) "$db" ||
            { echo "the maintenance backup does not restore the database" >&2; exit 1; }

        rm -f "$d/target-ours$year.BAK" "$d/target-ours-shared$year.BAK"
        measure "$mib|ours restore" "$opbench" restore "$d/restore.tvb" "$d/target-ours.MDB"
        measure "$mib|ours restore, shared" "$opbench" restore "$d/restore.tvb" "$d/target-ours-shared.MDB"
        measure "$mib|safety cp + sqlite3 .restore" sh -c 'cp "$2" "$3" && sqlite3 "$2" ".restore '"'"'$1'"'"'" && sync "$3"' \
            sh "$db" "$d/target-sqlite-restore.MDB" "$d/safety-sqlite.BAK"
        measure "$mib|ours restore without the safety copy" "$opbench" restore-into "$d/restore.tvb" "$d/target-ours-into.MDB"
        measure "$mib|zstd -d" zstd -q -f -d "$d/restore.zst" -o "$d/target-zstd.MDB"
        measure "$mib|zstd -d + sync" sh -c 'zstd -q -f -d "$1" -o "$2" && sync "$2"' sh "$d/restore.zst" "$d/target-zstd-sync.MDB"
        measure "$mib|safety cp + zstd -d + sync" sh -c 'cp "$2" "$3" && zstd -q -f -d "$1" -o "$2" && sync "$2" "$3"' \
            sh "$d/restore.zst" "$d/target-both-sync.MDB" "$d/safety-ref.BAK"
        measure "$mib|gunzip" sh -c 'gunzip -c "$1" >"$2"' sh "$d/restore.gz" "$d/target-gunzip.MDB"
        measure "$mib|cp (restore)" cp "$db" "$d/target-cp.MDB"
        measure "$mib|cp + sync (restore)" sh -c 'cp "$1" "$2" && sync "$2"' sh "$db" "$d/target-cp-sync.MDB"
        cmp -s "$d/target-ours.MDB" "$db" || { echo "our restore differs from the database" >&2; exit 1; }
        cmp -s "$d/target-ours$year.BAK" "$db" || { echo "our safety copy differs from the database" >&2; exit 1; }
        [ "$(sqlite3 "$d/target-ours-shared.MDB" 'PRAGMA integrity_check')" = ok ] ||
            { echo "our restore in place is damaged" >&2; exit 1; }

        # Each compaction starts from a fresh copy of the back end with its free pages.
        mkdir -p "$d/compact-shared"
        cp "$db" "$d/compact/BACK.MDB"
        cp "$db" "$d/compact-shared/BACK.MDB"
        cp "$db" "$d/reference/BACK.MDB"
        chmod 600 "$d/compact/BACK.MDB"
        chmod 660 "$d/compact-shared/BACK.MDB"
        rm -f "$d/compact/BACKNEW.MDB" "$d/compact-shared/BACKNEW.MDB" "$d/reference/BACKNEW.MDB" "$d/vacuum.MDB"
        measure "$mib|ours compaction" "$opbench" compact "$d/compact/BACK.MDB" "$d/compact/BACKNEW.MDB"
        measure "$mib|ours compaction, shared" "$opbench" compact "$d/compact-shared/BACK.MDB" "$d/compact-shared/BACKNEW.MDB"
        measure "$mib|sqlite3 VACUUM" sqlite3 "$d/reference/BACK.MDB" "VACUUM"
        cp "$db" "$d/reference/BACK.MDB"
        measure "$mib|VACUUM INTO" sqlite3 "$db" "VACUUM INTO '$d/vacuum.MDB'"
        measure "$mib|VACUUM INTO + cp" sh -c 'sqlite3 "$1" "VACUUM INTO '"'"'$2'"'"'" && cp "$2" "$1"' \
            sh "$d/reference/BACK.MDB" "$d/reference/BACKNEW.MDB"
        rm -f "$d/reference/BACKNEW.MDB"
        cp "$db" "$d/reference/BACK.MDB"
        measure "$mib|VACUUM INTO + sync + mv" \
            sh -c 'sqlite3 "$1" "VACUUM INTO '"'"'$2'"'"'" && sync "$2" && mv "$2" "$1" && sync "$(dirname "$1")"' \
            sh "$d/reference/BACK.MDB" "$d/reference/BACKNEW.MDB"
        measure "$mib|cp (compaction)" cp "$db" "$d/copy.MDB"
        [ "$(stat -c %s "$d/compact/BACK.MDB")" -lt "$(stat -c %s "$db")" ] || {
            echo "our compaction did not shrink the database" >&2
            exit 1
        }
        rm -f "$d/copy.MDB" "$d/vacuum.MDB"

        # The login check, in a fresh process as at the first click on OK: a user near the end of
        # the table, and a name that is not there.
        local last
        last=$(printf 'USER%06d' "$users")
        measure "$mib|login found" "$opbench" login "$db" "${last,,}" "pw${last#USER}" 20
        read -r first again found <"$run/out.txt"
        [ "$found" = found ] || { echo "login of $last failed" >&2; exit 1; }
        keep_min "$mib|login found first" "$first"
        keep_min "$mib|login found again" "$again"
        measure "$mib|login miss" "$opbench" login "$db" nobody wrong 20
        read -r first again found <"$run/out.txt"
        [ "$found" = not-found ] || { echo "a wrong login was accepted" >&2; exit 1; }
        keep_min "$mib|login miss first" "$first"
        keep_min "$mib|login miss again" "$again"

        start_to_login "$mib"
    done
}

# --- start to the login dialog ---------------------------------------------------------------------
# Starts the program under Xvfb (no window manager) with a settings folder that points it at the
# back end, and takes the time from just before the start to the moment the X server maps the
# window titled "Login" (reported by mapwatch, which listens for it before the start).
start_display() {
    [ -n "$xvfb_pid" ] && return
    Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$run/display" 2>"$run/xvfb.log" &
    xvfb_pid=$!
    local i
    for ((i = 0; i < 200; i++)); do
        [ -s "$run/display" ] && break
        sleep 0.05
    done
    [ -s "$run/display" ] || { echo "Xvfb did not start" >&2; exit 1; }
    export DISPLAY=":$(cat "$run/display")"
}

start_to_login() {
    local mib=$1
    start_display
    mkdir -p "$run/config" "$run/xdg"
    chmod 700 "$run/xdg"
    printf '[Path]\nBackEnd=%s\n' "$work/$mib/BACK.MDB" >"$run/config/TarBackup.conf"
    sync
    "$mapwatch" Login 30 >"$run/map.txt" &
    local watch=$!
    until grep -q ready "$run/map.txt" 2>/dev/null; do :; done
    local t0=$EPOCHREALTIME
    XDG_CONFIG_HOME="$run/config" XDG_RUNTIME_DIR="$run/xdg" QT_QPA_PLATFORM=xcb \
        /usr/bin/time -o "$run/start-time.txt" -f "%M" "$program" >/dev/null 2>&1 &
    local timer=$!
    if ! wait "$watch"; then
        echo "the login dialog was not shown" >&2
        exit 1
    fi
    local shown
    shown=$(tail -1 "$run/map.txt")
    # The program waits at the login dialog: end it (the child of /usr/bin/time) by its id.
    local child
    child=$(cat "/proc/$timer/task/$timer/children")
    kill $child
    wait "$timer" || true
    local kb
    kb=$(tail -1 "$run/start-time.txt")
    keep_min "$mib|start to login" "$(awk -v a="$shown" -v b="$t0" 'BEGIN { printf "%.3f", a - b }')"
    if [ -z "${peak_kb[$mib|start to login]:-}" ] || [ "$kb" -gt "${peak_kb[$mib|start to login]}" ]; then
        peak_kb[$mib|start to login]=$kb
    fi
}

# --- report --------------------------------------------------------------------------------------
row() { # row KEY LABEL BYTES
    awk -v n="$2" -v t="${best_time[$1]}" -v kb="${peak_kb[$1]}" -v b="$3" 'BEGIN {
        speed = (t > 0) ? sprintf("%.0f", b / 1e6 / t) : "inf"
        printf "| %s | %.2f | %s | %.0f |\n", n, t, speed, kb / 1024 }'
}
ratio() { # ratio REFERENCE_KEY OURS_KEY: how fast ours is against the reference
    awk -v a="${best_time[$1]}" -v b="${best_time[$2]}" 'BEGIN { printf "%.2f", (b > 0) ? a / b : 0 }'
}
mb() { awk -v kb="$1" 'BEGIN { printf "%.0f", kb / 1024 }'; }
verdict() { # verdict CONDITION(awk) => met / MISSED
    awk "BEGIN { print ($1) ? \"met\" : \"MISSED\" }"
}

report_size() {
    local mib=$1 db=$work/$1/BACK.MDB k=$1
    local bytes compacted
    bytes=$(stat -c %s "$db")
    compacted=$(stat -c %s "$run/$mib/compact/BACK.MDB")
    printf '\n### Back end of %s bytes (%s, %s users, %s%% free pages)\n\n' "$bytes" \
        "$(awk -v b="$bytes" 'BEGIN { printf "%.0f MB", b / 1e6 }')" "$users" "$free_percent"
    echo "| command | seconds | MB/s | peak MB |"
    echo "|---|---:|---:|---:|"
    local name
    for name in "ours backup" "zstd -3 -T0" "zstd -3 -T0 + sync" "gzip -6" "cp" "cp + sync" \
        "ours maintenance backup + check" "zstd -3 -T0 + zstd -t + sync"; do
        row "$k|$name" "$name" "$bytes"
    done
    echo "| | | | |"
    for name in "ours restore" "ours restore, shared" "ours restore without the safety copy" "zstd -d" \
        "zstd -d + sync" "safety cp + zstd -d + sync" "safety cp + sqlite3 .restore" "gunzip"; do
        row "$k|$name" "$name" "$bytes"
    done
    row "$k|cp (restore)" "cp" "$bytes"
    row "$k|cp + sync (restore)" "cp + sync" "$bytes"
    echo "| | | | |"
    row "$k|ours compaction" "ours compaction" "$bytes"
    row "$k|ours compaction, shared" "ours compaction, shared" "$bytes"
    row "$k|sqlite3 VACUUM" "sqlite3 VACUUM (in place)" "$bytes"
    row "$k|VACUUM INTO" "sqlite3 VACUUM INTO" "$bytes"
    row "$k|VACUUM INTO + cp" "sqlite3 VACUUM INTO + cp" "$bytes"
    row "$k|VACUUM INTO + sync + mv" "sqlite3 VACUUM INTO + sync + mv" "$bytes"
    row "$k|cp (compaction)" "cp" "$bytes"
    printf '\nCompaction: %s -> %s bytes.\n' "$bytes" "$compacted"

    local cb rb rib ct lf lm peak
    cb=$(ratio "$k|zstd -3 -T0" "$k|ours backup")
    rb=$(ratio "$k|zstd -d" "$k|ours restore")
    rib=$(ratio "$k|zstd -d" "$k|ours restore without the safety copy")
    ct=$(awk -v o="${best_time[$k|ours compaction]}" -v r="${best_time[$k|VACUUM INTO + cp]}" 'BEGIN { printf "%.2f", o / r }')
    lf=${best_value[$k|login found first]}
    lm=${best_value[$k|login miss first]}
    peak=0
    for name in "ours backup" "ours maintenance backup + check" "ours restore" "ours restore, shared" "ours restore without the safety copy" \
        "ours compaction" "ours compaction, shared" "login found" "login miss" "start to login"; do
        [ "${peak_kb[$k|$name]}" -gt "$peak" ] && peak=${peak_kb[$k|$name]}
    done
    echo
    echo "| target | measured | |"
    echo "|---|---:|---|"
    echo "| backup speed ≥ 1.0 × zstd -3 -T0 | $cb × ($(ratio "$k|zstd -3 -T0 + sync" "$k|ours backup") × zstd + sync) | $(verdict "$cb >= 1.0") |"
    local mc
    mc=$(ratio "$k|zstd -3 -T0 + zstd -t + sync" "$k|ours maintenance backup + check")
    echo "| maintenance backup with check ≥ 1.0 × zstd -3 -T0 + zstd -t + sync | $mc × | $(verdict "$mc >= 1.0") |"
    echo "| restore speed ≥ 0.9 × zstd -d | $rb × ($(ratio "$k|zstd -d + sync" "$k|ours restore") × zstd -d + sync, $(ratio "$k|safety cp + zstd -d + sync" "$k|ours restore") × safety cp + zstd -d + sync) | $(verdict "$rb >= 0.9") |"
    echo "| restore without the safety copy ≥ 0.9 × zstd -d | $rib × ($(ratio "$k|zstd -d + sync" "$k|ours restore without the safety copy") × zstd -d + sync) | $(verdict "$rib >= 0.9") |"
    echo "| compaction time ≤ 1.2 × (VACUUM INTO + cp) | $ct × ($(awk -v o="${best_time[$k|ours compaction]}" -v r="${best_time[$k|VACUUM INTO + sync + mv]}" 'BEGIN { printf "%.2f", o / r }') × VACUUM INTO + sync + mv) | $(verdict "$ct <= 1.2") |"
    local rs cs
    rs=$(ratio "$k|safety cp + sqlite3 .restore" "$k|ours restore, shared")
    cs=$(ratio "$k|sqlite3 VACUUM" "$k|ours compaction, shared")
    echo "| restore, private, ≥ 1.5 × safety cp + zstd -d + sync | $(ratio "$k|safety cp + zstd -d + sync" "$k|ours restore") × | $(verdict "$(ratio "$k|safety cp + zstd -d + sync" "$k|ours restore") >= 1.5") |"
    echo "| restore, shared, ≥ 1.0 × safety cp + sqlite3 .restore | $rs × | $(verdict "$rs >= 1.0") |"
    echo "| compaction, shared, time ≤ sqlite3 VACUUM in place | $cs × its speed | $(verdict "$cs >= 1.0") |"
    echo "| login < 50 ms, $users users: user $users / no such user (first check in a process; again) | $lf / $lm ms ($(printf '%s / %s' "${best_value[$k|login found again]}" "${best_value[$k|login miss again]}") ms; peak $(mb "${peak_kb[$k|login found]}") MB) | $(verdict "$lf < 50 && $lm < 50") |"
    echo "| start to login dialog < 1 s | ${best_value[$k|start to login]} s (peak $(mb "${peak_kb[$k|start to login]}") MB) | $(verdict "${best_value[$k|start to login]} < 1") |"
    echo "| peak memory of ours < 100 MB | $(awk -v kb="$peak" 'BEGIN { printf "%.0f", kb / 1024 }') MB | $(verdict "$peak < 102400") |"
}

# The compaction's steps, timed one by one on a fresh copy (one run).
compaction_steps() {
    local mib=$1 d=$run/$1
    cp "$work/$mib/BACK.MDB" "$d/compact/BACK.MDB"
    rm -f "$d/compact/BACKNEW.MDB"
    sync
    printf '\nCompaction of the %s MiB back end, step by step (one run): ' "$mib"
    "$opbench" compact-steps "$d/compact/BACK.MDB" "$d/compact/BACKNEW.MDB" | paste -sd, | sed 's/,/, /g'
}

for mib in $sizes; do
    make_backend "$mib"
done
echo "machine: $(nproc) cores, $(awk '/MemTotal/ { printf "%.0f GiB", $2 / 1048576 }' /proc/meminfo)," \
    "load at the start $load_start (waited ${waited} s for it)"
echo "zstd $(zstd -V | grep -o 'v[0-9.]*'), $(gzip -V | head -1), sqlite3 $(sqlite3 --version | cut -d' ' -f1)," \
    "runs per command: $runs (fastest counts)"
for mib in $sizes; do
    bench_size "$mib"
done
for mib in $sizes; do
    report_size "$mib"
    compaction_steps "$mib"
done
echo
echo "load at the end: $(cut -d' ' -f1-3 /proc/loadavg)"

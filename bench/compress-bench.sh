#!/usr/bin/env bash
# Compares the compression control's engine with the reference tools on the same files, in the
# same run: a back-end-like database and incompressible data.
#
#   bench/compress-bench.sh [--size-mb N] [--runs R] [--big-mb M] [--dir FOLDER]
#
# For each file it times our compress and decompress (build/bench/zbench), zstd -3 -T0 and
# zstd -d, gzip -6 and gunzip, and cp as the physical limit. Our engine syncs its output to disk
# before putting it in place, the reference tools do not; the "+ sync" rows show them with the
# same guarantee (the command, then `sync FILE`). Each command runs R times, interleaved with
# the others, and the fastest run counts; the page cache is warm and `sync` runs before each
# timing so that one command's writeback does not slow the next. MB/s are of uncompressed data
# (1 MB = 10^6 bytes), peak memory is the largest resident size (`/usr/bin/time -f %M`).
# With --big-mb M it also compresses and decompresses a file of about M MiB (copies of the
# database) once, to show that memory stays bounded whatever the size.
set -euo pipefail
cd "$(dirname "$0")/.."

size_mb=300
runs=3
big_mb=0
work=build/bench-work
while [ $# -gt 0 ]; do
    case "$1" in
    --size-mb) size_mb=$2; shift 2 ;;
    --runs) runs=$2; shift 2 ;;
    --big-mb) big_mb=$2; shift 2 ;;
    --dir) work=$2; shift 2 ;;
    *) echo "usage: $0 [--size-mb N] [--runs R] [--big-mb M] [--dir FOLDER]" >&2; exit 2 ;;
    esac
done

tools/install-packages.sh time

if [ ! -x build/bench/zbench ]; then
    cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build build -j"$(nproc)" --target zbench
fi
zbench=$(pwd)/build/bench/zbench

mkdir -p "$work"
work=$(cd "$work" && pwd)
trap 'rm -rf "$work"' EXIT

# A database file like the back end: the project's maker when it is built, else the sqlite3
# command line with tables of customers, products, orders and order lines.
make_database() {
    local file=$1
    if [ -x build/tools/mkbackend ]; then
        build/tools/mkbackend --size-mb "$size_mb" "$file" >/dev/null
        echo "database: build/tools/mkbackend --size-mb $size_mb"
        return
    fi
    # About 270 MB for every 1,000,000 orders with four lines each.
    local orders=$((size_mb * 1000000 / 270))
    local customers=$((orders / 5 + 1)) lines=$((orders * 4))
    sqlite3 "$file" >/dev/null <<EOF
PRAGMA journal_mode=OFF; PRAGMA synchronous=OFF; PRAGMA cache_size=-200000;
CREATE TABLE Customer(CustomerID INTEGER PRIMARY KEY, Name TEXT, Street TEXT, City TEXT, Phone TEXT,
                      Email TEXT, Balance REAL, Created TEXT);
CREATE TABLE Product(ProductID INTEGER PRIMARY KEY, Code TEXT, Description TEXT, Price REAL, Stock INTEGER);
CREATE TABLE Orders(OrderID INTEGER PRIMARY KEY, CustomerID INTEGER, OrderDate TEXT, Status TEXT, Total REAL,
                    Notes TEXT);
CREATE TABLE OrderLine(OrderID INTEGER, Line INTEGER, ProductID INTEGER, Quantity INTEGER, UnitPrice REAL,
                       PRIMARY KEY(OrderID, Line));
CREATE INDEX OrdersByCustomer ON Orders(CustomerID, OrderDate);
WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 5000)
INSERT INTO Product SELECT i, printf('P%06d', i),
    'Product ' || i || ' ' || substr('chair desk lamp shelf cabinet drawer folder binder stapler toner paper ink',
                                     1 + abs(random()) % 60, 12),
    round(1 + abs(random()) % 50000 / 100.0, 2), abs(random()) % 1000 FROM n;
WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < $customers)
INSERT INTO Customer SELECT i, 'Customer ' || (abs(random()) % 90000),
    (abs(random()) % 999) || ' ' || substr('High Street Main Road Station Lane Church Street Park Avenue Mill Road',
                                           1 + abs(random()) % 50, 14),
    substr('London Leeds York Bath Derby Hull Leicester Bristol', 1 + abs(random()) % 40, 8),
    printf('0%d %06d', 100 + abs(random()) % 900, abs(random()) % 1000000), 'user' || i || '@example.com',
    round((abs(random()) % 10000000) / 100.0, 2), date('2015-01-01', '+' || (abs(random()) % 3650) || ' days') FROM n;
WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < $orders)
INSERT INTO Orders SELECT i, 1 + abs(random()) % $customers, date('2015-01-01', '+' || (i / 300) || ' days'),
    CASE abs(random()) % 4 WHEN 0 THEN 'Open' WHEN 1 THEN 'Shipped' WHEN 2 THEN 'Invoiced' ELSE 'Paid' END,
    round((abs(random()) % 1000000) / 100.0, 2),
    CASE WHEN abs(random()) % 3 = 0 THEN 'Deliver to back door; call ' || hex(randomblob(3)) ELSE NULL END FROM n;
WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i < $lines - 1)
INSERT INTO OrderLine SELECT 1 + i / 4, 1 + i % 4, 1 + abs(random()) % 5000, 1 + abs(random()) % 20,
    round((abs(random()) % 50000) / 100.0, 2) FROM n;
EOF
    echo "database: sqlite3 fallback (customers, products, orders, order lines)"
}

# measure NAME COMMAND...: runs it once, keeps the fastest time and the largest peak memory.
declare -A best_time peak_kb
measure() {
    local name=$1
    shift
    sync
    /usr/bin/time -o "$work/time.txt" -f "%e %M" "$@" >/dev/null
    read -r t kb <"$work/time.txt"
    if [ -z "${best_time[$name]:-}" ] || awk -v a="$t" -v b="${best_time[$name]}" 'BEGIN { exit !(a < b) }'; then
        best_time[$name]=$t
    fi
    if [ -z "${peak_kb[$name]:-}" ] || [ "$kb" -gt "${peak_kb[$name]}" ]; then
        peak_kb[$name]=$kb
    fi
}

bench_file() {
    local label=$1 in=$2
    local bytes
    bytes=$(stat -c %s "$in")
    cat "$in" >/dev/null # warm the page cache
    best_time=() peak_kb=()
    for ((r = 1; r <= runs; r++)); do
        rm -f "$work"/out.*
        measure "ours compress" "$zbench" compress "$in" "$work/out.tvb"
        measure "zstd -3 -T0" zstd -q -f -3 -T0 "$in" -o "$work/out.zst"
        measure "zstd -3 -T0 + sync" sh -c 'zstd -q -f -3 -T0 "$1" -o "$2" && sync "$2"' sh "$in" "$work/out.zst"
        measure "gzip -6" sh -c 'gzip -6 -c "$1" >"$2"' sh "$in" "$work/out.gz"
        measure "cp" cp "$in" "$work/out.copy"
        measure "cp + sync" sh -c 'cp "$1" "$2" && sync "$2"' sh "$in" "$work/out.copy"
        measure "ours decompress" "$zbench" decompress "$work/out.tvb" "$work/out.back"
        measure "zstd -d" zstd -q -f -d "$work/out.zst" -o "$work/out.zback"
        measure "zstd -d + sync" sh -c 'zstd -q -f -d "$1" -o "$2" && sync "$2"' sh "$work/out.zst" "$work/out.zback"
        measure "gunzip" sh -c 'gunzip -c "$1" >"$2"' sh "$work/out.gz" "$work/out.gback"
    done
    cmp -s "$in" "$work/out.back" || { echo "our round trip differs on $label" >&2; exit 1; }
    zstd -q -t "$work/out.tvb" || { echo "zstd rejects our backup of $label" >&2; exit 1; }

    local tvb zst gz
    tvb=$(stat -c %s "$work/out.tvb")
    zst=$(stat -c %s "$work/out.zst")
    gz=$(stat -c %s "$work/out.gz")
    printf '\n%s: %s bytes (%.0f MB)\n\n' "$label" "$bytes" "$(awk -v b="$bytes" 'BEGIN { print b / 1e6 }')"
    echo "| command | seconds | MB/s | ratio | peak MB |"
    echo "|---|---:|---:|---:|---:|"
    local name out
    for name in "ours compress" "zstd -3 -T0" "zstd -3 -T0 + sync" "gzip -6" "cp" "cp + sync" \
        "ours decompress" "zstd -d" "zstd -d + sync" "gunzip"; do
        case "$name" in
        "ours compress") out=$tvb ;;
        "zstd -3"*) out=$zst ;;
        "gzip -6") out=$gz ;;
        *) out="" ;;
        esac
        awk -v n="$name" -v t="${best_time[$name]}" -v kb="${peak_kb[$name]}" -v b="$bytes" -v o="$out" 'BEGIN {
            ratio = (o == "") ? "" : sprintf("%.3f", b / o)
            speed = (t > 0) ? sprintf("%.0f", b / 1e6 / t) : "inf"
            printf "| %s | %.2f | %s | %s | %.0f |\n", n, t, speed, ratio, kb / 1024 }'
    done
    awk -v oc="${best_time[ours compress]}" -v zc="${best_time[zstd -3 -T0]}" -v zcs="${best_time[zstd -3 -T0 + sync]}" \
        -v od="${best_time[ours decompress]}" -v zd="${best_time[zstd -d]}" -v zds="${best_time[zstd -d + sync]}" \
        -v cp="${best_time[cp]}" -v cps="${best_time[cp + sync]}" -v tvb="$tvb" -v zst="$zst" 'BEGIN {
        printf "\nspeed ours/zstd: compress %.2f (%.2f against zstd + sync), decompress %.2f (%.2f against zstd -d + sync)\n",
            zc / oc, zcs / oc, zd / od, zds / od
        printf "speed ours/cp: compress %.2f (%.2f against cp + sync), decompress %.2f (%.2f against cp + sync)\n",
            cp / oc, cps / oc, cp / od, cps / od
        printf "size ours/zstd: %.4f\n", tvb / zst }'
}

echo "machine: $(nproc) cores, $(awk '/MemTotal/ { printf "%.0f GiB", $2 / 1048576 }' /proc/meminfo), load $(cut -d' ' -f1-3 /proc/loadavg)"
echo "zstd $(zstd -V | grep -o 'v[0-9.]*'), $(gzip -V | head -1), runs per command: $runs (fastest counts)"
make_database "$work/BACK.MDB"
head -c "$((size_mb * 1048576))" /dev/urandom >"$work/noise.bin"
bench_file "back-end database" "$work/BACK.MDB"
bench_file "incompressible data" "$work/noise.bin"

if [ "$big_mb" -gt 0 ]; then
    rm -f "$work"/out.* "$work/noise.bin"
    copies=$(((big_mb * 1048576 + $(stat -c %s "$work/BACK.MDB") - 1) / $(stat -c %s "$work/BACK.MDB")))
    for ((i = 0; i < copies; i++)); do cat "$work/BACK.MDB"; done >"$work/big.bin"
    big_bytes=$(stat -c %s "$work/big.bin")
    printf '\nlarge file: %s bytes (%d copies of the database)\n\n' "$big_bytes" "$copies"
    echo "| command | seconds | MB/s | peak MB |"
    echo "|---|---:|---:|---:|"
    for step in compress decompress; do
        if [ "$step" = compress ]; then args=("$work/big.bin" "$work/big.tvb"); else args=("$work/big.tvb" "$work/big.back"); fi
        sync
        /usr/bin/time -o "$work/time.txt" -f "%e %M" "$zbench" "$step" "${args[@]}" >/dev/null
        read -r t kb <"$work/time.txt"
        awk -v n="ours $step" -v t="$t" -v kb="$kb" -v b="$big_bytes" \
            'BEGIN { printf "| %s | %.2f | %.0f | %.0f |\n", n, t, b / 1e6 / t, kb / 1024 }'
    done
    cmp -s "$work/big.bin" "$work/big.back" || { echo "our round trip differs on the large file" >&2; exit 1; }
fi

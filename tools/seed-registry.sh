#!/bin/sh
# Writes the machine-wide registry hive of Tarvos Utility: the file that tells the About dialog's
# "System Info..." button which system information program to start.
#
# Usage: seed-registry.sh [HIVE-FILE [PROGRAM]]
#   HIVE-FILE  the hive to write (default /etc/tarvos-utility/registry.reg); it is replaced whole.
#   PROGRAM    the program to start, by its full path. Default: the first one found of
#              hardinfo (a system profiler, the closest match), gnome-system-monitor,
#              plasma-systemmonitor, ksysguard, mate-system-monitor, xfce4-taskmanager, lxtask.
# Exit status: 0 written; 1 bad arguments or the file cannot be written; 3 no program found
# (nothing is written, so System Info says that it is unavailable).
set -eu

hive=${1:-/etc/tarvos-utility/registry.reg}
program=${2:-}

if [ -z "$program" ]; then
    for candidate in hardinfo gnome-system-monitor plasma-systemmonitor ksysguard mate-system-monitor \
                     xfce4-taskmanager lxtask; do
        found=$(command -v "$candidate" 2>/dev/null || true)
        case $found in
        /*) program=$found; break ;;
        esac
    done
    if [ -z "$program" ]; then
        echo "seed-registry.sh: no system information program found (install hardinfo, for instance);" \
             "$hive not written" >&2
        exit 3
    fi
fi

case $program in
*"
"*) echo "seed-registry.sh: the program's path holds a line break" >&2; exit 1 ;;
/*) ;;
*) echo "seed-registry.sh: give the program by its full path, not \"$program\"" >&2; exit 1 ;;
esac
if [ ! -f "$program" ] || [ ! -x "$program" ]; then
    echo "seed-registry.sh: \"$program\" is not an executable file" >&2
    exit 1
fi

# A .reg string escapes "\" and '"' with a backslash.
escaped=$(printf '%s' "$program" | sed -e 's/\\/\\\\/g' -e 's/"/\\"/g')

dir=$(dirname "$hive")
mkdir -p "$dir" || exit 1
tmp=$(mktemp "$dir/.registry.XXXXXX") || exit 1
trap 'rm -f "$tmp"' EXIT
{
    printf 'Windows Registry Editor Version 5.00\n\n'
    printf '; Machine-wide settings of Tarvos Utility, written by seed-registry.sh.\n'
    printf '; "PATH" names the program that "System Info..." in the About dialog starts.\n\n'
    printf '[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Shared Tools\\MSINFO]\n'
    printf '"PATH"="%s"\n' "$escaped"
} >"$tmp"
chmod 644 "$tmp"
mv -f "$tmp" "$hive"
trap - EXIT
echo "seed-registry.sh: $hive names $program"

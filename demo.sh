#!/usr/bin/env bash
# Builds Tarvos Utility and starts it on a demo back-end database, leaving your own settings
# alone: the demo keeps its database and its settings under build/demo/.
# Log in as user DEMO with password demo.
set -euo pipefail
cd "$(dirname "$0")"

tools/install-packages.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target tarvos-utility mkbackend

demo="$PWD/build/demo"
mkdir -p "$demo/BACK" "$demo/config"
if [ ! -f "$demo/BACK/BACK.MDB" ]; then
  # A few megabytes of business records, a fifth of the pages free, so compaction has work to do.
  build/tools/mkbackend --user DEMO:demo --user CLERK:counter --size-mb 8 --free-percent 20 "$demo/BACK/BACK.MDB"
fi
# The settings store of the demo: it starts on the demo database.
if [ ! -f "$demo/config/TarBackup.conf" ]; then
  printf '[Path]\nBackEnd=%s\n' "$demo/BACK/BACK.MDB" > "$demo/config/TarBackup.conf"
fi

echo "Demo database: $demo/BACK/BACK.MDB"
echo "Log in as user DEMO with password demo."
XDG_CONFIG_HOME="$demo/config" exec build/bin/tarvos-utility

#!/usr/bin/env bash
# Installs the Debian 12 packages that building, testing and running Tarvos Utility need and that
# are missing (with sudo unless run as root). Extra package names may be given as arguments.
set -euo pipefail

# Build and run-time packages, acl and attr for the tests of a back end shared by accounts, the
# reference tools the interoperability tests call, FUSE for the power-cut file system
# (tools/lossyfs) and libfiu for the failed-call tests.
packages=(cmake g++ make pkg-config acl attr locales tzdata
          qt6-base-dev qt6-qpa-plugins libsqlite3-dev libzstd-dev fonts-dejavu-core
          zstd sqlite3 gzip
          libfuse3-dev fuse3 libfiu-dev
          "$@")
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  $sudo apt-get update
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
fi

# The tests run a second time where operators live: in a German UTF-8 locale (and a time zone far
# from UTC, which tzdata brings).
if ! locale -a 2>/dev/null | grep -qi '^de_DE\.utf-\?8$'; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  $sudo localedef -i de_DE -f UTF-8 de_DE.UTF-8 || echo "the locale de_DE.UTF-8 cannot be made here" >&2
fi

#!/usr/bin/env bash
# Installs what is missing on a Debian 12 machine, configures, builds and runs every test
# headless (offscreen Qt platform). Usage: ./test.sh [extra ctest arguments]
set -euo pipefail
cd "$(dirname "$0")"

tools/install-packages.sh
# CI builds with every warning as an error (TARVOS_WARNINGS_AS_ERRORS=ON); a newcomer's newer
# compiler may warn about more, which should not stop the tests.
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_COMPILE_WARNING_AS_ERROR="${TARVOS_WARNINGS_AS_ERRORS:-OFF}"
cmake --build build -j"$(nproc)"
cd build
ctest --output-on-failure -j"$(nproc)" "$@"

#!/usr/bin/env bash
# Redraws the artwork PNGs in resources/ from resources/make_artwork.cpp.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cmake -S "$root" -B "$root/build" -G Ninja >/dev/null
cmake --build "$root/build" --target twinscope-artwork >/dev/null
QT_QPA_PLATFORM=offscreen "$root/build/twinscope-artwork" "$root/resources"

#!/bin/sh
# Rebuilds the browser's skin images in res/Res/ from MakeBrowserImages.cpp.
set -e
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
g++ -std=c++20 -fPIC -O1 -o "$tmp/MakeBrowserImages" "$here/MakeBrowserImages.cpp" $(pkg-config --cflags --libs Qt6Gui)
QT_QPA_PLATFORM=offscreen "$tmp/MakeBrowserImages" "$root/res/Res"

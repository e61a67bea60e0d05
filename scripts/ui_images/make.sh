#!/bin/sh
# Rebuilds res/images/*.png and app/ui/UiImages.qrc from MakeUiImages.cpp.
set -e
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
g++ -std=c++20 -fPIC -O1 -o "$tmp/MakeUiImages" "$here/MakeUiImages.cpp" $(pkg-config --cflags --libs Qt6Gui)
QT_QPA_PLATFORM=offscreen "$tmp/MakeUiImages" "$root/res/images" "$root/app/ui/UiImages.qrc"

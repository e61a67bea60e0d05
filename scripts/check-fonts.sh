#!/usr/bin/env bash
# Runs the interface tests under several sets of fonts, so that no expectation depends on the
# fonts a machine happens to have. Each set is a private fontconfig setup that sees only the font
# files of the named Debian packages (installed when missing): what setup.sh installs, only
# DejaVu with its extra faces, and many fonts at once.
# Usage: bash scripts/check-fonts.sh [BUILD_DIR]   (a build with the tests, default build/)
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "${1:-build}")
sets=(
  "fonts-dejavu-core fonts-liberation2 fonts-ipafont-gothic"
  "fonts-dejavu-core fonts-dejavu-extra"
  "fonts-dejavu-core fonts-dejavu-extra fonts-liberation2 fonts-noto-cjk fonts-ipafont-gothic"
)
binaries=()
for t in test_ui test_app test_browser; do
  if [ -x "$build/bin/$t" ]; then binaries+=("$build/bin/$t"); fi
done
if [ ${#binaries[@]} -eq 0 ]; then
  echo "No interface test binaries in $build/bin: build with MORVENDA_BUILD_TESTS=ON first." >&2
  exit 1
fi

missing=()
for p in fontconfig ${sets[*]}; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then missing+=("$p"); fi
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; fi
  $SUDO apt-get -o DPkg::Lock::Timeout=1200 update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get -o DPkg::Lock::Timeout=1200 install -y -qq --no-install-recommends $(printf '%s\n' "${missing[@]}" | sort -u)
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0
n=0
for set in "${sets[@]}"; do
  n=$((n + 1))
  fonts="$work/set$n"
  mkdir -p "$fonts/files" "$fonts/cache" "$fonts/state" "$fonts/config"
  for p in $set; do
    dpkg -L "$p" | grep -E '\.(ttf|otf|ttc)$' | while read -r f; do ln -sf "$f" "$fonts/files/"; done
  done
  # The system's rules (the metric aliases among them) apply; only the font folders differ.
  cat > "$fonts/fonts.conf" <<EOF
<?xml version="1.0"?>
<!DOCTYPE fontconfig SYSTEM "urn:fontconfig:fonts.dtd">
<fontconfig>
  <dir>$fonts/files</dir>
  <cachedir>$fonts/cache</cachedir>
  <include ignore_missing="yes">/etc/fonts/conf.d</include>
</fontconfig>
EOF
  export FONTCONFIG_FILE="$fonts/fonts.conf"
  echo "== Fonts: $set"
  echo "   \"Arial\" is $(fc-match -f '%{family[0]}' Arial), \"Meiryo UI\" in Japanese is $(fc-match -f '%{family[0]}' 'Meiryo UI:lang=ja')"
  for b in "${binaries[@]}"; do
    if (cd "$build" && QT_QPA_PLATFORM=offscreen XDG_CONFIG_HOME="$fonts/config" XDG_STATE_HOME="$fonts/state" \
        XDG_CACHE_HOME="$fonts/cache" MORVENDA_PROGRAM_DIR="$build/bin/" "$b" --gtest_brief=1 > "$fonts/out.txt" 2>&1); then
      echo "   $(basename "$b"): $(grep -E '^\[  PASSED  \]' "$fonts/out.txt" | head -n 1)"
    else
      echo "   $(basename "$b"): FAILED"
      grep -E 'Failure|Expected|Which is|  Actual|FAILED' "$fonts/out.txt" | head -n 20 | sed 's/^/     /'
      failed=1
    fi
  done
  unset FONTCONFIG_FILE
done
exit $failed

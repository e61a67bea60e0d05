#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need, when any is missing.
set -euo pipefail
# The interface asks for "Arial" (fontconfig maps it to Liberation Sans, which has its metrics) and
# for "Meiryo UI" in Japanese, where any Japanese font stands in; a Simplified Chinese font draws the
# CJK names a Japanese font lacks (the signature-found files' own folder among them).
packages=(
  build-essential cmake ninja-build pkg-config
  # The toolkit's own translations: its file dialog and standard buttons in the interface language.
  qt6-base-dev qt6-image-formats-plugins qt6-translations-l10n
  fonts-dejavu-core fonts-liberation2 fonts-ipafont-gothic
  fonts-wqy-microhei
  zlib1g-dev libbz2-dev lzma-dev libtinyxml-dev libboost-regex-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  # The tests that make disk images and pictures with real tools, and the demo disk's script.
  dosfstools fdisk mtools exfatprogs exfat-fuse ntfs-3g fuse3 mount imagemagick libjpeg-turbo-progs
)
missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  SUDO=""
  if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; fi
  # A busy machine may be installing something else: wait for the package lock rather than fail.
  lock_wait=(-o DPkg::Lock::Timeout=1200)
  $SUDO apt-get "${lock_wait[@]}" update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get "${lock_wait[@]}" install -y -qq --no-install-recommends "${missing[@]}"
fi

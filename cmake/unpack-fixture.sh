#!/bin/sh
# unpack-fixture.sh IN.gz OUT: unpacks one fixture image and makes it read-only.
set -e
rm -f "$2" "$2.tmp"
gzip -dc "$1" > "$2.tmp"
chmod 0444 "$2.tmp"
mv "$2.tmp" "$2"

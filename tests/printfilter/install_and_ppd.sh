#!/usr/bin/env bash
# Installs the filter component into a private root the way a package would and checks that the
# files land in the folders the system's CUPS names (cups-config), whatever the prefix, with modes
# CUPS accepts, and that cupstestppd passes the installed PPD against that root (so the filter the
# PPD names is found).
#   install_and_ppd.sh BUILD_DIR FILTER_DIR PPD_DIR
set -euo pipefail
build=$1
filter_dir=$2
ppd_dir=$3
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
DESTDIR="$root" cmake --install "$build" --component printfilter --prefix /usr/local >/dev/null

if command -v cups-config >/dev/null; then
  [ "$filter_dir" = "$(cups-config --serverbin)/filter" ] || { echo "filter folder $filter_dir"; exit 1; }
  [ "$ppd_dir" = "$(cups-config --datadir)/model/tamberlyx" ] || { echo "PPD folder $ppd_dir"; exit 1; }
fi
filter="$root$filter_dir/printfilter-tamberlyx"
ppd="$root$ppd_dir/tamberlyx.ppd"
[ -x "$filter" ] || { echo "filter not installed at $filter"; exit 1; }
[ -f "$ppd" ] || { echo "PPD not installed at $ppd"; exit 1; }
[ "$(stat -c %a "$filter")" = 755 ] || { echo "filter mode $(stat -c %a "$filter"), CUPS wants 755"; exit 1; }
[ "$(stat -c %a "$ppd")" = 644 ] || { echo "PPD mode $(stat -c %a "$ppd")"; exit 1; }

if ! command -v cupstestppd >/dev/null; then
  echo "cupstestppd not installed: PPD check skipped"
  exit 0
fi
out=$(cupstestppd -R "$root" "$ppd" 2>&1) || { echo "$out"; exit 1; }
echo "$out"
grep -q "PASS" <<<"$out"
# The PPD offers every option and choice the filter reads.
for choice in "MediaType Plain" "MediaType Thick" "MediaType Thin" "MediaType Card" "MediaType Envelope" \
              "InputSlot AUTO" "InputSlot MPTRAY" "InputSlot TRAY1" "InputSlot TRAY2" "InputSlot TRAY3" \
              "Duplex DuplexTumble" "Duplex DuplexNoTumble" "Collate False" "QvScale 25%" "QvScale 150%" \
              "GammaDarkness darkness0" "GammaDarkness darkness5" "PageSize 85x170mm" "PageSize 16K"; do
  set -- $choice
  grep -q "^\*$1 $2/" "$ppd" || { echo "PPD lacks *$1 $2"; exit 1; }
done
grep -q '^\*cupsFilter: "application/vnd.cups-raster 0 printfilter-tamberlyx"' "$ppd"

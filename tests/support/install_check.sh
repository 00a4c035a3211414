#!/usr/bin/env bash
# Installs the applications component into a private root (prefix /usr) and checks that one
# application, its desktop file and its icon land where a Linux desktop looks, and that the
# desktop file starts the installed program and names the installed icon.
#   install_check.sh BUILD_DIR PROGRAM DESKTOP_FILE
#   (for example: install_check.sh build Tamberlyx_Scanner tamberlyx.scanner.desktop)
set -euo pipefail
build=$1
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
DESTDIR="$root" cmake --install "$build" --component applications --prefix /usr >/dev/null

program="$root/usr/bin/$2"
desktop="$root/usr/share/applications/$3"
[ -x "$program" ] || { echo "program not installed at $program"; exit 1; }
[ -f "$desktop" ] || { echo "desktop file not installed at $desktop"; exit 1; }
key() { sed -n "s/^$1=//p" "$desktop" | head -n1; }
[ "$(sed -n 1p "$desktop")" = "[Desktop Entry]" ] || { echo "desktop file lacks its group header"; exit 1; }
[ "$(key Type)" = Application ] || { echo "Type=$(key Type)"; exit 1; }
[ -x "$root/usr/bin/$(key Exec)" ] || { echo "Exec=$(key Exec) is not the installed program"; exit 1; }
icon="$root/usr/share/icons/hicolor/scalable/apps/$(key Icon).svg"
[ -f "$icon" ] || { echo "Icon=$(key Icon) not installed at $icon"; exit 1; }
grep -q "<svg" "$icon" || { echo "$icon is no SVG drawing"; exit 1; }
if command -v desktop-file-validate >/dev/null; then
  desktop-file-validate "$desktop"
fi
echo "installed: $program, $desktop, $icon"

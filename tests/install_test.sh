#!/usr/bin/env bash
# Installs the build into a temporary prefix and checks that the programs start and that the
# desktop entry and the AppStream file are valid.
set -euo pipefail
build=$1
prefix=$(mktemp -d)
folder=$(mktemp -d)
entry=share/applications/example.hollowbright.Twinscope.desktop
metainfo=share/metainfo/example.hollowbright.Twinscope.metainfo.xml
trap 'rm -rf "$prefix" "$folder"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
for file in bin/twinscope bin/twinscope-cli "$entry" "$metainfo" \
            share/icons/hicolor/256x256/apps/twinscope.png share/man/man1/twinscope-cli.1.gz \
            share/man/man1/twinscope.1.gz share/doc/twinscope/copyright; do
    [ -e "$prefix/$file" ] || { echo "missing: $file"; exit 1; }
done
grep -q "^Exec=\"$prefix/bin/twinscope\" %f$" "$prefix/$entry"
grep -q "^Icon=twinscope$" "$prefix/$entry"
grep -q "$entry" "$build/install_manifest.txt"
if command -v desktop-file-validate >/dev/null; then
    desktop-file-validate "$prefix/$entry"
fi
command -v appstreamcli >/dev/null || { echo "appstreamcli missing (Debian package appstream)"; exit 1; }
# The placeholder screenshot and home page are not fetched.
appstreamcli validate --no-net "$prefix/$metainfo"
grep -q "<launchable type=\"desktop-id\">${entry##*/}</launchable>" "$prefix/$metainfo"
"$prefix/bin/twinscope-cli" --version | grep -q "twinscope-cli v1.16rc"
echo same >"$folder/a"
echo same >"$folder/b"
"$prefix/bin/twinscope-cli" --format fdupes "$folder" | grep -q "$folder/a"
# The window starts and keeps running until it is ended.
status=0
XDG_CONFIG_HOME="$folder/config" QT_QPA_PLATFORM=offscreen timeout 3 "$prefix/bin/twinscope" "$folder" \
    >/dev/null 2>&1 || status=$?
[ "$status" -eq 124 ] || { echo "twinscope ended with $status"; exit 1; }
echo "install test passed"

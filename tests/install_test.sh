#!/usr/bin/env bash
# Installs the build into a temporary prefix with spaces in its name, checks that the programs
# start and that the desktop entry, the AppStream file and the polkit action are valid, then
# removes it again with the uninstall target. The build folder's own install manifest (of an
# install by hand) is kept as it was.
set -euo pipefail
build=$1
scratch=$(mktemp -d)
prefix="$scratch/a prefix"
folder=$(mktemp -d)
manifest=$build/install_manifest.txt
saved=""
if [ -f "$manifest" ]; then
    saved=$scratch/manifest
    cp "$manifest" "$saved"
fi
restore() {
    if [ -n "$saved" ]; then cp "$saved" "$manifest"; else rm -f "$manifest"; fi
    rm -rf "$scratch" "$folder"
}
trap restore EXIT
entry=share/applications/example.hollowbright.Twinscope.desktop
metainfo=share/metainfo/example.hollowbright.Twinscope.metainfo.xml
policy=share/polkit-1/actions/example.hollowbright.Twinscope.policy
cmake --install "$build" --prefix "$prefix" >/dev/null
for file in bin/twinscope bin/twinscope-cli "$entry" "$metainfo" "$policy" \
            share/icons/hicolor/48x48/apps/twinscope.png share/icons/hicolor/256x256/apps/twinscope.png \
            share/icons/hicolor/scalable/apps/twinscope.svg share/man/man1/twinscope-cli.1 \
            share/man/man1/twinscope.1 share/doc/twinscope/copyright \
            share/bash-completion/completions/twinscope-cli; do
    [ -e "$prefix/$file" ] || { echo "missing: $file"; exit 1; }
done
grep -qxF "Exec=\"$prefix/bin/twinscope\" %f" "$prefix/$entry"
grep -q "^Icon=twinscope$" "$prefix/$entry"
grep -qF "<annotate key=\"org.freedesktop.policykit.exec.path\">$prefix/bin/twinscope</annotate>" \
    "$prefix/$policy"
grep -qF "$prefix/$entry" "$manifest"
if command -v desktop-file-validate >/dev/null; then
    desktop-file-validate "$prefix/$entry"
fi
command -v appstreamcli >/dev/null || { echo "appstreamcli missing (Debian package appstream)"; exit 1; }
# The placeholder screenshot and home page are not fetched.
appstreamcli validate --no-net "$prefix/$metainfo"
grep -q "<launchable type=\"desktop-id\">${entry##*/}</launchable>" "$prefix/$metainfo"
bash -n "$prefix/share/bash-completion/completions/twinscope-cli"
"$prefix/bin/twinscope-cli" --version | grep -q "^twinscope-cli v"
echo same >"$folder/a"
echo same >"$folder/b"
"$prefix/bin/twinscope-cli" --format fdupes "$folder" | grep -q "$folder/a"
# The window starts and keeps running until it is ended.
status=0
XDG_CONFIG_HOME="$folder/config" QT_QPA_PLATFORM=offscreen timeout 3 "$prefix/bin/twinscope" "$folder" \
    >/dev/null 2>&1 || status=$?
[ "$status" -eq 124 ] || { echo "twinscope ended with $status"; exit 1; }
# Everything installed goes again; the folders stay.
cmake --build "$build" --target uninstall >/dev/null
left=$(find "$prefix" ! -type d)
[ -z "$left" ] || { echo "left after uninstall: $left"; exit 1; }
echo "install test passed"

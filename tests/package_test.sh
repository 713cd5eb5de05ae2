#!/usr/bin/env bash
# Makes the Debian package with CPack, checks it with lintian, installs it into this machine's
# /usr, uses the installed programs, then removes it and checks that none of its files is left.
# It changes the real /usr, so it needs root and leaves alone a machine that already has a
# twinscope package; whatever happens, the package it installed is purged again.
set -euo pipefail
build=$1
version=$2
skip() {
    echo "SKIP: $*"
    exit 77
}
[ "$(id -u)" -eq 0 ] || skip "not run as root; the package would be installed into /usr"
for tool in apt-get dpkg dpkg-deb dpkg-query; do
    command -v "$tool" >/dev/null || skip "$tool missing; not a Debian system"
done
for tool in cpack lintian dpkg-shlibdeps dpkg-parsechangelog appstreamcli desktop-file-validate; do
    command -v "$tool" >/dev/null || {
        echo "$tool missing (Debian packages lintian, dpkg-dev, appstream, desktop-file-utils)"
        exit 1
    }
done
packageState() {
    dpkg-query -W -f '${db:Status-Status}' twinscope 2>/dev/null || true
}
state=$(packageState)
if [ -n "$state" ] && [ "$state" != not-installed ]; then
    skip "a twinscope package is on this machine ($state); it is left as it is"
fi

work=$(mktemp -d)
folder=$(mktemp -d) # searched by the window as another user
installed=no
cleanup() {
    local status=$?
    if [ "$installed" = yes ]; then
        state=$(packageState)
        if [ -n "$state" ] && [ "$state" != not-installed ]; then
            echo "purging the package left by the test"
            dpkg --purge twinscope >/dev/null || status=1
        fi
    fi
    rm -rf "$work" "$folder"
    exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM HUP
log=$work/log
fail() {
    echo "FAIL: $*"
    exit 1
}
# For a step whose output went to the log.
failShowingLog() {
    echo "FAIL: $*"
    tail -n 40 "$log"
    exit 1
}

cpack --config "$build/CPackConfig.cmake" -G DEB -B "$work/package" >"$log" 2>&1 ||
    failShowingLog "cpack could not make the package"
arch=$(dpkg --print-architecture)
deb=$work/package/twinscope_${version}_${arch}.deb
[ -f "$deb" ] || fail "no $(basename "$deb"); cpack made: $(ls "$work/package")"

field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = twinscope ] || fail "Package: $(field Package)"
[ "$(field Version)" = "$version" ] || fail "Version: $(field Version)"
[ "$(field Architecture)" = "$arch" ] || fail "Architecture: $(field Architecture)"
[ "$(field Section)" = utils ] || fail "Section: $(field Section)"
[ "$(field Maintainer)" = "Twinscope developers <twinscope@hollowbright.example>" ] ||
    fail "Maintainer: $(field Maintainer)"
# Worked out by dpkg-shlibdeps from the programs' shared libraries.
for library in libc6 libqt6widgets6 libxxhash0 libsqlite3-0; do
    field Depends | grep -q "\\b$library\\b" || fail "Depends lacks $library: $(field Depends)"
done

# Lintian's errors and warnings both fail; its notes for information are shown.
lintian --fail-on error,warning --display-info "$deb" >"$log" 2>&1 || failShowingLog "lintian"
grep -v "running with root privileges" "$log" || true

tree=$work/tree
dpkg-deb -x "$deb" "$tree"
for file in bin/twinscope bin/twinscope-cli share/applications/example.hollowbright.Twinscope.desktop \
            share/metainfo/example.hollowbright.Twinscope.metainfo.xml \
            share/icons/hicolor/64x64/apps/twinscope.png share/icons/hicolor/256x256/apps/twinscope.png \
            share/man/man1/twinscope.1.gz share/man/man1/twinscope-cli.1.gz \
            share/doc/twinscope/copyright share/doc/twinscope/changelog.gz; do
    [ -f "$tree/usr/$file" ] || fail "the package lacks /usr/$file"
done
for program in twinscope twinscope-cli; do
    readelf -S "$tree/usr/bin/$program" | grep -q '\.symtab' && fail "$program is not stripped"
done
gzip -dc "$tree/usr/share/doc/twinscope/changelog.gz" >"$work/changelog"
[ "$(dpkg-parsechangelog -l "$work/changelog" -S Version)" = "$version" ] ||
    fail "the changelog's latest entry is not $version; add one"
appstreamcli validate-tree --no-net "$tree" >"$log" 2>&1 || failShowingLog "appstreamcli validate-tree"

installed=yes
DEBIAN_FRONTEND=noninteractive apt-get install -y -o DPkg::Lock::Timeout=120 "$deb" >"$log" 2>&1 ||
    failShowingLog "apt-get install"
[ "$(packageState)" = installed ] || fail "the package is $(packageState) after apt-get install"
dpkg -L twinscope >"$work/files"

entry=/usr/share/applications/example.hollowbright.Twinscope.desktop
grep -q '^Exec="/usr/bin/twinscope" %f$' "$entry" || fail "Exec of $entry: $(grep ^Exec "$entry")"
desktop-file-validate "$entry"
/usr/bin/twinscope-cli --version | grep -q "^twinscope-cli " || fail "twinscope-cli --version"

mkdir -p "$folder/sub"
echo same >"$folder/a"
echo same >"$folder/b"
echo same >"$folder/sub/c"
echo other >"$folder/d"
/usr/bin/twinscope-cli --quiet --format fdupes "$folder" >"$work/found" || fail "twinscope-cli"
printf '%s\n' "$folder/b" "$folder/sub/c" "$folder/a" "" | cmp -s - "$work/found" ||
    fail "twinscope-cli found: $(cat "$work/found")"

# The window runs as an ordinary user: a start as root would bring the folder menu entries of
# this machine in line with its fresh settings.
chown -R nobody "$folder"
status=0
runuser -u nobody -- env XDG_CONFIG_HOME="$folder/config" QT_QPA_PLATFORM=offscreen \
    timeout 3 /usr/bin/twinscope "$folder" >"$log" 2>&1 || status=$?
[ "$status" -eq 124 ] || failShowingLog "the installed twinscope ended with $status"

DEBIAN_FRONTEND=noninteractive apt-get purge -y -o DPkg::Lock::Timeout=120 twinscope >"$log" 2>&1 ||
    failShowingLog "apt-get purge"
[ "$(packageState)" = not-installed ] || [ -z "$(packageState)" ] ||
    fail "the package is $(packageState) after apt-get purge"
# Files must be gone; a folder may stay only while it holds something or another package owns it.
left=0
while IFS= read -r path; do
    if [ -d "$path" ] && [ ! -L "$path" ]; then
        if [ -z "$(ls -A "$path")" ] && ! dpkg-query -S "$path" >/dev/null 2>&1; then
            echo "left after removal: $path/"
            left=1
        fi
    elif [ -e "$path" ] || [ -L "$path" ]; then
        echo "left after removal: $path"
        left=1
    fi
done <"$work/files"
[ "$left" -eq 0 ] || fail "files of the package are left under /usr"
echo "package test passed: $(basename "$deb")"

#!/usr/bin/env bash
# Builds the Debian package from a copy of the sources with dpkg-buildpackage (as from a clean
# clone), checks it with lintian, for Debian's hardening and shared libraries, installs it into
# this machine's /usr, uses the installed programs, then purges it and checks that none of its
# files is left. It changes the real /usr, so it runs only as root and only where that is wanted
# (CI=true, or TWINSCOPE_PACKAGE_TEST=1), and leaves alone a machine that already has a
# twinscope package; whatever happens, the package it installed is purged again.
set -euo pipefail
source=$1
text=$2     # the version the programs show
upstream=$3 # the package's version before its Debian revision
skip() {
    echo "SKIP: $*"
    exit 77
}
[ "$(id -u)" -eq 0 ] || skip "not run as root; the package would be installed into /usr"
[ "${CI:-}" = true ] || [ "${TWINSCOPE_PACKAGE_TEST:-}" = 1 ] ||
    skip "it installs into this machine's /usr: set TWINSCOPE_PACKAGE_TEST=1 to run it"
for tool in apt-get dpkg dpkg-deb dpkg-query; do
    command -v "$tool" >/dev/null || skip "$tool missing; not a Debian system"
done
for tool in dpkg-buildpackage dh lintian dpkg-parsechangelog appstreamcli desktop-file-validate readelf; do
    command -v "$tool" >/dev/null || {
        echo "$tool missing (Debian packages dpkg-dev, debhelper, lintian, appstream, desktop-file-utils)"
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
chmod 755 "$work" # the package build's tests run its programs as another user too
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
    tail -n 60 "$log"
    exit 1
}

# The sources as a clean clone has them: the files git knows, as they stand now.
mkdir -p "$work/src"
if git -C "$source" rev-parse --git-dir >/dev/null 2>&1; then
    git -C "$source" ls-files -z --cached --others --exclude-standard |
        (cd "$source" && xargs -0 sh -c 'for f; do if [ -e "$f" ]; then printf "%s\0" "$f"; fi; done' _) |
        tar -C "$source" --null -T - -cf - | tar -C "$work/src" -xf -
else
    tar -C "$source" --exclude='./build*' --exclude='./obj-*' -cf - . | tar -C "$work/src" -xf -
fi
(cd "$work/src" && DEB_BUILD_OPTIONS="parallel=$(nproc)" dpkg-buildpackage -us -uc -b) >"$log" 2>&1 ||
    failShowingLog "dpkg-buildpackage could not make the package"
version=$(dpkg-parsechangelog -l "$work/src/debian/changelog" -S Version)
[ "${version%-*}" = "$upstream" ] || fail "debian/changelog's $version is not $upstream with a revision"
arch=$(dpkg --print-architecture)
deb=$work/twinscope_${version}_${arch}.deb
[ -f "$deb" ] || fail "no $(basename "$deb"); dpkg-buildpackage made: $(ls "$work")"

field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = twinscope ] || fail "Package: $(field Package)"
[ "$(field Version)" = "$version" ] || fail "Version: $(field Version)"
[ "$(field Architecture)" = "$arch" ] || fail "Architecture: $(field Architecture)"
[ "$(field Section)" = utils ] || fail "Section: $(field Section)"
[ "$(field Maintainer)" = "Twinscope developers <twinscope@hollowbright.example>" ] ||
    fail "Maintainer: $(field Maintainer)"
# Worked out by dpkg-shlibdeps from the programs' shared libraries: libcrypto's package too.
for library in libc6 libqt6widgets6 libxxhash0 libsqlite3-0 libssl3 libstdc++6; do
    grep -qw -- "$library" <<<"$(field Depends)" || fail "Depends lacks $library: $(field Depends)"
done
grep -qw xdg-utils <<<"$(field Recommends)" || fail "Recommends: $(field Recommends)"
grep -qw pkexec <<<"$(field Suggests)" || fail "Suggests: $(field Suggests)"

# Lintian's errors and warnings both fail; its notes for information are shown.
lintian --fail-on error,warning --display-info "$deb" >"$log" 2>&1 || failShowingLog "lintian"
grep -v "running with root privileges" "$log" || true

tree=$work/tree
dpkg-deb -x "$deb" "$tree"
for file in bin/twinscope bin/twinscope-cli share/applications/example.hollowbright.Twinscope.desktop \
            share/metainfo/example.hollowbright.Twinscope.metainfo.xml \
            share/polkit-1/actions/example.hollowbright.Twinscope.policy \
            share/icons/hicolor/48x48/apps/twinscope.png share/icons/hicolor/scalable/apps/twinscope.svg \
            share/man/man1/twinscope.1.gz share/man/man1/twinscope-cli.1.gz \
            share/bash-completion/completions/twinscope-cli \
            share/doc/twinscope/copyright share/doc/twinscope/changelog.Debian.gz; do
    [ -f "$tree/usr/$file" ] || fail "the package lacks /usr/$file"
done
# Debian's hardening, as hardening-check looks for it, and libcrypto as a shared library.
for program in twinscope twinscope-cli; do
    binary=$tree/usr/bin/$program
    # Read whole before grep looks (grep -q would end a pipe early).
    sections=$(readelf -S -W "$binary")
    header=$(readelf -h "$binary")
    segments=$(readelf -l -W "$binary")
    dynamic=$(readelf -d -W "$binary")
    symbols=$(readelf --dyn-syms -W "$binary")
    grep -q '\.symtab' <<<"$sections" && fail "$program is not stripped"
    grep -q 'Type:.*DYN' <<<"$header" || fail "$program is not position independent"
    grep -q GNU_RELRO <<<"$segments" || fail "$program has no read-only relocations"
    grep -Eq 'BIND_NOW|FLAGS_1.*NOW' <<<"$dynamic" || fail "$program is not bound now"
    grep -q '__stack_chk_fail' <<<"$symbols" || fail "$program has no stack protector"
    grep -Eq '__[a-z_]+_chk@' <<<"$symbols" || fail "$program has no fortified functions"
done
grep -q 'NEEDED.*\[libcrypto\.so' <<<"$(readelf -d -W "$tree/usr/bin/twinscope-cli")" ||
    fail "twinscope-cli does not link libcrypto as a shared library"
grep -q "^\.TH .*\"Twinscope $text\"" <<<"$(gzip -dc "$tree/usr/share/man/man1/twinscope-cli.1.gz")" ||
    fail "twinscope-cli(1) does not show $text"
grep -q "<release version=\"$upstream\"" "$tree/usr/share/metainfo/example.hollowbright.Twinscope.metainfo.xml" ||
    fail "the AppStream release is not $upstream"
appstreamcli validate-tree --no-net "$tree" >"$log" 2>&1 || failShowingLog "appstreamcli validate-tree"

installed=yes
DEBIAN_FRONTEND=noninteractive apt-get install -y -o DPkg::Lock::Timeout=120 "$deb" >"$log" 2>&1 ||
    failShowingLog "apt-get install"
[ "$(packageState)" = installed ] || fail "the package is $(packageState) after apt-get install"
dpkg -L twinscope >"$work/files"

entry=/usr/share/applications/example.hollowbright.Twinscope.desktop
grep -q '^Exec="/usr/bin/twinscope" %f$' "$entry" || fail "Exec of $entry: $(grep ^Exec "$entry")"
desktop-file-validate "$entry"
[ "$(/usr/bin/twinscope-cli --version)" = "twinscope-cli $text" ] || fail "twinscope-cli --version"
[ "$(/usr/bin/twinscope --version)" = "twinscope $text" ] || fail "twinscope --version"
# "Open With" offers it for folders: the desktop database was brought up to date.
if [ -f /usr/share/applications/mimeinfo.cache ]; then
    grep -q '^inode/directory=.*example\.hollowbright\.Twinscope\.desktop' /usr/share/applications/mimeinfo.cache ||
        fail "the desktop database does not offer Twinscope for folders"
fi

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

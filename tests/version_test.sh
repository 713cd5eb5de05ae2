#!/usr/bin/env bash
# The one version of CMakeLists.txt everywhere it shows: both programs, both manual pages, the
# report's title, the AppStream release and the Debian changelog.
set -euo pipefail
source=$1 build=$2 text=$3 package=$4 app=$5
failed=0
expect() {
    local what=$1 got=$2 wanted=$3
    if [ "$got" != "$wanted" ]; then
        echo "FAIL: $what shows '$got', not '$wanted'"
        failed=1
    fi
}
expect "twinscope-cli --version" "$("$build/twinscope-cli" --version)" "twinscope-cli $text"
if [ -x "$build/twinscope" ]; then
    expect "twinscope --version" "$("$build/twinscope" --version)" "twinscope $text"
fi
for page in twinscope twinscope-cli; do
    expect "$page.1" "$(sed -n 's/^\.TH [^"]*"[^"]*" "\([^"]*\)".*/\1/p' "$build/$page.1")" "Twinscope $text"
done
folder=$(mktemp -d)
trap 'rm -rf "$folder"' EXIT
expect "the report" "$("$build/twinscope-cli" --quiet --no-cache "$folder" | head -n 1 | tr -d '\r')" \
    "Twinscope $text (1892)"
if [ -f "$build/$app.metainfo.xml" ]; then
    expect "the AppStream release" \
        "$(sed -n 's/.*<release version="\([^"]*\)".*/\1/p' "$build/$app.metainfo.xml" | head -n 1)" "$package"
fi
# The package's version is the upstream one and a Debian revision.
latest=$(sed -n '1s/^twinscope (\([^)]*\)).*/\1/p' "$source/debian/changelog")
expect "debian/changelog" "${latest%-*}" "$package"
[ "$failed" -eq 0 ] && echo "every part shows $text ($package)"
exit "$failed"

#!/usr/bin/env bash
# Started with a folder: tick all but one file of each group and move them away, then tick
# again and delete. Only the ticked files may leave their place, and none may change.
source "$(dirname "$0")/journey-lib.sh"
journey_begin "$@"

tree="$WORK/Music"
dest="$WORK/Kept copies"
mkdir -p "$tree/sub" "$dest"
printf 'the first kind of copy\n' >"$tree/a.txt"
cp "$tree/a.txt" "$tree/b.txt"
cp "$tree/a.txt" "$tree/sub/c.txt"
printf 'a second kind of copy, longer\n' >"$tree/d.dat"
cp "$tree/d.dat" "$tree/sub/e.dat"
printf 'only one of these\n' >"$tree/unique.txt"
pair_size=$((16 << 20))
make_sparse_pair "$tree" same-size-1.bin same-size-2.bin "$pair_size"
before=$(manifest "$tree" "$dest")

# expect_files MANIFEST [FROM TO]...: the files of MANIFEST with FROM now at TO (TO empty: gone)
# must be exactly the files on disk, with the same contents, sizes and times.
expect_files() {
    local -A moved=()
    local listed=$1
    shift
    while (($#)); do
        moved[$1]=$2
        shift 2
    done
    local expected path rest
    expected=$(while IFS=$'\t' read -r path rest; do
        if [ -n "${moved[$path]+set}" ]; then
            [ -n "${moved[$path]}" ] && printf '%s\t%s\n' "${moved[$path]}" "$rest"
        else
            printf '%s\t%s\n' "$path" "$rest"
        fi
    done <<<"$listed" | sort)
    local actual
    actual=$(manifest "$tree" "$dest")
    [ "$actual" = "$expected" ] ||
        fail "files on disk differ from what was expected:
$(diff <(echo "$expected") <(echo "$actual") || true)"
}

no_message() {
    [ -z "$(message_box)" ] || fail "a message box is open after the $1"
}

files_at() {
    local file
    for file in "$@"; do [ -e "$file" ] || return 1; done
}
files_gone() {
    local file
    for file in "$@"; do [ ! -e "$file" ] || return 1; done
}

start_program "$tree"
wait_for_reading 0 "$pair_size" 30
wait_until 30 "the search to end" worker_gone
settle 0.3
note "search ended"

# The list shows b, c, a and e, d: in each group the first-found file comes last, so All but
# one ticks c, a and d.
open_menu 157
menu_key s 2
menu_key a 0
open_menu 157
menu_key m 0
answer_yes
dialog_enter '^Specify a location to move the files to\.' "$dest"
wait_until 20 "the ticked files to arrive" \
    files_at "$dest/c.txt" "$dest/a.txt" "$dest/d.dat"
wait_until 20 "the move to end" worker_gone
settle 0.3
no_message move
expect_files "$before" \
    "$tree/sub/c.txt" "$dest/c.txt" \
    "$tree/a.txt" "$dest/a.txt" \
    "$tree/d.dat" "$dest/d.dat"
note "moved"

# The groups are listed again in the same way: c, a, b and d, e; All but one now ticks a, b
# and e.
open_menu 157
menu_key s 2
menu_key a 0
open_menu 157
menu_key d 0
answer_yes
wait_until 20 "the ticked files to be deleted" \
    files_gone "$dest/a.txt" "$tree/b.txt" "$tree/sub/e.dat"
wait_until 20 "the deletion to end" worker_gone
settle 0.3
no_message deletion
expect_files "$before" \
    "$tree/sub/c.txt" "$dest/c.txt" \
    "$tree/a.txt" "" \
    "$tree/d.dat" "$dest/d.dat" \
    "$tree/b.txt" "" \
    "$tree/sub/e.dat" ""
note "deleted"

exit_through_menu
note "passed"

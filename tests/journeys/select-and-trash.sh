#!/usr/bin/env bash
# Started with a folder: tick all but the oldest file of each group and move them to the trash.
# They must sit in the home trash with records a file manager restores them from; a file changed
# after the search stays, is named in an error box, and its group stays in the list.
source "$(dirname "$0")/journey-lib.sh"
journey_begin "$@"

tree="$WORK/Photos"
photo_tree "$tree"
touch -d '2019-07-01 12:00' "$tree/2019/"*.jpg
touch -d '2021-03-01 12:00' "$tree/copies/"*.jpg
pair_size=$((16 << 20))
make_sparse_pair "$tree" same-size-1.bin same-size-2.bin "$pair_size"
trash="$HOME/.local/share/Trash"

start_program "$tree"
wait_for_reading 0 "$pair_size" 30
wait_until 30 "the search to end" worker_gone
settle 0.3
note "search ended"

# Changed after the search: its move to the trash must be refused.
printf 'a picture EDITED later\n' >"$tree/copies/tree.jpg"

open_menu 157
menu_key s 2
menu_key o 0 # All but the oldest
open_menu 157
menu_key t 0 # Move to Trash
answer_yes
in_trash() { [ -e "$trash/files/beach (copy).jpg" ] && [ -e "$trash/files/beach 100%.jpg" ] &&
    [ -e "$trash/files/cake.jpg" ]; }
wait_until 20 "the ticked files to reach the trash" in_trash
wait_until 20 "the move to the trash to end" worker_gone
# The refused file is named in one error box; Return closes it (OK).
wait_until 10 "the error box" found_box
note "error box shown"
answer_yes
settle 0.3

declare -A original=(["beach (copy).jpg"]=beach.jpg ["beach 100%.jpg"]=beach.jpg ["cake.jpg"]=cake.jpg)
for name in "${!original[@]}"; do
    [ ! -e "$tree/copies/$name" ] || fail "$name is still in its folder"
    cmp -s "$trash/files/$name" "$tree/2019/${original[$name]}" ||
        fail "$name in the trash is not the file that was there"
    record="$trash/info/$name.trashinfo"
    [ "$(sed -n 1p "$record")" = "[Trash Info]" ] || fail "$record has no [Trash Info] line"
    path=$(sed -n 's/^Path=//p' "$record")
    # The recorded path, percent-decoded, is where the file was.
    decoded=$(printf '%b' "${path//%/\\x}")
    [ "$decoded" = "$tree/copies/$name" ] || fail "$record records '$path'"
    grep -Eq '^DeletionDate=[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}$' "$record" ||
        fail "$record has no deletion date"
done
[ -e "$tree/copies/tree.jpg" ] || fail "the changed file was removed"
[ ! -e "$trash/files/tree.jpg" ] || fail "the changed file reached the trash"
for name in beach.jpg cake.jpg tree.jpg; do
    [ -e "$tree/2019/$name" ] || fail "the oldest file $name is gone"
done
note "trash checked"

# The list shows the rest: the report of it holds the one group left.
report="$WORK/after trash.txt"
listed_rows "$report"
[ "${ROWS[*]}" = "1 tree.jpg 1 tree.jpg" ] || fail "the list holds: ${ROWS[*]}"
grep -q "$tree/copies/ *$" <(tr -d '\r' <"$report") || fail "the report does not list copies/tree.jpg"
note "list checked"

exit_through_menu
note "passed"

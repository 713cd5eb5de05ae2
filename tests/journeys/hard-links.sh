#!/usr/bin/env bash
# Started with a folder: tick all but one file of each group and replace them with hard links.
# Every path stays with its bytes, the copies of a group become one file (one inode), a file
# changed after the search stays as it is and is named, and only its group is left in the list.
source "$(dirname "$0")/journey-lib.sh"
journey_begin "$@"

tree="$WORK/Photos"
photo_tree "$tree"

start_program "$tree"
wait_until 30 "the search to end" worker_gone
settle 0.3
note "search ended"

# Changed after the search: its replacement must be refused.
printf 'a picture EDITED later\n' >"$tree/copies/tree.jpg"

open_menu 157
menu_key s 2
menu_key a 0 # All but one
open_menu 157
menu_key h 0 # Replace with hard links
# No is the default of this question: Yes takes Alt+Y.
wait_until 10 "the question box" found_box
box=$FOUND_WIN
wait_until 5 "the question box to take the keyboard" has_focus "$box"
settle
press alt+y
wait_until 5 "the question box to close" window_gone "$box"
wait_until 20 "the replacement to end" worker_gone
wait_until 10 "the error box" found_box
note "error box shown"
answer_yes
settle 0.3

inode() { stat -c %i "$1"; }
for name in "copies/beach (copy).jpg" "copies/beach 100%.jpg"; do
    [ "$(inode "$tree/$name")" = "$(inode "$tree/2019/beach.jpg")" ] || fail "$name is not linked"
    [ "$(cat "$tree/$name")" = "a holiday picture" ] || fail "$name lost its bytes"
done
[ "$(stat -c %h "$tree/2019/beach.jpg")" = 3 ] || fail "beach.jpg does not have three names"
[ "$(inode "$tree/copies/cake.jpg")" = "$(inode "$tree/2019/cake.jpg")" ] || fail "cake.jpg is not linked"
[ "$(inode "$tree/copies/tree.jpg")" != "$(inode "$tree/2019/tree.jpg")" ] || fail "the changed file was linked"
[ "$(cat "$tree/copies/tree.jpg")" = "a picture EDITED later" ] || fail "the changed file lost its bytes"
[ -z "$(find "$tree" -name '.twinscope-*')" ] || fail "a private name was left: $(find "$tree" -name '.twinscope-*')"
note "inodes checked"

# The list shows the rest: the report of it holds the one group left.
report="$WORK/after links.txt"
listed_rows "$report"
[ "${ROWS[*]}" = "1 tree.jpg 1 tree.jpg" ] || fail "the list holds: ${ROWS[*]}"
note "list checked"

exit_through_menu
note "passed"

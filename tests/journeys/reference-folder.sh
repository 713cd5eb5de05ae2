#!/usr/bin/env bash
# Two folders searched at once, one of them a read-only backup set as a reference in the search
# scope dialog; then All but one and Move to Trash. The backup must be exactly as it was, and
# every other copy of a backed-up file in the trash.
source "$(dirname "$0")/journey-lib.sh"
journey_begin "$@"

music="$WORK/Music"
backup="$WORK/Backup"
mkdir -p "$music/2020" "$backup/old"
printf 'song one\n' >"$music/one.mp3"
cp "$music/one.mp3" "$music/2020/one (copy).mp3"
printf 'song two\n' >"$music/two.mp3"
printf 'song three, not backed up\n' >"$music/three.mp3"
cp "$music/three.mp3" "$music/2020/three.mp3"
cp "$music/one.mp3" "$backup/one.mp3"
cp "$music/two.mp3" "$backup/old/two.mp3"
printf 'only in the backup\n' >"$backup/lone.mp3"
cp "$backup/lone.mp3" "$backup/old/lone.mp3"
chmod a-w "$backup"/*.mp3 "$backup"/old/*.mp3
before=$(manifest "$backup")
trash="$HOME/.local/share/Trash"

start_program
open_menu 95
menu_key o 0 # Search scope...
wait_until 10 "the search scope dialog" found_window '^Search scope$'
scope=$FOUND_WIN
wait_until 5 "the dialog to take the keyboard" has_focus "$scope"
settle
press alt+a # Add...
dialog_enter '^Add a folder to the search$' "$backup"
wait_until 5 "the scope dialog to take the keyboard again" has_focus "$scope"
settle
press space # the folder just added becomes a reference
press Return
wait_until 5 "the scope dialog to close" window_gone "$scope"
note "scope set"

click 300 64
wait_until 5 "the main window to take the keyboard" has_focus "$MAIN_WIN"
settle
type_text "$music"
press Return
answer_yes
wait_until 30 "the search to end" worker_gone
settle 0.3
all_but_one_to_trash
wait_until 20 "the move to the trash to end" worker_gone

[ "$(manifest "$backup")" = "$before" ] || fail "the backup changed"
for name in "one.mp3" "one (copy).mp3" "two.mp3"; do
    [ -e "$trash/files/$name" ] || fail "$name is not in the trash"
done
# Without a reference file, a group keeps its first listed file.
[ "$(find "$music" -type f | wc -l)" -eq 1 ] || fail "Music holds: $(find "$music" -type f)"
[ "$(find "$trash/files" -type f | wc -l)" -eq 4 ] || fail "the trash holds: $(ls "$trash/files")"
exit_through_menu
note "passed"

#!/usr/bin/env bash
# SIGTERM (as at a logout) while files go to the trash: the program ends soon, but only after the
# file under way; every ticked file is either in its folder under its own name or in the trash
# with its record, and no file is left under a private name.
source "$(dirname "$0")/journey-lib.sh"
journey_begin "$@"

tree="$WORK/Music"
count=1500
for ((i = 0; i < count; i++)); do
    mkdir -p "$tree/album $i"
    printf 'song %d\n' "$i" >"$tree/album $i/a.ogg"
    printf 'song %d\n' "$i" >"$tree/album $i/b.ogg"
done
trash="$HOME/.local/share/Trash"

start_program "$tree"
wait_until 30 "the search to end" worker_gone
settle 0.3
note "search ended"

all_but_one_to_trash
some_in_trash() { compgen -G "$trash/files/*" >/dev/null; }
wait_until 20 "the first file in the trash" some_in_trash
kill -TERM "$APP_PID"
note "SIGTERM sent"
wait_until 20 "the program to end after SIGTERM" app_ended
status=0
wait "$APP_PID" || status=$?
APP_PID=""
[ "$status" -eq 0 ] || fail "the program ended with status $status"

left=$(find "$tree" -name '.twinscope-*' | head -n 3)
[ -z "$left" ] || fail "files left under a private name: $left"
trashed=0
for ((i = 0; i < count; i++)); do
    for name in a.ogg b.ogg; do
        [ -e "$tree/album $i/$name" ] && continue
        trashed=$((trashed + 1))
    done
    [ -e "$tree/album $i/a.ogg" ] || [ -e "$tree/album $i/b.ogg" ] || fail "album $i lost both"
done
in_trash=$(find "$trash/files" -type f | wc -l)
records=$(find "$trash/info" -name '*.trashinfo' | wc -l)
[ "$in_trash" -eq "$trashed" ] || fail "$trashed files left their folders, $in_trash are in the trash"
[ "$records" -eq "$in_trash" ] || fail "$in_trash files in the trash, $records records"
note "$trashed of $count ticked files in the trash, the rest in place"
note "passed"

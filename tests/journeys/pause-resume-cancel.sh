#!/usr/bin/env bash
# A long search started from the command line: pause it, resume it, cancel it, then check that
# the window still serves a new search and closes.
source "$(dirname "$0")/journey-lib.sh"
journey_begin "$@"

# Two equal sparse files: digesting them takes far longer than this journey, yet they use no
# storage.
big="$WORK/Big"
mkdir -p "$big"
size=$((16 << 30))
truncate -s "$size" "$big/one.bin" "$big/two.bin"
((($(du -k "$big/one.bin" | cut -f1)) < 1024)) ||
    fail "this file system does not keep sparse files (needed for large test files)"
small="$WORK/Small"
mkdir -p "$small"
printf 'copy\n' >"$small/a.txt"
cp "$small/a.txt" "$small/b.txt"
pair_size=$((16 << 20))
make_sparse_pair "$small" same-size-1.bin same-size-2.bin "$pair_size"

chunk=$((256 << 20))
quiet=$((64 << 10))

start_program "$big"
wait_for_reading 0 "$chunk" 20
worker_running || fail "no worker thread while the search reads"
note "search is reading"

# Reads stop once the run is paused; a read under way may still finish.
reads_settled() {
    local before
    before=$(bytes_read)
    sleep 0.3
    (($(bytes_read) - before < quiet))
}

click 700 64
wait_until 5 "reading to stop after Pause" reads_settled
read0=$(bytes_read)
cpu0=$(cpu_ticks)
sleep 1.2
read1=$(bytes_read)
cpu1=$(cpu_ticks)
((read1 - read0 < quiet)) || fail "the paused search read $((read1 - read0)) bytes in 1.2 s"
# Idle timers cost a little; a digest would use the whole 1.2 s of a core (120 ticks).
((cpu1 - cpu0 < 30)) || fail "the paused program used $((cpu1 - cpu0)) ticks of processor time in 1.2 s"
worker_running || fail "the worker thread ended while paused"
note "paused: $((read1 - read0)) bytes read, $((cpu1 - cpu0)) ticks in 1.2 s"

click 700 64
wait_for_reading "$read1" "$chunk" 10
note "resumed"

# The arrow at the right of the split button opens the run menu; Cancel asks first.
click 741 64
wait_until 5 "the run menu" menus_open 1
settle 0.1
menu_key c 0
answer_yes
cancelled=$SECONDS
wait_until 5 "the worker thread to end after Cancel" worker_gone
wait_until 5 "reading to stop after Cancel" reads_settled
app_alive || fail "the program ended after Cancel"
note "cancelled: worker ended within $((SECONDS - cancelled)) s"

# The window still works: a new search of another folder, typed into the box.
click 300 64
wait_until 5 "the main window to take the keyboard" has_focus "$MAIN_WIN"
settle
press ctrl+a
type_text "$small"
press Return
base=$(bytes_read)
answer_yes
wait_for_reading "$base" "$pair_size" 20
wait_until 20 "the second search to end" worker_gone
settle 0.3
note "second search ended"

exit_through_menu
note "passed"

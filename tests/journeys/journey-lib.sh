# Shared by the journeys (sourced): a private X server, the real program in its own temporary
# home, real input through xdotool, and waits that poll a condition until a deadline.
#
# A journey calls journey_begin PROGRAM first. Everything it starts (Xvfb, the program) and its
# temporary folder are ended and removed on exit, and nothing else.

set -euo pipefail

JOURNEY_NAME=$(basename "$0" .sh)
JOURNEY_START=$SECONDS
# The whole journey must end well within CTest's timeout, so no single wait may run past this.
JOURNEY_LIMIT=60
WORK=""
XVFB_PID=""
APP_PID=""
MAIN_WIN=""

# The worker thread of a search or a file operation (its name cut to 15 bytes by the kernel).
WORKER_COMM="Twinscope File "

JOURNEY_CLOCK=${EPOCHREALTIME/[.,]/}

note() {
    local ms=$(((${EPOCHREALTIME/[.,]/} - JOURNEY_CLOCK) / 1000))
    printf '[%s %2d.%02ds] %s\n' "$JOURNEY_NAME" $((ms / 1000)) $((ms % 1000 / 10)) "$*" >&2
}

fail() {
    note "FAIL: $*"
    exit 1
}

# wait_until SECONDS WHAT COMMAND...: polls COMMAND until it succeeds; fails naming WHAT after
# SECONDS (or sooner, when the journey's own limit comes first).
wait_until() {
    local seconds=$1 what=$2
    shift 2
    local deadline=$((SECONDS + seconds))
    ((deadline > JOURNEY_START + JOURNEY_LIMIT)) && deadline=$((JOURNEY_START + JOURNEY_LIMIT))
    until "$@"; do
        ((SECONDS < deadline)) || fail "timed out waiting for $what"
        sleep 0.05
    done
}

settle() { sleep "${1:-0.2}"; }

require_tools() {
    local tool missing=""
    for tool in Xvfb xdotool; do
        command -v "$tool" >/dev/null || missing+=" $tool"
    done
    [ -z "$missing" ] ||
        fail "missing:$missing (a journey needs a virtual X server and real input: apt-get install -y xvfb xdotool)"
}

cleanup() {
    local status=$?
    trap - EXIT
    set +e
    if [ "$status" -ne 0 ] && [ "${JOURNEY_KEEP:-0}" = 1 ] && [ -n "$XVFB_PID" ] &&
        command -v import >/dev/null; then
        import -window root "$WORK/failure.png" 2>/dev/null
    fi
    if [ -n "$APP_PID" ] && app_alive; then
        [ "$status" -eq 0 ] || note "the program is still running; ending it"
        kill -TERM "$APP_PID" 2>/dev/null || true
        local deadline=$((SECONDS + 5))
        while app_alive && ((SECONDS < deadline)); do sleep 0.05; done
        app_alive && kill -KILL "$APP_PID" 2>/dev/null
        wait "$APP_PID" 2>/dev/null
    fi
    if [ "$status" -ne 0 ] && [ -n "$WORK" ] && [ -s "$WORK/program.log" ]; then
        echo "--- program output:" >&2
        cat "$WORK/program.log" >&2
    fi
    if [ -n "$XVFB_PID" ]; then
        kill -TERM "$XVFB_PID" 2>/dev/null || true
        wait "$XVFB_PID" 2>/dev/null
    fi
    if [ -n "$WORK" ]; then
        if [ "${JOURNEY_KEEP:-0}" = 1 ]; then
            note "kept $WORK"
        else
            rm -rf "$WORK"
        fi
    fi
    exit "$status"
}

# journey_begin PROGRAM: checks the tools, makes the temporary home and starts Xvfb on a free
# display.
journey_begin() {
    PROGRAM=${1:?usage: $0 PATH-TO-TWINSCOPE}
    [ -x "$PROGRAM" ] || fail "no program at $PROGRAM"
    PROGRAM=$(cd "$(dirname "$PROGRAM")" && pwd)/$(basename "$PROGRAM")
    require_tools
    trap cleanup EXIT
    trap 'exit 130' INT TERM HUP
    WORK=$(mktemp -d "${TMPDIR:-/tmp}/twinscope-journey.XXXXXX")
    mkdir -p "$WORK/home" "$WORK/config" "$WORK/runtime"
    chmod 700 "$WORK/runtime"

    # Xvfb picks a free display itself and writes its number once it accepts connections.
    local fd
    exec {fd}>"$WORK/display"
    Xvfb -displayfd "$fd" -screen 0 1024x768x24 -nolisten tcp -noreset >"$WORK/xvfb.log" 2>&1 &
    XVFB_PID=$!
    exec {fd}>&-
    wait_until 15 "Xvfb to start" xvfb_ready
    DISPLAY=":$(tr -d '[:space:]' <"$WORK/display")"
    export DISPLAY
    note "Xvfb on $DISPLAY"

    # The program sees only the journey's own home, settings and X server.
    export HOME="$WORK/home" XDG_CONFIG_HOME="$WORK/config" XDG_RUNTIME_DIR="$WORK/runtime"
    export QT_QPA_PLATFORM=xcb LC_ALL=C.UTF-8
    unset DBUS_SESSION_BUS_ADDRESS SESSION_MANAGER QT_SCALE_FACTOR QT_SCREEN_SCALE_FACTORS \
        QT_AUTO_SCREEN_SCALE_FACTOR QT_QPA_PLATFORMTHEME QT_STYLE_OVERRIDE
}

xvfb_ready() {
    kill -0 "$XVFB_PID" 2>/dev/null || fail "Xvfb ended: $(cat "$WORK/xvfb.log")"
    grep -q '^[0-9]' "$WORK/display" 2>/dev/null
}

# start_program [ARGUMENTS...]: starts the program in the journey's folder and waits for its
# main window, which must have its designed size (the clicks below depend on it).
start_program() {
    (cd "$WORK" && exec "$PROGRAM" "$@") >"$WORK/program.log" 2>&1 &
    APP_PID=$!
    wait_until 20 "the main window" main_window_shown
    local size
    size=$(xdotool getwindowgeometry "$MAIN_WIN" | awk '/Geometry:/ { print $2 }')
    [ "$size" = 753x508 ] || fail "the main window is $size, not 753x508"
    note "main window shown"
}

main_window_shown() {
    app_alive || fail "the program ended early"
    MAIN_WIN=$(app_windows '^Twinscope$' | head -n 1)
    [ -n "$MAIN_WIN" ]
}

app_state() { sed 's/.*) //' "/proc/$APP_PID/stat" 2>/dev/null | cut -d' ' -f1; }

app_alive() {
    local state
    state=$(app_state)
    [ -n "$state" ] && [ "$state" != Z ] && [ "$state" != X ]
}

app_ended() { ! app_alive; }

# The visible top-level windows of the program whose title matches a regular expression.
app_windows() {
    xdotool search --all --onlyvisible --pid "$APP_PID" --name "$1" 2>/dev/null || true
}

# Menus are title-less top-level windows.
open_menus() { app_windows '^$' | wc -l; }
menus_open() { [ "$(open_menus)" -eq "$1" ]; }

# A message box: a further window titled like the main window.
message_box() { app_windows '^Twinscope$' | grep -vx "$MAIN_WIN" | head -n 1; }

has_focus() { [ "$(xdotool getwindowfocus 2>/dev/null)" = "$1" ]; }
window_shown() { app_windows '.' | grep -qx "$1"; }
window_gone() { ! window_shown "$1"; }

# click X Y: a left click at client coordinates of the main window.
click() {
    app_alive || fail "the program ended early"
    xdotool mousemove --window "$MAIN_WIN" "$1" "$2" click 1
}

type_text() { xdotool type --delay 15 -- "$1"; }
press() { xdotool key -- "$@"; }

# open_menu X: clicks a tool bar button and waits for its menu.
open_menu() {
    click "$1" 14
    wait_until 5 "the menu under x=$1" menus_open 1
    settle 0.1
}

# menu_key KEY MENUS: presses a mnemonic in the open menu and waits until MENUS menus are open.
menu_key() {
    press "$1"
    wait_until 5 "the menu after '$1'" menus_open "$2"
    settle 0.1
}

FOUND_WIN=""
found_box() { FOUND_WIN=$(message_box); [ -n "$FOUND_WIN" ]; }
found_window() { FOUND_WIN=$(app_windows "$1" | head -n 1); [ -n "$FOUND_WIN" ]; }

# answer_yes: waits for a question box, gives it the Return key (Yes is the default) and waits
# for it to close.
answer_yes() {
    wait_until 10 "a question box" found_box
    local box=$FOUND_WIN
    wait_until 5 "the question box to take the keyboard" has_focus "$box"
    settle
    press Return
    wait_until 5 "the question box to close" window_gone "$box"
}

# dialog_enter TITLE-REGEX TEXT: waits for a file dialog, types TEXT into its name field (which
# has the focus), presses Return and waits for the dialog to close.
dialog_enter() {
    local pattern=$1 text=$2
    wait_until 10 "the dialog /$pattern/" found_window "$pattern"
    local dialog=$FOUND_WIN
    wait_until 5 "the dialog to take the keyboard" has_focus "$dialog"
    settle
    press ctrl+a
    type_text "$text"
    settle
    press Return
    wait_until 10 "the dialog to close" window_gone "$dialog"
}

# photo_tree FOLDER: three groups of pictures, 2019/ holding one of each and copies/ the others:
# beach.jpg (three files), cake.jpg and tree.jpg (two each).
photo_tree() {
    local tree=$1
    mkdir -p "$tree/2019" "$tree/copies"
    printf 'a holiday picture\n' >"$tree/2019/beach.jpg"
    cp "$tree/2019/beach.jpg" "$tree/copies/beach (copy).jpg"
    cp "$tree/2019/beach.jpg" "$tree/copies/beach 100%.jpg"
    printf 'a birthday picture\n' >"$tree/2019/cake.jpg"
    cp "$tree/2019/cake.jpg" "$tree/copies/cake.jpg"
    printf 'a picture edited later\n' >"$tree/2019/tree.jpg"
    cp "$tree/2019/tree.jpg" "$tree/copies/tree.jpg"
}

# listed_rows FILE: saves the list as a report in FILE (File > Save search result) and sets ROWS to
# the group number and name of each listed file.
ROWS=()
listed_rows() {
    local report=$1
    open_menu 31
    menu_key s 0
    dialog_enter '^Save search result as' "$report"
    report_written() { [ "$(tail -c 5 "$report" 2>/dev/null | od -An -tx1 | tr -d ' \n')" = 454f460d0a ]; }
    wait_until 10 "the report file" report_written
    mapfile -t ROWS < <(tr -d '\r' <"$report" | awk 'NR > 7 && NF >= 6 { print $1, $2 }')
}

# all_but_one_to_trash: Duplicated > Select > All but one, then Move to Trash, confirmed.
all_but_one_to_trash() {
    open_menu 157
    menu_key s 2
    menu_key a 0
    open_menu 157
    menu_key t 0
    answer_yes
}

worker_running() { grep -qsx "$WORKER_COMM" /proc/"$APP_PID"/task/*/comm; }
worker_gone() { ! worker_running; }

# Bytes the program has read through system calls. Holes of sparse files read as zeros count
# here, though no storage is touched (read_bytes would stay 0).
bytes_read() { awk '/^rchar:/ { print $2 }' "/proc/$APP_PID/io"; }

# Processor time of all the program's threads, in clock ticks.
cpu_ticks() { sed 's/.*) //' "/proc/$APP_PID/stat" | awk '{ print $12 + $13 }'; }

read_at_least() {
    app_alive || fail "the program ended early"
    (($(bytes_read) >= $1))
}

# wait_for_reading BASE BYTES SECONDS: waits until the program has read BYTES more than BASE.
wait_for_reading() {
    wait_until "$3" "the program to read $(($2 >> 20)) MiB" read_at_least $(($1 + $2))
}

# make_sparse_pair FOLDER NAME1 NAME2 BYTES: two files of one size and the same first bytes that
# differ only in their last byte: no duplicates, but the search reads them through to tell them
# apart. Those reads are a sign, which no earlier moment gives, that a run really took place
# (a run over a few small files may come and go between two looks at its thread). Holes cost
# no storage.
make_sparse_pair() {
    local folder=$1 size=$4
    truncate -s "$size" "$folder/$2" "$folder/$3"
    printf 'x' | dd of="$folder/$3" bs=1 seek=$((size - 1)) conv=notrunc status=none
    local used
    used=$(du -k "$folder/$2" | cut -f1)
    ((used < 1024)) || fail "this file system does not keep sparse files (needed for large test files)"
}

# A list of every file under the given folders: path, SHA-1, size and modification time.
manifest() {
    local folder
    for folder in "$@"; do
        find "$folder" -type f -printf '%p\t%s\t%T@\n'
    done | sort | while IFS=$'\t' read -r path size mtime; do
        printf '%s\t%s\t%s\t%s\n' "$path" "$(sha1sum <"$path" | cut -d' ' -f1)" "$size" "$mtime"
    done
}

# exit_through_menu: File > Exit, then the program must end by itself, with status 0.
exit_through_menu() {
    open_menu 31
    menu_key e 0
    wait_until 15 "the program to end after File > Exit" app_ended
    local status=0
    wait "$APP_PID" || status=$?
    APP_PID=""
    [ "$status" -eq 0 ] || fail "the program ended with status $status"
}

#!/usr/bin/env bash
# Started without a folder: type one into the path box, confirm the search, save the report
# through the File menu and read the saved file.
source "$(dirname "$0")/journey-lib.sh"
journey_begin "$@"

tree="$WORK/Photos"
mkdir -p "$tree/sub"
printf 'the first kind of copy\n' >"$tree/a.txt"
cp "$tree/a.txt" "$tree/b.txt"
cp "$tree/a.txt" "$tree/sub/c.txt"
printf 'a second kind of copy, longer\n' >"$tree/d.dat"
cp "$tree/d.dat" "$tree/sub/e.dat"
printf 'only one of these\n' >"$tree/unique.txt"
pair_size=$((16 << 20))
make_sparse_pair "$tree" same-size-1.bin same-size-2.bin "$pair_size"
report="$WORK/saved report.txt"

start_program
# The box shows its hint until it is clicked; what is typed must replace it, not join it.
click 300 64
wait_until 5 "the main window to take the keyboard" has_focus "$MAIN_WIN"
settle
type_text "$tree"
press Return
base=$(bytes_read)
answer_yes
note "search confirmed"
wait_for_reading "$base" "$pair_size" 30
wait_until 30 "the search to end" worker_gone
settle 0.3
note "search ended"

open_menu 31
menu_key s 0
dialog_enter '^Save search result as' "$report"
# The file is complete once it ends with "EOF" and CR LF.
report_written() { [ "$(tail -c 5 "$report" 2>/dev/null | od -An -tx1 | tr -d ' \n')" = 454f460d0a ]; }
wait_until 10 "the report file" report_written
note "report saved"

mapfile -t lines < <(sed 's/\r$//' "$report")
total=$(wc -l <"$report")
crlf=$(grep -c $'\r$' "$report" || true)
[ "$crlf" -eq "$total" ] || fail "only $crlf of $total report lines end with CR LF"

expect_line() { [ "${lines[$1]}" = "$2" ] || fail "report line $(($1 + 1)) is '${lines[$1]}', expected '$2'"; }
[[ ${lines[0]} == "Twinscope v"* ]] || fail "report title: '${lines[0]}'"
[[ ${lines[1]} == "Date: "*", Time: "* ]] || fail "report date: '${lines[1]}'"
expect_line 2 ""
expect_line 3 "Search path: $tree/"
# Eight files: the five copies, the unique file and the same-size pair.
[[ ${lines[4]} =~ ^Search\ results:\ 5\ duplicated\ files\ found\ \(of\ 8\ files\)\.\ Total\ time:\ [0-9]{2}:[0-9]{2}:[0-9]{2}\.$ ]] ||
    fail "summary line: '${lines[4]}'"
expect_line 5 ""
[[ ${lines[6]} =~ ^#\ +Name\ +Size\ +Hash\ +Modified\ +Path\ *$ ]] || fail "table header: '${lines[6]}'"

# Groups in the order their first file was found; in a group the first-found file comes last.
expected=(
    "1 b.txt $tree/"
    "1 c.txt $tree/sub/"
    "1 a.txt $tree/"
    "2 e.dat $tree/sub/"
    "2 d.dat $tree/"
)
count=${#expected[@]}
for ((i = 0; i < count; i++)); do
    line=${lines[7 + i]}
    read -r group name size unit hash modified folder rest <<<"$line"
    [ "$group $name $folder" = "${expected[i]}" ] && [ "$unit" = bytes ] && [ -z "$rest" ] ||
        fail "table line $((i + 1)) is '$line', expected '${expected[i]}'"
    file="$folder$name"
    [ "$size" = "$(stat -c %s "$file")" ] || fail "size of $name: $size"
    [ "$hash" = "$(sha1sum <"$file" | cut -d' ' -f1)" ] || fail "hash of $name: $hash"
    [ -n "$modified" ] || fail "no date for $name"
done
expect_line $((7 + count)) ""
expect_line $((8 + count)) "EOF"
[ "${#lines[@]}" -eq $((9 + count)) ] || fail "the report has ${#lines[@]} lines"

exit_through_menu
note "passed"

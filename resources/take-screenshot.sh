#!/usr/bin/env bash
# Takes resources/screenshot.png: the window after a search of a small demonstration tree,
# under a virtual X server. Needs xvfb, xauth and imagemagick (apt-get install -y xvfb xauth
# imagemagick).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cmake -S "$root" -B "$root/build" -G Ninja >/dev/null
cmake --build "$root/build" --target twinscope >/dev/null

demo=$(mktemp -d)
config=$(mktemp -d)
trap 'rm -rf "$demo" "$config"' EXIT
make() { mkdir -p "$(dirname "$demo/$1")"; head -c "$2" /dev/zero | tr '\0' "$3" >"$demo/$1"; }
make "Pictures/2019/Holiday/IMG_0412.jpg" 482133 a
make "Pictures/Phone backup/IMG_0412.jpg" 482133 a
make "Pictures/2019/Holiday/IMG_0413.jpg" 501277 b
make "Pictures/To sort/IMG_0413 (1).jpg" 501277 b
make "Pictures/To sort/IMG_0413 (2).jpg" 501277 b
make "Music/Album/01 - Opening.flac" 2811520 c
make "Music/Downloads/01 - Opening.flac" 2811520 c
make "Documents/Invoice 2023-04.pdf" 88412 d
make "Documents/Mail attachments/Invoice 2023-04.pdf" 88412 d
make "Documents/Report.odt" 23110 e

export XDG_CONFIG_HOME=$config
xvfb-run -a -s "-screen 0 769x546x24" bash -c "
    '$root/build/twinscope' '$demo' &
    pid=\$!
    sleep 3
    import -window root -crop 753x508+0+0 '$root/resources/screenshot.png'
    kill \$pid"
echo "resources/screenshot.png written"

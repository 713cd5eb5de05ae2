#!/usr/bin/env bash
# Times twinscope-cli against jdupes, fdupes and rdfind on generated corpora, warm cache, and
# checks that twinscope-cli's groups equal jdupes' groups.
#
#   bench/run.sh [-n RUNS] [-t SECONDS] [CORPUS...]
#
# CORPUS: small mixed large near tiny flat, or sameN-start|middle|end (large files in groups of
# N of one size that differ from one another in one byte there; default: mixed).
#
# A run that takes longer than SECONDS (default 300) is stopped and shown as such.
#
# Corpora are written once under bench/corpora/ (gitignored) and reused. For each corpus the
# window is measured too: how long the list takes to fill after the matching, and the worst
# delay of its event loop during the search (offscreen, so no display is needed).
set -euo pipefail

runs=3
limit=300
while getopts "n:t:" opt; do
    case $opt in
    n) runs=$OPTARG ;;
    t) limit=$OPTARG ;;
    *) exit 2 ;;
    esac
done
shift $((OPTIND - 1))
corpora=("${@:-mixed}")

root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build-bench
work=$root/bench/corpora
results=$root/bench/results
mkdir -p "$work" "$results"

need=()
for tool in jdupes fdupes rdfind python3; do
    command -v "$tool" >/dev/null || need+=("$tool")
done
[ -x /usr/bin/time ] || need+=(time)
if [ ${#need[@]} -gt 0 ]; then
    apt-get install -y "${need[@]}" >/dev/null
fi

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTWINSCOPE_BUILD_TESTS=OFF \
    -DTWINSCOPE_STATIC_CLI=ON >/dev/null
cmake --build "$build" >/dev/null
cmake --build "$build" --target twinscope-window-bench >/dev/null
cli=$build/twinscope-cli

for corpus in "${corpora[@]}"; do
    dir=$work/$corpus
    if [ ! -f "$dir.done" ]; then
        echo "Generating corpus $corpus ..." >&2
        rm -rf "$dir"
        "$build/twinscope-make-corpus" "$corpus" "$dir"
        touch "$dir.done"
    fi
done

python3 - "$runs" "$cli" "$work" "$results" "$limit" "${corpora[@]}" <<'PY'
import os, platform, statistics, subprocess, sys, time

runs, cli, work, results = int(sys.argv[1]), sys.argv[2], sys.argv[3], sys.argv[4]
limit = int(sys.argv[5])
corpora = sys.argv[6:]

def tools(corpus, folder):
    cache = os.path.join(results, f"digests-{corpus}.sqlite")
    if os.path.exists(cache):
        os.remove(cache)
    first = [cli, "--quiet", "--no-cache"]
    fresh = os.path.join(results, f"first-{corpus}.sqlite")
    listed = [
        ("twinscope-cli sha1", first + ["--format", "fdupes", "--hash", "sha1", folder]),
        ("twinscope-cli md5", first + ["--format", "fdupes", "--hash", "md5", folder]),
        # A first search with the cache on, as the window and twinscope-cli search by default:
        # its cache file is removed before each run.
        ("twinscope-cli sha1, cache on, first search",
         [cli, "--quiet", "--cache-file", fresh, "--format", "fdupes", "--hash", "sha1", folder]),
    ]
    if corpus in ("tiny", "flat"):
        # Memory of the other output formats, where a million files make it matter.
        for fmt in ("json", "report"):
            listed.append((f"twinscope-cli sha1 {fmt}",
                           first + ["--format", fmt, "--hash", "sha1", folder]))
    # The warm-up run fills the cache, so the timed runs are second searches of an unchanged tree.
    listed.append(("twinscope-cli sha1, digests kept",
                   [cli, "--quiet", "--cache-file", cache, "--format", "fdupes", "--hash", "sha1",
                    folder]))
    listed.append(("find -type f -printf '%s\\n'",
                   ["find", folder, "-type", "f", "-printf", "%s\\n"]))
    return listed + [
        ("jdupes -r -q", ["jdupes", "-r", "-q", folder]),
        ("fdupes -r -q", ["fdupes", "-r", "-q", folder]),
        ("rdfind -dryrun true", ["rdfind", "-dryrun", "true", "-outputname",
                                 os.path.join(results, "rdfind.txt"), folder]),
    ]

def run(command):
    """Wall time in seconds, peak memory in KiB and standard output of one run; nothing when
    the run took longer than the limit."""
    # A cache for first searches starts each run empty.
    if "--cache-file" in command:
        cache = command[command.index("--cache-file") + 1]
        for suffix in ("", "-journal", "-wal", "-shm"):
            if os.path.basename(cache).startswith("first-") and os.path.exists(cache + suffix):
                os.remove(cache + suffix)
    out_path = os.path.join(results, "stdout.txt")
    with open(out_path, "wb") as out:
        start = time.monotonic()
        try:
            proc = subprocess.run(["/usr/bin/time", "-f", "%M"] + command, stdout=out,
                                  stderr=subprocess.PIPE, timeout=limit)
        except subprocess.TimeoutExpired:
            subprocess.run(["pkill", "-f", " ".join(command[:2])])
            return None
        wall = time.monotonic() - start
    if proc.returncode != 0:
        sys.exit(f"{' '.join(command)} failed: {proc.stderr.decode(errors='replace')}")
    peak = int(proc.stderr.decode().strip().splitlines()[-1])
    with open(out_path, "rb") as f:
        return wall, peak, f.read()

def groups(fdupes_text):
    found = set()
    for block in fdupes_text.split(b"\n\n"):
        paths = [p for p in block.split(b"\n") if p]
        if paths:
            found.add(frozenset(paths))
    return found

print(f"Machine: {platform.node()}, {os.cpu_count()} cores, {platform.platform()}")
print(f"Date: {time.strftime('%Y-%m-%d %H:%M')}, runs per tool: {runs}, warm page cache")
print("twinscope-cli rows: first searches with the digest cache off (--no-cache), except")
print("'cache on, first search': its cache file removed before each run, and 'digests kept': a")
print("second search of the unchanged tree, its digest cache filled by the warm-up run.")
print()
print(f"| corpus | command | median s | ratio to jdupes | peak MiB | memory ratio to jdupes | "
      f"groups equal jdupes |")
print(f"|---|---|---|---|---|---|---|")
medians = {}
peak_of = {}
for corpus in corpora:
    folder = os.path.join(work, corpus)
    rows = []
    reference = None
    for name, command in tools(corpus, folder):
        if run(command) is None:  # warm the cache
            rows.append((name, None, None, b""))
            continue
        walls, peaks, output = [], [], b""
        for _ in range(runs):
            wall, peak, output = run(command)
            walls.append(wall)
            peaks.append(peak)
        rows.append((name, statistics.median(walls), max(peaks), output))
        medians[(corpus, name)] = statistics.median(walls)
        if name.startswith("jdupes"):
            reference = groups(output)
    jdupes_time, jdupes_peak = next((r[1], r[2]) for r in rows if r[0].startswith("jdupes"))
    for name, wall, peak, output in rows:
        if wall is None:
            print(f"| {corpus} | `{name}` | over {limit} s | | | | |")
            continue
        peak_of[(corpus, name)] = peak
        same = ""
        if name.startswith("twinscope") and "json" not in name and "report" not in name:
            same = "yes" if groups(output) == reference else "NO"
        print(f"| {corpus} | `{name}` | {wall:.2f} | {wall / jdupes_time:.2f} | "
              f"{peak / 1024:.1f} | {peak / jdupes_peak:.2f} | {same} |")

print()
for corpus in corpora:
    off = (corpus, "twinscope-cli sha1")
    on = (corpus, "twinscope-cli sha1, cache on, first search")
    if off in medians and on in medians:
        print(f"{corpus}: first search, cache on / --no-cache: time {medians[on] / medians[off]:.2f}, "
              f"peak memory {peak_of[on] / peak_of[off]:.2f}")
for corpus in corpora:
    kept = medians.get((corpus, "twinscope-cli sha1, digests kept"))
    walk = medians.get((corpus, "find -type f -printf '%s\\n'"))
    if kept and walk:
        print(f"{corpus}: second search with digests kept / find: {kept / walk:.2f}")
if ("flat", "twinscope-cli sha1") in medians and ("tiny", "twinscope-cli sha1") in medians:
    ratio = medians[("flat", "twinscope-cli sha1")] / medians[("tiny", "twinscope-cli sha1")]
    print(f"flat / tiny (twinscope-cli sha1): {ratio:.2f}")
PY

echo
for corpus in "${corpora[@]}"; do
    printf '%s: ' "$corpus"
    # A first start, and a first search: its digest cache begins empty.
    home=$(mktemp -d)
    XDG_CONFIG_HOME=$home/config XDG_CACHE_HOME=$home/cache QT_QPA_PLATFORM=offscreen \
        "$build/twinscope-window-bench" "$work/$corpus" 2>/dev/null
    rm -rf "$home"
done

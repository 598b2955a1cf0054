#!/usr/bin/env bash
# Extraction benchmark: our archive reader (bench_extract) against `unzip -o` on the same archive
# of about 200 MB, once deflated (zip) and once Deflate64 (7zz). Prints both times side by side.
#
#   scripts/bench-extract.sh [BUILD_DIR]       (default: build)
#
# BENCH_WORK_DIR=dir keeps the sample data and archives there and reuses them on the next run;
# BENCH_RUNS=n sets the runs per tool (best one counts, default 3).
set -euo pipefail

cd "$(dirname "$0")/.."
BUILD_DIR=${1:-build}
RUNS=${BENCH_RUNS:-3}

for tool in zip unzip 7zz python3 cmake; do
    command -v "$tool" >/dev/null || { echo "bench-extract: $tool is not installed" >&2; exit 1; }
done

if [[ ! -f "$BUILD_DIR/build.ninja" && ! -f "$BUILD_DIR/Makefile" ]]; then
    cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
case "$(sed -n 's/^CMAKE_BUILD_TYPE:[A-Z]*=//p' "$BUILD_DIR/CMakeCache.txt")" in
    Release | RelWithDebInfo) ;;
    *) echo "bench-extract: warning: $BUILD_DIR is not an optimised build; times will say little" >&2 ;;
esac
cmake --build "$BUILD_DIR" --target bench_extract >/dev/null
BENCH=$(find "$BUILD_DIR" -name bench_extract -type f -perm -u+x | head -n 1)
[[ -x "$BENCH" ]] || { echo "bench-extract: bench_extract was not built" >&2; exit 1; }

if [[ -n "${BENCH_WORK_DIR:-}" ]]; then
    WORK=$BENCH_WORK_DIR
    mkdir -p "$WORK"
else
    WORK=$(mktemp -d "${TMPDIR:-/tmp}/bench-extract.XXXXXX")
    trap 'rm -rf "$WORK"' EXIT
fi

# Sample data like an upgrade package: text and program-like binaries that compress, some
# incompressible files, and many small ones; about 430 MB that pack into about 200 MB.
if [[ ! -d "$WORK/data" ]]; then
    echo "Writing sample data..." >&2
    python3 - "$WORK/data" <<'EOF'
import os, random, sys
root = sys.argv[1]
rng = random.Random(20240601)
words = [''.join(rng.choice('etaoinshrdlucmfwypvbgkqjxz') for _ in range(rng.randint(2, 10))) for _ in range(8000)]
text_pool = ' '.join(rng.choices(words, weights=[1.0 / (i + 1) for i in range(len(words))], k=700_000)).encode()
ops = [bytes(rng.randrange(256) for _ in range(rng.randint(1, 7))) for _ in range(3000)]
bin_pool = b''.join(rng.choice(ops) if rng.random() < 0.8 else b'\0' * rng.randint(1, 24) for _ in range(1_200_000))

def sliced(pool, size):
    out = bytearray()
    while len(out) < size:
        n = rng.randint(16 << 10, 256 << 10)
        at = rng.randrange(len(pool) - n)
        out += pool[at:at + n]
    return bytes(out[:size])

def write(rel, data):
    path = os.path.join(root, rel)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, 'wb') as f:
        f.write(data)

for i in range(6):
    write(f'docs/text{i}.txt', sliced(text_pool, 40 << 20))
for i in range(5):
    write(f'bin/module{i}.dll', sliced(bin_pool, 24 << 20))
for i in range(3):
    write(f'media/packed{i}.dat', os.urandom(20 << 20))
for i in range(2000):
    write(f'small/d{i % 20}/f{i}.txt', sliced(text_pool, rng.randint(1 << 10, 16 << 10)))
EOF
fi

DEFLATE="$WORK/deflate.zip"
DEFLATE64="$WORK/deflate64.zip"
if [[ ! -f "$DEFLATE" ]]; then
    echo "Packing with zip (deflate)..." >&2
    (cd "$WORK/data" && zip -q -r -6 "$DEFLATE" .)
fi
if [[ ! -f "$DEFLATE64" ]]; then
    echo "Packing with 7zz (Deflate64)..." >&2
    (cd "$WORK/data" && 7zz a -tzip -mm=Deflate64 -mx=5 -bd -bso0 "$DEFLATE64" .)
fi

# Sets T to the wall time (s) and M to the peak resident memory (KiB) of one extraction into
# $WORK/out. Dirty pages of the run before are flushed first, so that no run pays for another's.
time_once() {
    rm -rf "$WORK/out"
    mkdir -p "$WORK/out"
    sync
    if ! /usr/bin/time -f '%e %M' -o "$WORK/time.txt" "$@" >/dev/null 2>"$WORK/stderr.txt"; then
        echo "bench-extract: $* failed:" >&2
        cat "$WORK/stderr.txt" >&2
        exit 1
    fi
    read -r T M < <(tail -n 1 "$WORK/time.txt")
}

smaller() { awk -v a="$1" -v b="$2" 'BEGIN { exit !(a < b) }'; }

printf '\n%-16s %8s %16s %12s %11s\n' "archive" "size MB" "ours s (MiB)" "unzip -o s" "ours/unzip"
for archive in "$DEFLATE" "$DEFLATE64"; do
    cat "$archive" >/dev/null  # both read it from the page cache
    ours="" ours_mem="" theirs=""
    # Alternating, best of $RUNS each.
    for ((r = 0; r < RUNS; r++)); do
        time_once "$BENCH" "$archive" "$WORK/out"
        if [[ -z "$ours" ]] || smaller "$T" "$ours"; then ours=$T ours_mem=$M; fi
        time_once unzip -o -q "$archive" -d "$WORK/out"
        if [[ -z "$theirs" ]] || smaller "$T" "$theirs"; then theirs=$T; fi
    done
    rm -rf "$WORK/out"
    size=$(( $(stat -c %s "$archive") / 1000000 ))
    ratio=$(awk -v a="$ours" -v b="$theirs" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }')
    printf '%-16s %8s %9s (%3d) %12s %11s\n' "$(basename "$archive")" "$size" "$ours" $((ours_mem / 1024)) "$theirs" "$ratio"
done
echo "(best of $RUNS alternating runs each, archive in the page cache; $(du -sm "$WORK/data" | cut -f1) MB unpacked)"

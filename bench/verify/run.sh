#!/usr/bin/env bash
# Release verification of a 256 MiB archive against sha512sum of the same
# file: the verifier hashes the archive once with SHA-512 inside Ed25519, so
# sha512sum is the floor it is measured against.
#
#   bench/verify/run.sh [--runs N] [--keep]
#
# Builds kelvoma-fixture and kelvoma-publish with the "bench" preset, makes a
# random archive of 268435456 bytes, signs it with the fixture key of
# "orbit-action-dial", then runs `kelvoma-fixture --verify-release release.json
# archive` and `sha512sum archive` alternately (the file already in the page
# cache for both), so that load from elsewhere falls on both alike.
# Prints the medians, their ratio and the verifier's peak resident memory, and
# exits with 1 when a target is missed:
#   wall time  at most 1.5 x sha512sum
#   peak RSS   at most the archive + 16 MiB
set -euo pipefail
cd "$(dirname "$0")/../.."

runs=5
keep=false
while (($#)); do
  case "$1" in
    --runs) runs=${2:?--runs needs a number}; shift 2 ;;
    --keep) keep=true; shift ;;
    *) echo "usage: $0 [--runs N] [--keep]" >&2; exit 2 ;;
  esac
done
[[ $runs =~ ^[1-9][0-9]*$ ]] || { echo "--runs needs a positive number" >&2; exit 2; }

archive_size=268435456
tool=orbit-action-dial
prefix="https://localhost:47321/tobranix/$tool/releases/download/"

build=build/bench
cmake --preset bench -B "$build" > /dev/null
cmake --build "$build" --target kelvoma-fixture kelvoma-publish -j2
fixture=$build/tests/kelvoma-fixture
publish=$build/tools/kelvoma-publish

work=$(mktemp -d "$build/verify-bench.XXXXXX")
$keep || trap 'rm -rf "$work"' EXIT

head -c "$archive_size" /dev/urandom > "$work/archive.zip"
"$publish" sign-release --key "tests/fixtures/keys/$tool.key" --archive "$work/archive.zip" \
  --id "$tool" --bundle-id "cz.tobranix.$tool" --version 1.0.0 --build 1 \
  --minimum-macos 13.0 --architecture x86_64 --archive-url "${prefix}v1.0.0/$tool.zip" \
  --output "$work/release.json" > /dev/null
cat "$work/archive.zip" > /dev/null  # into the page cache before the first run

# Runs a command quietly; prints "<wall seconds> <peak RSS in KiB>" (the
# command's own peak, from the kernel's accounting of the waited-for child).
measure() {
  python3 - "$work" "$@" <<'PY'
import resource, subprocess, sys, time
work, command = sys.argv[1], sys.argv[2:]
with open(f"{work}/out", "wb") as out, open(f"{work}/err", "wb") as err:
    start = time.monotonic()
    status = subprocess.run(command, stdout=out, stderr=err).returncode
    wall = time.monotonic() - start
if status != 0:
    sys.stderr.write(f"failed ({status}): {' '.join(command)}\n")
    sys.exit(1)
print(f"{wall:.6f} {resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss}")
PY
}

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

: > "$work/verify.times"
: > "$work/sha.times"
for ((i = 1; i <= runs; i++)); do
  measure "$fixture" --verify-release "$work/release.json" "$work/archive.zip" >> "$work/verify.times"
  grep -q "^Verified $tool 1.0.0 (1)$" "$work/out" || { echo "unexpected output:" >&2; cat "$work/out" >&2; exit 1; }
  measure sha512sum "$work/archive.zip" >> "$work/sha.times"
done

verify_s=$(cut -d' ' -f1 "$work/verify.times" | median)
sha_s=$(cut -d' ' -f1 "$work/sha.times" | median)
verify_rss_kib=$(cut -d' ' -f2 "$work/verify.times" | sort -n | tail -1)
sha_rss_kib=$(cut -d' ' -f2 "$work/sha.times" | sort -n | tail -1)

awk -v size="$archive_size" -v runs="$runs" -v vs="$verify_s" -v ss="$sha_s" \
    -v vr="$verify_rss_kib" -v sr="$sha_rss_kib" 'BEGIN {
  mib = 1048576
  ratio = vs / ss
  over = (vr * 1024 - size) / mib
  printf "archive                      %d bytes, %d runs each, medians\n", size, runs
  printf "kelvoma --verify-release     %.3f s   peak RSS %.1f MiB\n", vs, vr / 1024
  printf "sha512sum                    %.3f s   peak RSS %.1f MiB\n", ss, sr / 1024
  printf "time ratio                   %.2f x   (target at most 1.50 x)\n", ratio
  printf "peak RSS over the archive    %.1f MiB (target at most 16 MiB)\n", over
  missed = 0
  if (ratio > 1.5) { print "MISSED: time ratio"; missed = 1 }
  if (over > 16) { print "MISSED: peak RSS"; missed = 1 }
  if (!missed) print "both targets met"
  exit missed
}'

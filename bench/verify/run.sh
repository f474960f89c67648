#!/usr/bin/env bash
# Release verification of a 256 MiB archive against `openssl dgst -sha512`
# of the same file: the verifier hashes the archive once with SHA-512 inside
# Ed25519, so libcrypto's own command over the file is the floor it is
# measured against.
#
#   bench/verify/run.sh [--runs N] [--keep]
#
# Builds kelvoma-fixture and kelvoma-publish with the "bench" preset, makes a
# random archive of 268435456 bytes, signs it with the fixture key of
# "orbit-action-dial", then runs `kelvoma-fixture --verify-release release.json
# archive` and `openssl dgst -sha512 archive` alternately (the file already in
# the page cache for both), so that load from elsewhere falls on both alike.
# Each run goes through /usr/bin/time -v for its peak resident memory.
# Prints the medians, their ratio and the verifier's peak resident memory, and
# exits with 1 when a target is missed:
#   wall time  at most 1.2 x openssl dgst -sha512
#   peak RSS   at most 24 MiB (the archive is read as a stream)
set -euo pipefail
cd "$(dirname "$0")/../.."

runs=7
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
cmake --preset bench > /dev/null
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

# Runs a command quietly under /usr/bin/time -v; prints "<wall seconds>
# <peak RSS in KiB>".
measure() {
  local start end
  start=$(date +%s%N)
  if ! /usr/bin/time -v -o "$work/time" "$@" > "$work/out" 2> "$work/err"; then
    echo "failed: $*" >&2
    cat "$work/err" >&2
    exit 1
  fi
  end=$(date +%s%N)
  local rss
  rss=$(awk -F': ' '/Maximum resident set size/ { print $2 }' "$work/time")
  awk -v ns=$((end - start)) -v rss="$rss" 'BEGIN { printf "%.6f %d\n", ns / 1e9, rss }'
}

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

: > "$work/verify.times"
: > "$work/openssl.times"
for ((i = 1; i <= runs; i++)); do
  measure "$fixture" --verify-release "$work/release.json" "$work/archive.zip" >> "$work/verify.times"
  grep -q "^Verified $tool 1.0.0 (1)$" "$work/out" || { echo "unexpected output:" >&2; cat "$work/out" >&2; exit 1; }
  measure openssl dgst -sha512 "$work/archive.zip" >> "$work/openssl.times"
done

verify_s=$(cut -d' ' -f1 "$work/verify.times" | median)
openssl_s=$(cut -d' ' -f1 "$work/openssl.times" | median)
verify_rss_kib=$(cut -d' ' -f2 "$work/verify.times" | sort -n | tail -1)
openssl_rss_kib=$(cut -d' ' -f2 "$work/openssl.times" | sort -n | tail -1)

awk -v size="$archive_size" -v runs="$runs" -v vs="$verify_s" -v os="$openssl_s" \
    -v vr="$verify_rss_kib" -v orss="$openssl_rss_kib" 'BEGIN {
  ratio = vs / os
  rss_mib = vr / 1024
  printf "archive                      %d bytes, %d runs each, medians\n", size, runs
  printf "kelvoma --verify-release     %.3f s   peak RSS %.1f MiB\n", vs, rss_mib
  printf "openssl dgst -sha512         %.3f s   peak RSS %.1f MiB\n", os, orss / 1024
  printf "time ratio                   %.2f x   (target at most 1.20 x)\n", ratio
  printf "verifier peak RSS            %.1f MiB (target at most 24 MiB)\n", rss_mib
  missed = 0
  if (ratio > 1.2) { print "MISSED: time ratio"; missed = 1 }
  if (rss_mib > 24) { print "MISSED: peak RSS"; missed = 1 }
  if (!missed) print "both targets met"
  exit missed
}'

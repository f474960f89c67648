#!/usr/bin/env bash
# Publishing a release with `kelvoma-publish release` against what a
# publisher would do by hand: `zip -qry` of the same bundle plus
# `kelvoma-publish check-bundle`. A universal bundle (this machine's program
# and one cross-compiled for the other processor: Debian's cross toolchain,
# scripts/setup --arm64) of 256 MiB in about 2,000 files (half of every file
# compresses, half does not), page cache warm, both run alternately; prints
# the medians, their ratio and the release's peak memory. Targets: at most
# 1.0x, at most 64 MiB.
#
#   bench/publish/run.sh [RUNS]     (default 7)
set -euo pipefail
cd "$(dirname "$0")/../.."
runs=${1:-7}
scripts/setup
cmake --preset bench >/dev/null
cmake --build --preset bench --target kelvoma-publish
publish=$PWD/build/bench/tools/kelvoma-publish

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$publish" keygen "$work/tool.key" > "$work/tool.pub"
"$publish" seal-keygen "$work/team.pub" "$work/team.sec" >/dev/null
"$publish" seal-keygen "$work/notary.pub" "$work/notary.sec" >/dev/null
cat > "$work/tools.json" <<JSON
[
  {
    "id": "bench-tool",
    "name": "Bench Tool",
    "description": "Benchmark.",
    "bundle_id": "cz.tobranix.bench-tool",
    "bundle_name": "Bench Tool.app",
    "symbol": "circle",
    "manifest_url": "https://example.invalid/bench-tool/release.json",
    "archive_prefix": "https://example.invalid/bench-tool/",
    "public_key": "$(cat "$work/tool.pub")",
    "team_id": "BENCHTEAM"
  }
]
JSON

case $(uname -m) in
  aarch64) other_cc=x86_64-linux-gnu-gcc ;;
  *) other_cc=aarch64-linux-gnu-gcc ;;
esac
if ! command -v "$other_cc" >/dev/null; then
  echo "bench/publish: the universal bundle needs $other_cc (scripts/setup --arm64 installs it)" >&2
  exit 1
fi
mkdir -p "$work/other"
printf 'int main(void) { return 0; }\n' > "$work/true.c"
"$other_cc" -O2 -static -o "$work/other/true" "$work/true.c"

bench/bundle_files.py "$work/resources" --half-text
bundle=$work/Bench.app
"$publish" bundle /bin/true "$work/other/true" --id bench-tool --version 1.0 --build 1 --catalog "$work/tools.json" \
  --resources "$work/resources" --output "$bundle" >/dev/null
"$publish" seal "$bundle" --team BENCHTEAM --key "$work/team.sec" >/dev/null
"$publish" notarize "$bundle" --key "$work/notary.sec" >/dev/null
echo "Bundle: $(find "$bundle" -type f | wc -l) files, $(du -sm --apparent-size "$bundle" | cut -f1) MiB," \
  "programs $(cd "$bundle/Contents/MacOS" && echo */true)"

release() {
  rm -rf "$work/out"
  /usr/bin/time -f %M -a -o "$work/release.rss" "$publish" release "$bundle" --id bench-tool --key "$work/tool.key" --output "$work/out" \
    --catalog "$work/tools.json" --team-key "$work/team.pub" --notary-key "$work/notary.pub" \
    --no-previous >/dev/null
}
by_hand() {
  rm -f "$work/by-hand.zip"
  (cd "$work" && zip -qry by-hand.zip Bench.app)
  "$publish" check-bundle "$bundle" --identifier cz.tobranix.bench-tool --team BENCHTEAM \
    --team-key "$work/team.pub" --notary-key "$work/notary.pub" >/dev/null
}

measure() {
  local name=$1 start end
  shift
  start=$(date +%s%N)
  "$@"
  end=$(date +%s%N)
  echo "scale=4; ($end - $start) / 1000000000" | bc >> "$work/$name.time"
}
median() { sort -n "$1" | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

release && by_hand  # warm the page cache
echo "Archives: release $(stat -c %s "$work"/out/*.zip) B, zip -qry $(stat -c %s "$work/by-hand.zip") B"
for ((i = 0; i < runs; i++)); do
  if ((i % 2 == 0)); then
    measure release release
    measure by_hand by_hand
  else
    measure by_hand by_hand
    measure release release
  fi
done
ours=$(median "$work/release.time")
theirs=$(median "$work/by_hand.time")
printf 'release                     median %s s\n' "$ours"
printf 'zip -qry + check-bundle     median %s s\n' "$theirs"
printf 'ratio                       %.2fx (target at most 1.0x)\n' \
  "$(echo "scale=4; $ours / $theirs" | bc)"
printf 'release peak memory         %s KiB (largest of every run; target at most 65536)\n' \
  "$(sort -n "$work/release.rss" | tail -1)"

#!/usr/bin/env bash
# Checking a bundle's seal (and its ticket) against sha256sum of the same
# files: a bundle of 256 MiB in about 2,000 files, page cache warm, both run
# alternately in one run; prints the medians, their ratio and the peak RSS.
# The check is the installation's own, through `kelvoma-publish
# check-bundle`. Targets: at most 1.2x sha256sum's time, at most 24 MiB.
#
#   bench/seal/run.sh [RUNS]     (default 9)
set -euo pipefail
cd "$(dirname "$0")/../.."
runs=${1:-9}
scripts/setup
cmake --preset bench >/dev/null
cmake --build --preset bench --target kelvoma-publish
publish=$PWD/build/bench/tools/kelvoma-publish

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
bundle=$work/Bench.app
mkdir -p "$bundle/Contents/MacOS"
cp /bin/true "$bundle/Contents/MacOS/bench"
cat > "$bundle/Contents/Info.plist" <<'PLIST'
<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict>
<key>CFBundleIdentifier</key><string>cz.tobranix.bench</string>
<key>CFBundleExecutable</key><string>bench</string>
</dict></plist>
PLIST
bench/bundle_files.py "$bundle/Contents/Resources"
"$publish" seal-keygen "$work/team.pub" "$work/team.sec" >/dev/null
"$publish" seal-keygen "$work/notary.pub" "$work/notary.sec" >/dev/null
"$publish" seal "$bundle" --team BENCHTEAM --key "$work/team.sec" >/dev/null
"$publish" notarize "$bundle" --key "$work/notary.sec" >/dev/null
find "$bundle" -type f ! -path '*/_CodeSignature/*' -print0 | sort -z > "$work/files"
echo "Bundle: $(tr -cd '\0' < "$work/files" | wc -c) files, $(du -sm --apparent-size "$bundle" | cut -f1) MiB"

check() {
  "$publish" check-bundle "$bundle" --identifier cz.tobranix.bench --team BENCHTEAM \
    --team-key "$work/team.pub" --notary-key "$work/notary.pub" >/dev/null
}
hash_all() { xargs -0 sha256sum -- < "$work/files" >/dev/null; }

# Seconds and peak RSS (KiB) of one run, appended to the named files.
measure() {
  local name=$1 start end
  shift
  start=$(date +%s%N)
  /usr/bin/time -f %M -o "$work/$name.rss1" "$@"
  end=$(date +%s%N)
  echo "scale=4; ($end - $start) / 1000000000" | bc >> "$work/$name.time"
  cat "$work/$name.rss1" >> "$work/$name.rss"
}
median() { sort -n "$1" | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

check && hash_all  # warm the page cache
export -f check hash_all
export publish bundle work
for ((i = 0; i < runs; i++)); do
  if ((i % 2 == 0)); then
    measure seal bash -c check
    measure sha256sum bash -c hash_all
  else
    measure sha256sum bash -c hash_all
    measure seal bash -c check
  fi
done
seal=$(median "$work/seal.time")
sum=$(median "$work/sha256sum.time")
printf 'seal check  median %s s   peak RSS %s KiB\n' "$seal" "$(median "$work/seal.rss")"
printf 'sha256sum   median %s s   peak RSS %s KiB\n' "$sum" "$(median "$work/sha256sum.rss")"
printf 'ratio       %.2fx (target at most 1.2x; RSS target at most 24576 KiB)\n' \
  "$(echo "scale=4; $seal / $sum" | bc)"

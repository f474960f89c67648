#!/usr/bin/env bash
# Run by app_idle.sh inside its session: starts the application in the
# background and measures its CPU while idle.
#
#   idle_measure.sh KELVOMA_EXECUTABLE SECONDS [COUNTS [ROUNDS]]
#
# Without COUNTS: one window of SECONDS, target at most 0.5 % of one core.
# With COUNTS (e.g. 0,1000,3000): ROUNDS rounds (default 3), each measuring a
# window of SECONDS with that many extra `sleep` processes on the machine, the
# counts taken in turn; medians per count. Targets: at the largest count at
# most 1.2x the figure at the first, and at the first at most 1.5 ms per second.
# CPU comes from the threads' schedstat (nanoseconds); /proc/<pid>/stat counts
# 10 ms ticks, too coarse for a millisecond a second over half a minute, and
# is shown beside it.
set -euo pipefail
executable=$1
seconds=$2
counts=${3:-}
rounds=${4:-3}

"$executable" --background >/dev/null 2>&1 &
app=$!
extra=()
cleanup() {
  ((${#extra[@]})) && kill "${extra[@]}" 2>/dev/null || true
  kill -TERM "$app" 2>/dev/null || true
  wait 2>/dev/null || true
}
trap cleanup EXIT

nanoseconds() { cat /proc/"$app"/task/*/schedstat | awk '{ s += $1 } END { printf "%d\n", s }'; }
ticks() { awk '{ print $14 + $15 }' "/proc/$app/stat"; }
hz=$(getconf CLK_TCK)

# CPU of the application over one window: "ms-per-second ticks-ms-per-second".
measure() {
  local ns0 t0 s0 ns1 t1 s1
  ns0=$(nanoseconds); t0=$(ticks); s0=$(date +%s.%N)
  sleep "$seconds"
  ns1=$(nanoseconds); t1=$(ticks); s1=$(date +%s.%N)
  awk -v a="$ns0" -v b="$ns1" -v c="$t0" -v d="$t1" -v s="$s0" -v e="$s1" -v hz="$hz" \
    'BEGIN { printf "%.3f %.3f\n", (b - a) / 1e6 / (e - s), (d - c) * 1000 / hz / (e - s) }'
}

extraProcesses() {
  local want=$1
  while ((${#extra[@]} < want)); do
    sleep 100000 &
    extra+=($!)
  done
  while ((${#extra[@]} > want)); do
    kill "${extra[-1]}"
    wait "${extra[-1]}" 2>/dev/null || true
    unset 'extra[-1]'
  done
}

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

sleep 5  # start-up settles
kill -0 "$app"

if [ -z "$counts" ]; then
  read -r perSecond _ < <(measure)
  rss=$(awk '/^VmRSS/ { print $2 }' "/proc/$app/status")
  hwm=$(awk '/^VmHWM/ { print $2 }' "/proc/$app/status")
  awk -v ms="$perSecond" -v s="$seconds" -v rss="$rss" -v hwm="$hwm" 'BEGIN {
    printf "idle CPU: %.3f %% of one core over %.0f s (target: at most 0.5 %%)\n", ms / 10, s
    printf "idle RSS: %.1f MiB (peak %.1f MiB)\n", rss / 1024, hwm / 1024
    exit ms / 10 > 0.5 ? 1 : 0
  }'
  exit
fi

IFS=, read -r -a sizes <<<"$counts"
results=$(mktemp)
for round in $(seq "$rounds"); do
  for n in "${sizes[@]}"; do
    extraProcesses "$n"
    sleep 2
    machine=$(ls /proc | grep -c '^[0-9]')
    read -r perSecond byTicks < <(measure)
    kill -0 "$app"
    echo "$n $perSecond $byTicks $machine" >>"$results"
    printf 'round %d: %5d extra (%5d on the machine): %.3f ms/s (stat: %.1f ms/s)\n' \
      "$round" "$n" "$machine" "$perSecond" "$byTicks"
  done
done
extraProcesses 0

echo "| extra processes | processes on the machine | idle CPU, ms per second (median of $rounds) | by /proc/<pid>/stat ticks |"
echo "|---|---|---|---|"
for n in "${sizes[@]}"; do
  m=$(awk -v n="$n" '$1 == n { print $2 }' "$results" | median)
  t=$(awk -v n="$n" '$1 == n { print $3 }' "$results" | median)
  p=$(awk -v n="$n" '$1 == n { print $4 }' "$results" | median)
  echo "| $n | $p | $m | $t |"
  echo "$n $m" >>"$results.medians"
done
first=$(head -n1 "$results.medians" | cut -d' ' -f2)
last=$(tail -n1 "$results.medians" | cut -d' ' -f2)
rm -f "$results" "$results.medians"
awk -v a="$first" -v b="$last" 'BEGIN {
  ratio = a > 0 ? b / a : 0
  printf "largest count / none: %.2fx (target: at most 1.2x); none: %.3f ms/s (target: at most 1.5)\n", ratio, a
  exit (ratio > 1.2 || a > 1.5) ? 1 : 0
}'

#!/usr/bin/env bash
# Measures fpgabits against xxd -i and a dd copy: bench/run.sh [MiB] [rounds]
# Builds a Release tree in build-bench, makes its own input of MiB mebibytes
# (64 by default), runs the commands in alternating order for each round and
# prints medians, throughput, the ratios the tool is held to, and peak memory.
# BENCH_VERBOSE=1 also prints every time measured.
set -euo pipefail
cd "$(dirname "$0")/.."
mib=${1:-64}
rounds=${2:-9}

need=()
command -v xxd >/dev/null || need+=(xxd)
[[ -x /usr/bin/time ]] || need+=(time)
[[ -f /usr/include/benchmark/benchmark.h ]] || need+=(libbenchmark-dev)
if ((${#need[@]})); then
  apt-get update -qq && apt-get install -y -qq "${need[@]}"
fi

cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DFPGABITS_BENCHMARK=ON >/dev/null
cmake --build build-bench -j"$(nproc)" >/dev/null
tool=$PWD/build-bench/fpgabits
work=$(mktemp -d "${TMPDIR:-/tmp}/fpgabits-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir "$work/file" "$work/null"
build-bench/mkbitstream --size $((mib << 20)) "$work/in.bit"
ln -s /dev/null "$work/null/fpgabits.i"
(cd "$work/file" && "$tool" ../in.bit >/dev/null)
cp "$work/file/fpgabits.i" "$work/same-size"
bytes=$(stat -c %s "$work/in.bit")
out_bytes=$(stat -c %s "$work/same-size")

cases=(fpgabits_file dd_copy xxd_file fpgabits_null xxd_null)
run_case() {
  case $1 in
    fpgabits_file) (cd "$work/file" && "$tool" ../in.bit >/dev/null) ;;
    dd_copy) dd if="$work/same-size" of="$work/copy" bs=1M status=none ;;
    xxd_file) xxd -i "$work/in.bit" >"$work/xxd.out" ;;
    fpgabits_null) (cd "$work/null" && "$tool" ../in.bit >/dev/null) ;;
    xxd_null) xxd -i "$work/in.bit" >/dev/null ;;
  esac
}

printf 'input %d bytes, output %d bytes, %d rounds\n' "$bytes" "$out_bytes" "$rounds"
declare -A times
for ((r = 0; r < rounds; r++)); do
  # Each case overwrites its own output of the round before, as a rebuild
  # does. The order rotates, so that no case always follows the same one and
  # the writing back of another's output spreads over all of them.
  for ((i = 0; i < ${#cases[@]}; i++)); do
    c=${cases[$(((i + r) % ${#cases[@]}))]}
    start=$EPOCHREALTIME
    run_case "$c"
    end=$EPOCHREALTIME
    times[$c]+="$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.6f", b - a }') "
  done
done
rm -f "$work/copy" "$work/xxd.out"

dump() { for c in "${cases[@]}"; do echo "$c: ${times[$c]}"; done; }
median() { tr ' ' '\n' | sed '/^$/d' | sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
# Median over the rounds of the ratio a/b, each taken within one round.
paired() {
  paste -d' ' <(tr ' ' '\n' <<<"${times[$1]}" | sed '/^$/d') <(tr ' ' '\n' <<<"${times[$2]}" | sed '/^$/d') |
    awk '{ print $1 / $2 }' | median
}

[[ -n ${BENCH_VERBOSE:-} ]] && dump
echo
printf '%-15s %10s %12s\n' case "median s" "input MB/s"
for c in "${cases[@]}"; do
  m=$(median <<<"${times[$c]}")
  printf '%-15s %10.4f %12.0f\n' "$c" "$m" "$(awk -v b="$bytes" -v s="$m" 'BEGIN { print b / s / 1e6 }')"
done

echo
# The speed goals hold from 64 MiB up; below that, start-up takes a share of
# the time that they do not allow for, so only the values are printed. The
# memory goals hold at any size: pass "any" as a fifth argument.
check() { awk -v v="$2" -v g="$4" -v op="$3" -v name="$1" -v applies="$((mib >= 64))${5:-}" 'BEGIN {
  ok = (op == "<=") ? v <= g : v >= g
  verdict = applies != "0" ? (ok ? "met" : "MISSED") : "(applies from 64 MiB)"
  printf "%-48s %8.2f   goal %s %-6s %s\n", name, v, op, g, verdict }'; }
check "fpgabits to a file / dd copy of its size" "$(paired fpgabits_file dd_copy)" "<=" 1.25
check "xxd -i to a file / fpgabits to a file" "$(paired xxd_file fpgabits_file)" ">=" 15
# How far the disk lets any writer go: the same ratio for dd writing as much.
printf '%-48s %8.2f   (the ceiling the disk sets)\n' "xxd -i to a file / dd copy of the output's size" \
  "$(paired xxd_file dd_copy)"
check "fpgabits to /dev/null, GB of input a second" \
  "$(awk -v b="$bytes" -v s="$(median <<<"${times[fpgabits_null]}")" 'BEGIN { print b / s / 1e9 }')" ">=" 1.5
check "xxd -i to /dev/null / fpgabits to /dev/null" "$(paired xxd_null fpgabits_null)" ">=" 80

echo
peak() { /usr/bin/time -f %M "$@" 2>&1 >/dev/null | tail -n 1; }
rss=$(cd "$work/file" && peak "$tool" ../in.bit)
check "peak memory, $mib MiB input to a file (MiB)" "$(awk -v k="$rss" 'BEGIN { print k / 1024 }')" "<=" 4 any
build-bench/mkbitstream --size 0xffffffff --sparse "$work/full.bit"
rss=$(cd "$work/null" && peak "$tool" ../full.bit)
check "peak memory, 0xffffffff bytes to /dev/null (MiB)" "$(awk -v k="$rss" 'BEGIN { print k / 1024 }')" "<=" 4 any

echo
build-bench/bench/render_bench --benchmark_min_time=0.2 2>/dev/null | grep -E '^(portable|ssse3)'

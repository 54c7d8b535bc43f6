#!/usr/bin/env bash
# Fuzzes the converter for a while: fuzz/run.sh BUILD_DIR [SECONDS] [JOBS]
# BUILD_DIR was configured with CC=clang CXX=clang++ -DFPGABITS_FUZZ=ON. The
# seed corpus is made afresh by mkbitstream; what the fuzzer adds to it stays
# in BUILD_DIR/corpus. A finding is written to BUILD_DIR/findings and makes
# this script fail.
set -euo pipefail
build=$(realpath "$1")
seconds=${2:-120}
jobs=${3:-1}
mk=$build/mkbitstream
corpus=$build/corpus
seeds=$build/seeds
rm -rf "$seeds"
mkdir -p "$corpus" "$seeds" "$build/findings"

# The shortest header, typical headers with long and odd fields, and cut files.
printf '\x00\x09\x0f\xf0\x0f\xf0\x0f\xf0\x0f\xf0\x00\x00\x01a\x00\x00b\x00\x00c\x00\x00d\x00\x00e' >"$seeds/shortest"
cp "$seeds/shortest" "$seeds/shortest-empty-data"
printf '\x00\x00\x00\x00' >>"$seeds/shortest-empty-data"
"$mk" --size 40 "$seeds/typical"
"$mk" --size 9 --name "$(printf 'x%.0s' {1..60})" --device 7z010clg400 "$seeds/long-name"
"$mk" --size 17 --name 'a"b\c??/' --device $'line\nbreak' --date $'\x80\xff' --time '' "$seeds/odd-texts"
"$mk" --size 8 --length 0xffffffff "$seeds/huge-length"
"$mk" --size 64 --length 0x100 "$seeds/short-data"
for cut in 1 2 11 13 16 40 60 70 76 80; do
  head -c "$cut" "$seeds/typical" >"$seeds/typical-cut-$cut"
done

cd "$build/findings"
options=(-max_len=4096 -max_total_time="$seconds" -print_final_stats=1)
if ((jobs > 1)); then
  # Parallel jobs log to findings/fuzz-N.log.
  options+=(-jobs="$jobs" -workers="$jobs")
fi
"$build/fuzz/fpgabits_fuzz" "$corpus" "$seeds" "${options[@]}"
if compgen -G 'crash-*' >/dev/null || compgen -G 'leak-*' >/dev/null || compgen -G 'timeout-*' >/dev/null; then
  echo "findings in $build/findings" >&2
  exit 1
fi

#!/usr/bin/env bash
# Fuzzes the converter and the inflater for a while each:
#   fuzz/run.sh BUILD_DIR [SECONDS] [JOBS]
# BUILD_DIR was configured with CC=clang CXX=clang++ -DFPGABITS_FUZZ=ON. The
# seed corpora are made afresh from mkbitstream's files; what the fuzzer adds
# to them stays in BUILD_DIR/corpus and BUILD_DIR/corpus-inflate. A finding is
# written to BUILD_DIR/findings and makes this script fail.
set -euo pipefail
build=$(realpath "$1")
seconds=${2:-120}
jobs=${3:-1}
mk=$build/mkbitstream
corpus=$build/corpus
seeds=$build/seeds
inflate_seeds=$build/seeds-inflate
rm -rf "$seeds" "$inflate_seeds"
mkdir -p "$corpus" "$build/corpus-inflate" "$seeds" "$inflate_seeds" "$build/findings"

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

# Raw DEFLATE streams of configuration data, from gzip's output without its
# 10-byte header and 8-byte trailer, after a byte that chooses the window:
# 32 KiB, as gzip made them, and 512 bytes, which they overreach.
for device in 7a35tcsg324 6slx9tqg144 3s500evq100; do
  "$mk" --device "$device" --size 30000 "$seeds/$device"
  gzip -9nc "$seeds/$device" | tail -c +11 | head -c -8 >"$inflate_seeds/stream"
  { printf '\x06' && cat "$inflate_seeds/stream"; } >"$inflate_seeds/$device-32k"
  { printf '\x0e' && cat "$inflate_seeds/stream"; } >"$inflate_seeds/$device-512"
done
rm "$inflate_seeds/stream"
printf '\x06\x03\x00' >"$inflate_seeds/empty"

cd "$build/findings"
options=(-max_len=4096 -max_total_time="$seconds" -print_final_stats=1)
if ((jobs > 1)); then
  # Parallel jobs log to findings/fuzz-N.log.
  options+=(-jobs="$jobs" -workers="$jobs")
fi
"$build/fuzz/fpgabits_fuzz" "$corpus" "$seeds" "${options[@]}"
"$build/fuzz/fpgabits_fuzz_inflate" "$build/corpus-inflate" "$inflate_seeds" "${options[@]}"
if compgen -G 'crash-*' >/dev/null || compgen -G 'leak-*' >/dev/null || compgen -G 'timeout-*' >/dev/null; then
  echo "findings in $build/findings" >&2
  exit 1
fi

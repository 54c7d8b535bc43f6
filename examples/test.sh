#!/usr/bin/env bash
# Builds an example as a project of its own against a built fpgabits, runs it
# on generated bitstreams and checks what it prints:
#   examples/test.sh make|native|cortex-m3|cortex-m3-real|consumer|readme FPGABITS_BUILD_DIR [REAL_BITSTREAMS]
# make       examples/make, then again after the bitstream changed.
# native     examples/firmware with fpgabits built from these sources, compiled
#            as C++; a build with nothing changed converts nothing, gunzip
#            reads the compressed image, and a bitstream for another device
#            or with no data fails, compressed or not, and leaves no image.
# cortex-m3  examples/firmware from an installed package, cross-compiled and
#            run in QEMU: the data in flash, little RAM used, a small loader
#            and image reader, a new program converts again, a changed
#            bitstream is built in.
# cortex-m3-real  the same from two real 2 MB bitstreams of REAL_BITSTREAMS,
#            compressed, which load from an image linked for 1 MiB of flash;
#            skipped (77) without them.
#            Both firmware builds load their bitstreams into models of the
#            FPGAs, then again from the image files of card/, which the build
#            wrote, where a copy with a byte changed is refused.
# consumer   tests/consumer from an installed package, with gcc and clang and
#            -Werror: the values that the build found in each bitstream (a
#            USERCODE, and a fingerprint among them) and that the data's
#            CRC-32 is the one found;
#            editing the program compiles no data again. Then the
#            example of docs/testing.md, its files taken from the page, as C99
#            with -Werror against the package's model: what it prints must be
#            the page's text; and docs/images.md's read_image() against the
#            model with its check of DMA.
# readme     the README's blocks of commands marked for it, from a copy of the
#            repository's root after the quick start, with fpgabits installed
#            into prefix/: what each prints must end with the block of text
#            after it.
# Exits 77 (skipped) where the cross tools are missing, unless FPGABITS_CI is set.
set -euo pipefail
mode=$1
build=$(realpath "$2")
examples=$(cd "$(dirname "$0")" && pwd)

if [[ $mode == cortex-m3* || $mode == readme ]]; then
  missing=()
  for tool in arm-none-eabi-gcc qemu-system-arm; do
    command -v "$tool" >/dev/null || missing+=("$tool")
  done
  if [[ ${#missing[@]} == 0 && $(arm-none-eabi-gcc -print-file-name=libc_nano.a) != /* ]]; then
    missing+=(newlib)
  fi
  if ((${#missing[@]})); then
    echo "skipped: no ${missing[*]}; install the Debian packages gcc-arm-none-eabi libnewlib-arm-none-eabi qemu-system-arm"
    [[ -z ${FPGABITS_CI:-} ]] && exit 77
    exit 1
  fi
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/fpgabits-examples-XXXXXX")
trap 'rm -rf "$work"' EXIT

# bitstream FILE DEVICE DATE SIZE SEED: makes a bitstream with these values.
bitstream() {
  "$build/mkbitstream" --device "$2" --date "$3" --size "$4" --seed "$5" "$1"
}

# crc32 FILE SIZE: the CRC-32 of the last SIZE bytes, the data of the
# bitstream FILE, from the gzip trailer, which stores it least significant
# byte first.
crc32() {
  tail -c "$2" "$1" | gzip -c | tail -c 8 | od -An -tx1 | awk '{ print $4 $3 $2 $1 }'
}

# expect WHAT EXPECTED COMMAND...: runs the command and compares what it
# prints with the lines EXPECTED.
expect() {
  local what=$1 expected=$2
  shift 2
  if ! diff <(printf '%s\n' "$expected") <("$@"); then
    echo "FAIL: $what" >&2
    exit 1
  fi
  echo "ok: $what"
}

# The size of the compressed stream that the program holds as NAME: the size
# of the symbol, a string literal, less its terminating zero.
stream_size() {
  echo $((16#$("$nm" -S "$program" | awk -v name="$1" '$4 == name { print $2 }') - 1))
}

# What the firmware prints of the card's image FILE of a bitstream, loaded into
# the FPGA NAME: image FILE NAME BITSTREAM DESIGN DEVICE DATE_TIME SIZE IDCODE,
# where a NAME of "refused" stands for the copy with a byte changed, which the
# main FPGA refuses, the reason coming after the IDCODE. The main FPGA's go
# over JTAG, the I/O FPGA's over parallel x8.
image() {
  echo "$1: design $4, device $5, built $6"
  if [[ $2 == refused ]]; then
    echo "  refused: $9"
    echo "  main keeps IDCODE $8, DONE high, 2 CRC checks passed"
  else
    local interface=JTAG
    [[ $2 == io ]] && interface='parallel x8'
    echo "  $7 bytes, crc32 $(crc32 "$3" "$7"), IDCODE $8"
    echo "  $2 configured over $interface, DONE high, 2 CRC checks passed"
  fi
}

# The card's copy of the compressed image with a byte changed, made
# in the directory of the firmware program.
bad_copy() {
  local card=${program%/*}/card size byte
  size=$(wc -c <"$card/main.bit.gz")
  # The first byte of the gzip trailer's CRC-32: the data are intact, the
  # file is not.
  byte=$(od -An -tu1 -j $((size - 8)) -N 1 "$card/main.bit.gz")
  cp "$card/main.bit.gz" "$card/bad.bit.gz"
  # shellcheck disable=SC2059
  printf "\\$(printf %03o $((byte ^ 0xff)))" | dd of="$card/bad.bit.gz" bs=1 seek=$((size - 8)) conv=notrunc status=none
}

# What the firmware prints of main.bit and io.bit: firmware MAIN_DEVICE
# MAIN_DATE MAIN_SIZE. The main FPGA's data holds a fingerprint, 8 bytes more;
# the I/O FPGA's values are fixed, and its data is stored compressed. Two
# boots: the second finds both running what it holds.
firmware() {
  local fingerprinted=$work/main-fingerprint.bit io_crc
  "$build/fpgabits-deflate" --fingerprint "$work/main.bit" "$fingerprinted"
  io_crc=$(crc32 "$work/io.bit" 33333)
  printf 'main: device %s, built %s 09:30:00, %d bytes, crc32 %s\n' "$1" "$2" $(($3 + 8)) \
    "$(crc32 "$fingerprinted" $(($3 + 8)))"
  printf 'io: device xc7s50csga324, built 2026/12/01 09:30:00, 33333 bytes, crc32 %s, compressed to %d\n' \
    "$io_crc" "$(stream_size io_fpga_data)"
  echo 'boot 1'
  printf 'main: configured over serial, IDCODE 0362d093, %d bytes sent, DONE high, 2 CRC checks passed\n' $(($3 + 8))
  echo 'io: configured over parallel x8, 33333 bytes inflated and sent, DONE high, 2 CRC checks passed'
  echo 'boot 2'
  echo "main: runs this design, user-access $(crc32 "$work/main.bit" "$3") over JTAG: not loaded"
  echo "io: runs this design, its register reads crc32 $io_crc: not loaded"
  local design='sample_top;UserID=0XFFFFFFFF'
  image card/main.bit.gz main "$work/main.bit" "$design" "$1" "$2 09:30:00" "$3" 0362d093
  image card/io.bit io "$work/io.bit" "$design" xc7s50csga324 '2026/12/01 09:30:00' 33333 0362f093
  image card/bad.bit.gz refused "$work/main.bit" "$design" "$1" "$2 09:30:00" "$3" 0362d093 \
    'corrupt or cut short data'
}

# Runs the Cortex-M3 firmware $program in QEMU, with the bad copy of its
# card's image made first.
run_in_qemu() {
  bad_copy
  (cd "${program%/*}" && timeout 120 qemu-system-arm -M mps2-an385 -nographic -monitor none -serial none \
    -semihosting-config enable=on,target=native -kernel "$program")
}

case $mode in
make)
  info() {
    printf 'design: sample_top;UserID=0XFFFFFFFF\ndevice: %s\nbuilt:  %s 09:30:00\nsize:   %d bytes\ncrc32:  %s\n' \
      "$2" "$3" "$4" "$(crc32 "$1" "$4")"
  }
  make_example() {
    make -s -C "$work" -f "$examples/make/Makefile" FPGABITS="$build/fpgabits" BITSTREAM="$work/design.bit" >/dev/null
  }
  bitstream "$work/design.bit" 7a35tcsg324 2026/12/08 1000 1
  make_example
  expect "Makefile example" "$(info "$work/design.bit" 7a35tcsg324 2026/12/08 1000)" "$work/fpga_info"
  # A second's pause keeps the time stamps apart on coarse clocks.
  sleep 1
  bitstream "$work/design.bit" 7z010clg400 2026/12/09 2345 2
  make_example
  expect "Makefile example after the bitstream changed" \
    "$(info "$work/design.bit" 7z010clg400 2026/12/09 2345)" "$work/fpga_info"
  ;;

native | cortex-m3)
  bitstream "$work/main.bit" 7a35ticsg324 2026/11/30 150000 1
  bitstream "$work/io.bit" xc7s50csga324 2026/12/01 33333 2
  configure=(cmake -S "$examples/firmware" -B "$work/build" -DCMAKE_BUILD_TYPE=MinSizeRel
    -DMAIN_BITSTREAM="$work/main.bit" -DIO_BITSTREAM="$work/io.bit")
  if [[ $mode == native ]]; then
    configure+=(-DFPGABITS_SOURCE_DIR="$examples/..")
    nm=nm program=$work/build/firmware
    run() {
      bad_copy
      (cd "${program%/*}" && "$program")
    }
  else
    cmake --install "$build" --prefix "$work/prefix" >/dev/null
    configure+=(-DCMAKE_PREFIX_PATH="$work/prefix" -DCMAKE_TOOLCHAIN_FILE="$examples/firmware/cortex-m3.cmake")
    nm=arm-none-eabi-nm program=$work/build/firmware.elf
    run() { run_in_qemu; }
  fi
  "${configure[@]}" >/dev/null
  cmake --build "$work/build" >/dev/null
  expect "$mode firmware" "$(firmware 7a35ticsg324 2026/11/30 150000)" run
  ;;&

native)
  if cmake --build "$work/build" | grep Converting; then
    echo "FAIL: a build with nothing changed converted a bitstream" >&2
    exit 1
  fi
  echo "ok: a build with nothing changed converts nothing"

  if ! gzip -dc "$work/build/card/main.bit.gz" | cmp - "$work/main.bit" ||
    [[ $(cd "$work/build/card" && gzip -lN main.bit.gz | awk 'NR == 2 { print $4 }') != main.bit ]]; then
    echo "FAIL: gunzip does not read the compressed image back into main.bit" >&2
    exit 1
  fi
  echo "ok: gunzip reads the compressed image back into main.bit, its name in the header"

  # The same refusals with COMPRESS, which converts first.
  "${configure[@]}" -DMAIN_COMPRESS=ON >/dev/null
  bitstream "$work/main.bit" xc7a100tcsg324 2026/11/30 1000 3
  # Twice: the first failure must not leave a file that the next build takes.
  # The image's target on its own, as the whole build may stop before it.
  for attempt in first second; do
    for target in all main_image; do
      if cmake --build "$work/build" --target "$target" >"$work/log" 2>&1; then
        echo "FAIL: $target: a bitstream for another device was built in" >&2
        exit 1
      fi
      grep -q 'main.bit is for xc7a100tcsg324, not 7A35T' "$work/log" || {
        cat "$work/log"
        echo "FAIL: $target: the $attempt build did not name both devices" >&2
        exit 1
      }
    done
    if [[ -e $work/build/card/main.bit.gz ]]; then
      echo "FAIL: the $attempt failed build left an image behind" >&2
      exit 1
    fi
  done
  echo "ok: a bitstream for another device fails the build, naming both, and leaves no image"

  bitstream "$work/main.bit" 7a35tcsg324 2026/11/30 0 3
  for target in all main_image; do
    if cmake --build "$work/build" --target "$target" >"$work/log" 2>&1 ||
      ! grep -q 'main.bit:\? holds no configuration data' "$work/log"; then
      cat "$work/log"
      echo "FAIL: $target: a bitstream with no data did not stop the build with a message naming it" >&2
      exit 1
    fi
  done
  echo "ok: a bitstream with no data stops the build, naming it"
  ;;

cortex-m3)
  elf=$work/build/firmware.elf
  # Where the data lies: symbol address and section, from objdump -t.
  symbol() { arm-none-eabi-objdump -t "$elf" | awk -v name="$1" '$NF == name { print $1, $(NF - 2) }'; }
  read -r main_address main_section < <(symbol main_fpga_data)
  read -r io_address io_section < <(symbol io_fpga_data)
  flash_end=$((0x400000))
  if ((0x$main_address >= flash_end || 0x$io_address >= flash_end)) || [[ $io_section != .fpga ]] ||
    ((0x$io_address % 256)); then
    echo "FAIL: data not in flash as asked: main_fpga_data at 0x$main_address in $main_section," \
      "io_fpga_data at 0x$io_address in $io_section (wanted .fpga, aligned to 256)" >&2
    exit 1
  fi
  ram=$(arm-none-eabi-size -A "$elf" | awk '$1 == ".data" || $1 == ".bss" { sum += $2 } END { print sum }')
  if ((ram > 4096)); then
    echo "FAIL: .data and .bss take $ram bytes of RAM" >&2
    exit 1
  fi
  zgrep -q "$work/prefix/share/cmake/fpgabits" "$work/prefix/share/man/man1/fpgabits.1.gz" || {
    echo "FAIL: the manual page does not name the package's directory under the prefix" >&2
    exit 1
  }
  echo "ok: data in flash (main at 0x$main_address, io at 0x$io_address in .fpga), $ram bytes of RAM"

  # The loader as the firmware's build compiled it, at -Os.
  read -r text data bss _ < <(arm-none-eabi-size "$(find "$work/build" -name fpgabits_load.c.o -o -name fpgabits_load.c.obj)" | tail -n 1)
  if ((text > 2560 || data + bss > 0)); then
    echo "FAIL: the loader takes $text bytes of code and $((data + bss)) of RAM" >&2
    exit 1
  fi
  echo "ok: the loader takes $text bytes of code and no RAM of its own"
  # All of it, the image reader and its check of the configuration stream,
  # the inflater and JTAG with readback: no more than 12 KiB, and none has
  # RAM of its own.
  read -r text data bss < <(find "$work/build" -name 'fpgabits_*.c.o' -o -name 'fpgabits_*.c.obj' |
    xargs arm-none-eabi-size | awk 'NR > 1 { t += $1; d += $2 + $3 } END { print t, d, 0 }')
  if ((text > 12288 || data + bss > 0)); then
    echo "FAIL: the loader's files take $text bytes of code and $((data + bss)) of RAM" >&2
    exit 1
  fi
  echo "ok: the loader's files take $text bytes of code and no RAM of their own"

  sleep 1
  touch "$work/prefix/bin/fpgabits"
  [[ $(cmake --build "$work/build" | grep -c -e Converting -e 'Writing the image') == 4 ]] || {
    echo "FAIL: a new fpgabits did not convert both bitstreams and write both images again" >&2
    exit 1
  }
  echo "ok: a new fpgabits converts both bitstreams and writes both images again"

  sleep 1
  bitstream "$work/main.bit" 7a35tcpg236 2026/12/07 77777 4
  cmake --build "$work/build" >/dev/null
  expect "cortex-m3 firmware after a bitstream changed" "$(firmware 7a35tcpg236 2026/12/07 77777)" run

  # fpgabits as a subproject of the cross build, with the build machine's program.
  cmake -S "$examples/firmware" -B "$work/build" -DFPGABITS_SOURCE_DIR="$examples/.." \
    -DFPGABITS_EXECUTABLE="$work/prefix/bin/fpgabits" \
    -DFPGABITS_DEFLATE_EXECUTABLE="$work/prefix/libexec/fpgabits/fpgabits-deflate" >/dev/null
  cmake --build "$work/build" >/dev/null
  expect "cortex-m3 firmware with fpgabits as a subproject" "$(firmware 7a35tcpg236 2026/12/07 77777)" run
  ;;

cortex-m3-real)
  # Two real 2 MB bitstreams, compressed, in an image linked for 1 MiB of
  # flash, where neither fits as it is.
  real=${3:-}
  if [[ ! -d $real ]]; then
    echo "skipped: no folder of real bitstreams ${real:-given} for the 1 MiB image"
    exit 77
  fi
  cmake --install "$build" --prefix "$work/prefix" >/dev/null
  nm=arm-none-eabi-nm
  main=$real/2020-7a35ticsg324-media-player.bit
  io=$real/2023-7z010clg400-control-board.bit
  cmake -S "$examples/firmware" -B "$work/real" -DCMAKE_BUILD_TYPE=MinSizeRel -DCMAKE_PREFIX_PATH="$work/prefix" \
    -DCMAKE_TOOLCHAIN_FILE="$examples/firmware/cortex-m3.cmake" -DMAIN_BITSTREAM="$main" -DIO_BITSTREAM="$io" \
    -DMAIN_COMPRESS=ON -DFLASH_SIZE=1M >/dev/null
  cmake --build "$work/real" >/dev/null
  program=$work/real/firmware.elf
  report() {
    printf '%s: device %s, built %s, %d bytes, crc32 %s, compressed to %d\n' "$1" "$3" "$4" "$5" \
      "$(crc32 "$2" "$5")" "$(stream_size "$1_fpga_data")"
  }
  "$build/fpgabits-deflate" --fingerprint "$main" "$work/main-fingerprint.bit"
  expect "cortex-m3 firmware with two real bitstreams compressed into 1 MiB of flash" \
    "$(report main "$work/main-fingerprint.bit" 7a35ticsg324 '2020/10/25 22:13:40' 2192020
      report io "$io" 7z010clg400 '2023/09/06 19:46:20' 2083740
      echo 'boot 1'
      echo 'main: configured over serial, 2192020 bytes inflated and sent, DONE high, 2 CRC checks passed'
      echo 'io: configured over parallel x8, 2083740 bytes inflated and sent, DONE high, 2 CRC checks passed'
      echo 'boot 2'
      echo "main: runs this design, user-access $(crc32 "$main" 2192012) over JTAG: not loaded"
      echo "io: runs this design, its register reads crc32 $(crc32 "$io" 2083740): not loaded"
      image card/main.bit.gz main "$main" 'top;UserID=0XFFFFFFFF' 7a35ticsg324 '2020/10/25 22:13:40' 2192012 0362d093
      image card/io.bit io "$io" design_1_wrapper 7z010clg400 '2023/09/06 19:46:20' 2083740 03722093
      image card/bad.bit.gz refused "$main" 'top;UserID=0XFFFFFFFF' 7a35ticsg324 '2020/10/25 22:13:40' 2192012 0362d093 \
        'corrupt or cut short data')" \
    run_in_qemu
  ;;

consumer)
  cmake --install "$build" --prefix "$work/prefix" >/dev/null
  cp -R "$examples/../tests/consumer" "$work/src"
  # A USERCODE in the design name, longer than the 31 bytes of main_fpga_design.
  "$build/mkbitstream" --name 'sample_top;UserID=0X0BADC0DE;Version=2024.2' --date 2026/12/08 --size 5000 \
    "$work/main.bit"
  # Compressed, and of a device that writes no IDCODE: 0.
  bitstream "$work/aux.bit" 2s200fg456 2026/12/08 777 2
  # DEVICE is compared with the text itself, not as fpgabits.i escapes it.
  bitstream "$work/io.bit" '7a35t?"csg324' 2026/12/08 3001 3
  # line NAME BITSTREAM SIZE IDCODE USR_ACCESS USERCODE
  line() {
    printf '%s: %d bytes, crc32 %s, aligned, IDCODE %s, USR_ACCESS %s, USERCODE %s\n' "$1" "$3" "$(crc32 "$2" "$3")" \
      "$4" "$5" "$6"
  }
  # io_fpga holds io.bit with a fingerprint: 8 bytes more, and the CRC-32 of
  # io.bit's data written to AXSS.
  "$build/fpgabits-deflate" --fingerprint "$work/io.bit" "$work/io-fingerprint.bit"
  want=$(line main "$work/main.bit" 5000 0362d093 00000000 0badc0de)$'\n'$(
    line aux "$work/aux.bit" 777 00000000 00000000 ffffffff)$'\n'$(
    line io "$work/io-fingerprint.bit" 3009 0362d093 "$(crc32 "$work/io.bit" 3001)" ffffffff)
  for cc in gcc clang; do
    tree=$work/$cc
    CC=$cc cmake -S "$work/src" -B "$tree" -DCMAKE_PREFIX_PATH="$work/prefix" \
      -DMAIN_BITSTREAM="$work/main.bit" -DAUX_BITSTREAM="$work/aux.bit" -DIO_BITSTREAM="$work/io.bit" >/dev/null
    cmake --build "$tree" >/dev/null
    expect "$cc: firmware" "$want" "$tree/firmware"
    expect "$cc: selftest" "$want" "$tree/selftest"
    sleep 1
    touch "$work/src/main.c"
    if cmake --build "$tree" | grep -E 'Converting|fpgabits/.*\.c\.o'; then
      echo "FAIL: $cc: a change to the program converted or compiled data again" >&2
      exit 1
    fi
    echo "ok: $cc: a change to the program compiles no data again"
  done

  # Each block after the marker is a file named in its first line, such as
  # "/* fpga.c: ..." or "# CMakeLists.txt: ...", up to the text it prints.
  marker='<!-- examples/test.sh consumer builds the next four blocks, runs it and compares with the text -->'
  page=$work/testing
  mkdir -p "$page/bitstreams"
  cp "$work/main.bit" "$page/bitstreams/main.bit"
  awk -v marker="$marker" -v dir="$page" '
    $0 == marker { state = 1; next }
    state == 1 && ($0 == "```c" || $0 == "```cmake") { state = 2; file = ""; next }
    state == 2 && $0 == "```" { close(dir "/" file); state = 1; next }
    state == 2 && file == "" { file = $2; sub(/:$/, "", file) }
    state == 2 { print > (dir "/" file); next }
    state == 1 && $0 == "```text" { state = 3; next }
    state == 3 && $0 == "```" { state = 0; next }
    state == 3 { print > (dir "/expected") }
  ' "$examples/../docs/testing.md"
  for file in fpga.h fpga.c fpga_test.c CMakeLists.txt expected; do
    [[ -f $page/$file ]] || {
      echo "FAIL: docs/testing.md: no $file after the marker" >&2
      exit 1
    }
  done
  cmake -S "$page" -B "$page/build" -DCMAKE_PREFIX_PATH="$work/prefix" \
    -DCMAKE_C_FLAGS="-std=c99 -Wall -Wextra -Wpedantic -Werror" >/dev/null
  cmake --build "$page/build" >/dev/null
  "$page/build/fpga_test" >"$page/printed" || {
    cat "$page/printed"
    echo "FAIL: docs/testing.md: the example's test failed" >&2
    exit 1
  }
  expect "docs/testing.md: the example against the model" "$(cat "$page/expected")" cat "$page/printed"

  # The example of docs/images.md, with the model's check of DMA, on a file
  # whose padding comes in chunks of its own after the data.
  marker="<!-- examples/test.sh consumer runs the next block, with the FPGA model's check of DMA -->"
  page=$work/images
  mkdir "$page"
  awk -v marker="$marker" '
    $0 == marker { state = 1; next }
    state == 1 && $0 == "```c" { state = 2; next }
    state == 2 && $0 == "```" { exit }
    state == 2 { print }
  ' "$examples/../docs/images.md" >"$page/read_image.c"
  { cat "$work/main.bit" && head -c 1536 /dev/zero | tr '\0' '\377'; } >"$page/padded.bit"
  share=$work/prefix/share/fpgabits
  cc -std=c99 -Wall -Wextra -Wpedantic -Werror -I"$page" -I"$share/loader" -I"$share/model" \
    "$examples/../tests/images_example.c" "$share"/loader/*.c "$share/model/fpga_model.c" -o "$page/example"
  expect "docs/images.md: read_image() checks and loads a file and its padding by DMA" \
    "check: no error, load: no error, DONE high, no violation" "$page/example" "$page/padded.bit"
  ;;

readme)
  # The repository's root as the README's commands see it: the quick start's
  # build/ with the program and the fpgabits.i it wrote, and the package
  # installed into prefix/.
  mkdir "$work/root" "$work/root/build"
  ln -s "$examples" "$work/root/examples"
  ln -s "$examples/../tests" "$work/root/tests"
  ln -s "$build/fpgabits" "$work/root/build/fpgabits"
  (cd "$work/root/build" && ./fpgabits ../examples/sample.bit >/dev/null)
  cmake --install "$build" --prefix "$work/root/prefix" >/dev/null
  marker='<!-- examples/test.sh readme runs this block and compares the end of its output with the next -->'
  awk -v marker="$marker" -v out="$work/block" '
    $0 == marker { state = 1; ++n; next }
    state == 1 && $0 == "```sh" { state = 2; next }
    state == 2 && $0 == "```" { state = 3; next }
    state == 2 { print > (out n ".sh"); next }
    state == 3 && $0 == "```text" { state = 4; next }
    state == 4 && $0 == "```" { state = 0; next }
    state == 4 { print > (out n ".txt") }
  ' "$examples/../README.md"
  blocks=0
  for commands in "$work"/block*.sh; do
    want=${commands%.sh}.txt
    (cd "$work/root" && bash -e "$commands") >"$work/printed" 2>"$work/log" || {
      cat "$work/log"
      echo "FAIL: the README's commands failed:" >&2
      cat "$commands" >&2
      exit 1
    }
    expect "the README's $(head -n 1 "$commands" | cut -c 1-60)..." "$(cat "$want")" \
      tail -n "$(wc -l <"$want")" "$work/printed"
    blocks=$((blocks + 1))
  done
  ((blocks == 2)) || {
    echo "FAIL: found $blocks marked blocks in the README, not 2" >&2
    exit 1
  }
  ;;

*)
  echo "usage: $0 make|native|cortex-m3|cortex-m3-real|consumer|readme FPGABITS_BUILD_DIR [REAL_BITSTREAMS]" >&2
  exit 2
  ;;
esac

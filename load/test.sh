#!/usr/bin/env bash
# Runs fpgabits-load against the stand-in kernel (standin.c, preloaded), with
# the FPGA model behind its pins, and checks each row of the table below: its
# exit status, its one line on standard error, and what the model saw. Then
# the output of a load, serial and over JTAG, and every real bitstream of up
# to 1 MiB as a file and as gzip; then what the JTAG reads print: the chains
# that --idcodes lists, --status and --skip-if-running. With
# "heavy", only the real bitstreams over 1 MiB, which take half a minute under
# the sanitizers; it exits 77 (skipped) where there are none.
#   load/test.sh FPGABITS_LOAD STANDIN_LIBRARY MKBITSTREAM FPGABITS_DEFLATE [REAL_BITSTREAMS [heavy]]
set -euo pipefail
program=$1
standin=$2
mkbitstream=$3
deflate=$4
real=${5:-}
heavy=${6:-}
work=$(mktemp -d "${TMPDIR:-/tmp}/fpgabits-load-XXXXXX")
trap 'rm -rf "$work"' EXIT
# The stand-in comes before the sanitizers' runtime, which otherwise refuses
# to run when it is not the first library.
export ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0
failures=0

"$mkbitstream" --device 7a35tcsg324 --date 2026/12/08 --time 09:30:00 --size 4096 "$work/a.bit"
gzip -9c "$work/a.bit" >"$work/a.bit.gz"
tail -c 4096 "$work/a.bit" >"$work/a.bin"
head -c 3000 "$work/a.bit" >"$work/cut.bit"
# Two designs with fingerprints, which the FPGA reads back from AXSS.
"$deflate" --fingerprint "$work/a.bit" "$work/fp.bit"
"$mkbitstream" --device 7a35tcsg324 --date 2026/12/08 --time 09:30:00 --size 4096 --seed 2 "$work/b.bit"
"$deflate" --fingerprint "$work/b.bit" "$work/fp2.bit"
mkdir "$work/tmp"

# Every case runs in 400 MB of address space, which a program that held a
# large input in memory would run out of; not where the program cannot start
# in it, as under AddressSanitizer, which reserves terabytes.
memory=400000
# The braces also silence the shell's own notice that the program aborted.
if ! { (ulimit -v $memory && LD_PRELOAD="$standin" "$program" --version) >/dev/null; } 2>/dev/null; then
  echo "the cases run with no limit of address space: the program does not start in $memory KiB"
  memory=
fi

# run ENVIRONMENT ARGUMENTS: runs fpgabits-load with the stand-in, its
# output in $work/out and $work/err, its status in $status, the report in
# $work/report.
run() {
  status=0
  rm -f "$work/report"
  # shellcheck disable=SC2086 # the environment is words
  (
    [[ -z $memory ]] || ulimit -v $memory
    env FPGABITS_STANDIN_REPORT="$work/report" LD_PRELOAD="$standin" $1 \
      bash -c "exec \"$program\" $2 >\"$work/out\" 2>\"$work/err\""
  ) || status=$?
}

fail() {
  echo "FAIL: $1: $2" >&2
  failures=$((failures + 1))
}

# check NAME STATUS ERROR REPORT: the status, standard error (a line that
# matches ERROR, two where \n parts it, or nothing where ERROR is empty) and
# the lines of REPORT.
check() {
  local name=$1 want=$2 error=$3 item i lines=()
  ((status == want)) || fail "$name" "exit status $status, not $want: $(cat "$work/err")"
  [[ -z $error ]] || mapfile -t lines <<<"${error//\\n/$'\n'}"
  if [[ -z $error ]]; then
    [[ ! -s $work/err ]] || fail "$name" "standard error: $(cat "$work/err")"
  elif (($(wc -l <"$work/err") != ${#lines[@]})); then
    fail "$name" "standard error is not ${#lines[@]} line(s) like '$error': $(cat "$work/err")"
  else
    for i in "${!lines[@]}"; do
      sed -n "$((i + 1))p" "$work/err" | grep -qE -- "^fpgabits-load: ${lines[i]}" ||
        fail "$name" "standard error is not like '$error': $(cat "$work/err")"
    done
  fi
  for item in $4; do
    grep -qx -- "${item/=/ }" "$work/report" || fail "$name" "the model did not see '${item/=/ }': $(tr '\n' ' ' <"$work/report")"
  done
}

# The table's rows use these.
# shellcheck disable=SC2034
declare pins="--spi /dev/spidev0.0 --prog gpiochip0:17 --init gpiochip0:27 --done gpiochip0:22" \
  loaded="done=1 violation=none still_open=0 consumer=fpgabits-load prog_b_pulses=1 crc_checks=2 idcode=0362d093" \
  untouched="device_opens=0 prog_b_pulses=0" \
  released="still_open=0 prog_b_pulses=0 violation=none" \
  jtag="--jtag --tck gpiochip0:11 --tms gpiochip0:25 --tdi gpiochip0:10 --tdo gpiochip0:9" \
  jtag_spi="--jtag --spi /dev/spidev0.0 --tms gpiochip0:25" \
  three="FPGABITS_STANDIN_CHAIN=8:1234a0cb,fpga,4" \
  jloaded="done=1 violation=none still_open=0 consumer=fpgabits-load prog_b_pulses=0 jprograms=1 crc_checks=2 tap_state=Test-Logic-Reset" \
  jrefused="jprograms=0 done=0 tap_state=Test-Logic-Reset violation=none still_open=0"
# load_real_bitstreams light|heavy: every real bitstream of up to 1 MiB
# (light) or over it (heavy), as a file and as gzip from standard input, into
# a model of its device; the 2.2 MB design takes the time docs/linux.md says.
# Returns 1 where there are none.
load_real_bitstreams() {
  local bit name device over=0 found=1
  [[ $1 != heavy ]] || over=1
  if [[ -z $real || ! -d $real ]]; then
    echo "the real bitstreams are skipped: no folder ${real:-given}"
    return 1
  fi
  for bit in "$real"/*.bit; do
    if [[ ! -f $bit ]] || (($(stat -c %s "$bit") > 1048576 != over)); then
      continue
    fi
    found=0
    name=$(basename "$bit")
    device=$(sed -n 's/^device: //p' <(LD_PRELOAD="$standin" "$program" --check "$bit"))
    gzip -1c "$bit" >"$work/real.gz"
    run "FPGABITS_STANDIN_DEVICE=$device" "$pins '$bit'"
    check "$name" 0 "" "done=1 violation=none still_open=0 prog_b_pulses=1"
    if [[ $name == 2020-7a35ticsg324-media-player.bit ]]; then
      grep -qxE 'loaded in 1\.7[5-9] s, 12[0-9]{5} bytes/s' "$work/out" || fail "$name" "$(tail -n 1 "$work/out")"
    fi
    run "FPGABITS_STANDIN_DEVICE=$device" "$pins - <'$work/real.gz'"
    check "$name as gzip" 0 "" "done=1 violation=none still_open=0 prog_b_pulses=1"
    if [[ $name == 2020-7a35ticsg324-media-player.bit ]]; then
      run "FPGABITS_STANDIN_DEVICE=$device FPGABITS_STANDIN_SPI=jtag" "$jtag_spi '$bit'"
      check "$name over JTAG" 0 "" "$jloaded largest_message=4096"
      grep -qxE 'loaded in 1\.7[5-9] s, 12[0-9]{5} bytes/s' "$work/out" || fail "$name over JTAG" "$(tail -n 1 "$work/out")"
    fi
  done
  return $found
}

if [[ $heavy == heavy ]]; then
  load_real_bitstreams heavy || exit 77
  if ((failures > 0)); then
    echo "$failures failed"
    exit 1
  fi
  exit 0
fi

# A pipe's writer runs without the stand-in, whose report at its exit would
# race with the program's.
# name | environment | arguments | exit status | standard error | what the model saw
while IFS='|' read -r name environment arguments want error report; do
  [[ -n $name ]] || continue
  eval "environment=\"$environment\" arguments=\"$arguments\" report=\"$report\""
  run "$environment" "$arguments"
  check "$name" "$want" "$error" "$report"
done <<'EOF'
a bitstream file|                           |$pins $work/a.bit                   |0||$loaded device_opens=4 speed=10000000 largest_message=512 bytes=4104
a gzip file, from standard input|           |$pins - <$work/a.bit.gz             |0||$loaded
a gzip file, through a pipe|TMPDIR=$work/tmp|$pins - < <(env -u LD_PRELOAD cat $work/a.bit.gz)|0||$loaded
no temporary directory for a pipe|TMPDIR=$work/none|$pins - < <(env -u LD_PRELOAD cat $work/a.bit.gz)|1|standard input: cannot make a temporary file in .*/none: No such file or directory \(set TMPDIR to a writable directory, or give a file\)$|$untouched
empty standard input|                       |$pins - </dev/null                  |1|standard input: unknown image format, or bits reversed \(give the bitstream file, a gzip file of one, or raw configuration data\)$|$untouched
300 MB of zeros on standard input|          |$pins - < <(env -u LD_PRELOAD head -c 300000000 /dev/zero)|1|standard input: unknown image format, or bits reversed \(give the bitstream file, a gzip file of one, or raw configuration data\)$|$untouched
raw configuration data|                     |$pins $work/a.bin                   |0||$loaded
a bufsiz of 100, at 1 MHz|FPGABITS_STANDIN_BUFSIZ=100|$pins --speed 1000000 $work/a.bit|0||$loaded largest_message=100 speed=1000000
the device type and the IDCODE asked for|   |$pins --device 7A35T --idcode 0x1362d093 $work/a.bit|0||$loaded
a CRC error|FPGABITS_STANDIN_FAULTS=flip        |$pins $work/a.bit                   |1|load failed: CRC error: corrupt, or another device \(check that .*/a.bit is for this FPGA, and MOSI to DIN and SCLK to CCLK; try a lower --speed\)$|done=0 prog_b_pulses=1 still_open=0 violation=none
a file for another FPGA|FPGABITS_STANDIN_DEVICE=7z010clg400|$pins $work/a.bit      |1|load failed: CRC error|done=0 idcode=0362d093 still_open=0
INIT_B stuck low|FPGABITS_STANDIN_FAULTS=init-stuck|$pins $work/a.bit            |1|load failed: INIT_B stuck high or low \(check the FPGA's power, the wiring of PROG_B \(gpiochip0:17\) and INIT_B \(gpiochip0:27\), INIT_B's pull-up, and the mode pins set for slave serial\)$|done=0 bytes=0 still_open=0 violation=none
DONE never rising|FPGABITS_STANDIN_FAULTS=no-done|$pins $work/a.bit               |1|load failed: DONE low: no sync word, or data cut short \(check MOSI to DIN and SCLK to CCLK, the mode pins set for slave serial, and DONE \(gpiochip0:22\) with its pull-up\)$|done=0 crc_checks=2 still_open=0
another device type, before the reset|      |$pins --device 7z010 $work/a.bit    |1|.*/a.bit: image for another device \(it has device type 7a35tcsg324, not --device 7z010\)$|$untouched
another IDCODE, before the reset|           |$pins --idcode 03727093 $work/a.bit |1|.*/a.bit: image for another device \(it has device type 7a35tcsg324, IDCODE 0362d093, not --idcode 03727093\)$|$untouched
a file cut short, before the reset|         |$pins $work/cut.bit                 |1|.*/cut.bit: corrupt or cut short data \(check the file: copy it again\)$|$untouched
no such file|                               |$pins $work/none.bit                |1|.*/none.bit: No such file or directory$|$untouched
no such SPI device|                         |${pins/spidev0.0/spidev1.0} $work/a.bit|1|/dev/spidev1.0: no such device \(ls /dev/spidev\* lists the SPI devices; .*\)$|$untouched
no such GPIO chip|                          |${pins/0:22/1:22} $work/a.bit       |1|/dev/gpiochip1: no such device \(ls /dev/gpiochip\* lists the GPIO chips; .*\)$|$released device_opens=3
no such line|                               |${pins/0:22/0:54} $work/a.bit       |1|DONE \(gpiochip0:54\): /dev/gpiochip0 has no line 54 \(its lines are 0 to 53\)$|$released
a line in use|FPGABITS_STANDIN_FAULTS=busy:27|$pins $work/a.bit                  |1|INIT_B \(gpiochip0:27\): the line is in use \(gpioinfo /dev/gpiochip0 shows by what: .*\)$|$released
SPI permission denied|FPGABITS_STANDIN_FAULTS=spi-denied|$pins $work/a.bit         |1|/dev/spidev0.0: permission denied \(add the user to the group spi with usermod -aG spi USER and log in again, or install the udev rule of PERMISSIONS in man fpgabits-load\)$|$untouched
GPIO permission denied|FPGABITS_STANDIN_FAULTS=gpio-denied|$pins $work/a.bit       |1|/dev/gpiochip0: permission denied \(add the user to the group gpio .*\)$|$released device_opens=1
SPI mode refused|FPGABITS_STANDIN_FAULTS=spi-mode|$pins $work/a.bit              |1|/dev/spidev0.0: SPI mode 0, most significant bit first, refused: Invalid argument \(the controller must support SPI mode 0\)$|$released
a check opens no device|                    |--check $work/a.bit.gz              |0||$untouched
a check of another file|                    |--check $work/cut.bit               |1|.*/cut.bit: corrupt or cut short data|$untouched
a bad option|                               |$pins --bogus $work/a.bit           |2|unknown option --bogus \(fpgabits-load --help shows the usage\)$|$untouched
a missing pin|                              |${pins/--done gpiochip0:22/} $work/a.bit|2|a load needs --done \(or --check to check the file only\)|$untouched
a line given twice|                         |${pins/0:22/0:27} $work/a.bit       |2|--prog, --init and --done must be three different lines|$untouched
a bad line|                                 |${pins/0:22/0} $work/a.bit          |2|--done gpiochip0: give a GPIO line as CHIP:LINE, such as gpiochip0:17|$untouched
a bad speed|                                |$pins --speed 10M $work/a.bit       |2|--speed 10M: give the SPI clock in Hz|$untouched
no file|                                    |$pins                               |2|no FILE given|$untouched
a JTAG load over GPIO lines|                |$jtag $work/a.bit                   |0||$jloaded device_opens=1 cfg_in_bits=32769
a JTAG load over SPI, gzip, a chain of three|FPGABITS_STANDIN_SPI=jtag $three|$jtag_spi --chain-tdi 1:8 --chain-tdo 1:4 - <$work/a.bit.gz|0||$jloaded cfg_in_bits=32770 largest_message=4096 speed=10000000
another FPGA, before JPROGRAM|FPGABITS_STANDIN_DEVICE=7z010clg400|$jtag $work/a.bit     |1|load failed: image for another device \(the FPGA answers IDCODE 03722093, .*/a.bit writes 0362d093: give the file for this FPGA, or check --chain-tdi and --chain-tdo, which give its place in the chain\)$|$jrefused
a chain described wrong|$three              |$jtag --chain-tdi 1:8 $work/a.bit   |1|load failed: the JTAG chain does not answer as described \(check the wiring of TCK \(gpiochip0:11\), TMS \(gpiochip0:25\), TDI \(gpiochip0:10\) and TDO \(gpiochip0:9\) with its pull-up, and --chain-tdi 1:8 and --chain-tdo 0:0 against what fpgabits-load --idcodes lists\)$|$jrefused
a cut TDO|FPGABITS_STANDIN_FAULTS=tdo-stuck:1|$jtag $work/a.bit                 |1|load failed: the JTAG chain does not answer as described|$jrefused
a cut TDO, listing the chain|FPGABITS_STANDIN_FAULTS=tdo-stuck:1|$jtag --idcodes   |1|the JTAG chain answers with no device: TDO reads 1 throughout \(check the wiring of .*, and that the devices are powered\)$|$jrefused
the memory never clearing, over JTAG|FPGABITS_STANDIN_SPI=jtag FPGABITS_STANDIN_FAULTS=clear-stuck|$jtag_spi $work/a.bit|1|load failed: INIT_B stuck high or low \(the FPGA did not finish clearing its memory within 1 s of JPROGRAM: check its power, and that nothing holds its INIT_B pin low\)$|jprograms=1 cfg_in_bits=0 done=0 tap_state=Test-Logic-Reset violation=none
an SPI controller of 8-bit words only|FPGABITS_STANDIN_SPI=jtag FPGABITS_STANDIN_FAULTS=spi-no-1bit|$jtag_spi $work/a.bit|1|/dev/spidev0.0: the SPI controller takes no 1-bit words, which the TAP's moves need: use --tck, --tdi and --tdo on GPIO lines, or a bit-banging SPI device$|tck_cycles=0 still_open=0 violation=none
a failed SPI message|FPGABITS_STANDIN_FAULTS=spi-eio|$pins $work/a.bit               |1|load failed: /dev/spidev0.0: an SPI message of 512 bytes failed: Input/output error$|done=0 still_open=0
a failed SPI message, over JTAG|FPGABITS_STANDIN_SPI=jtag FPGABITS_STANDIN_FAULTS=spi-eio|$jtag_spi $work/a.bit|1|load failed: /dev/spidev0.0: an SPI message of [0-9]+ bytes failed: Input/output error$|jprograms=1 done=0 tap_state=Test-Logic-Reset still_open=0
a CRC error, over JTAG|FPGABITS_STANDIN_SPI=jtag FPGABITS_STANDIN_FAULTS=flip|$jtag_spi $work/a.bit|1|load failed: CRC error: corrupt, or another device \(the FPGA's status register shows it: check that .*/a.bit is for this FPGA, and the wiring of SCLK to TCK, .*; try a lower --speed\)$|jprograms=1 crc_error=1 done=0 tap_state=Test-Logic-Reset violation=none still_open=0
DONE never rising, over JTAG|FPGABITS_STANDIN_FAULTS=no-done|$jtag $work/a.bit|1|load failed: DONE low: no sync word, or data cut short \(check that .*/a.bit is for this FPGA, and the wiring of TCK \(gpiochip0:11\), .*\)$\ncause: startup did not finish: check the bitstream's startup clock$|jprograms=1 crc_error=0 done=0 tap_state=Test-Logic-Reset violation=none
a JTAG load without TDO|                    |${jtag/--tdo gpiochip0:9/} $work/a.bit|2|a load over JTAG needs --tdo \(or --spi for TCK, TDI and TDO, or --check to check the file only\)|$untouched
a bad chain description|                    |$jtag --chain-tdo 2:3 $work/a.bit   |2|--chain-tdo 2:3: give the other devices between the FPGA and TDO as N:BITS, how many \(up to 64\) and their instruction registers' bits added up \(at least 2 a device\), such as 1:8|$untouched
JTAG lines without --jtag|                  |${jtag/--jtag/} $work/a.bit         |2|--tck, --tms, --tdi, --tdo, --chain-tdi and --chain-tdo are for a load over JTAG: add --jtag|$untouched
a skip without JTAG|                        |$pins --skip-if-running $work/a.bit |2|--skip-if-running reads back what the FPGA runs over JTAG: add --jtag and its lines|$untouched
EOF

# The copy of a pipe leaves nothing behind in TMPDIR.
[[ -z $(ls -A "$work/tmp") ]] || fail "a gzip file, through a pipe" "left $(ls -A "$work/tmp") in TMPDIR"

# What a load prints: the header's texts, the data and the time it took
# through the model at the default 10 MHz.
run "" "$pins $work/a.bit"
expected='design: sample_top;UserID=0XFFFFFFFF
device: 7a35tcsg324
date:   2026/12/08 09:30:00
bytes:  4096
IDCODE: 0362d093'
[[ $(head -n 5 "$work/out") == "$expected" ]] || fail "the output of a load" "$(cat "$work/out")"
tail -n +6 "$work/out" | grep -qxE 'loaded in 0\.0[0-9] s, [0-9]+ bytes/s' || fail "the time of a load" "$(cat "$work/out")"
# Over JTAG, the silicon's IDCODE too.
run "" "$jtag $work/a.bit"
[[ $(head -n 6 "$work/out") == "$expected"$'\nsilicon: 0362d093' ]] || fail "the output of a JTAG load" "$(cat "$work/out")"
tail -n +7 "$work/out" | grep -qxE 'loaded in 0\.0[0-9] s, [0-9]+ bytes/s' ||
  fail "the time of a JTAG load" "$(cat "$work/out")"

load_real_bitstreams light || true

# What the JTAG reads print: the chains that --idcodes lists, over GPIO on
# lines other than the stand-in's defaults, and over SPI; what --status reads
# from a blank FPGA and from one that runs a design; and what
# --skip-if-running decides: the design that runs, another one, and a file
# without fingerprint, which it cannot tell.
# shellcheck disable=SC2034
listed="tap_state=Test-Logic-Reset violation=none still_open=0 consumer=fpgabits-load jprograms=0" \
  running="FPGABITS_STANDIN_RUNNING=$work/fp.bit"
# name | environment | arguments | a pattern of what it printed, its lines joined | what the model saw
while IFS='|' read -r name environment arguments want report; do
  [[ -n $name ]] || continue
  eval "environment=\"$environment\" arguments=\"$arguments\" want=\"$want\" report=\"$report\""
  run "$environment" "$arguments"
  check "$name" 0 "" "$report"
  # shellcheck disable=SC2053 # want is a pattern
  [[ $(tr '\n' ' ' <"$work/out") == $want" " ]] || fail "$name" "it printed '$(cat "$work/out")', not '$want'"
done <<'EOF'
three devices, over GPIO on other lines|FPGABITS_STANDIN_JTAG=3,4,5,6 FPGABITS_STANDIN_CHAIN=8:1234a0cb,fpga,4|--idcodes --tck gpiochip0:3 --tms gpiochip0:4 --tdi gpiochip0:5 --tdo gpiochip0:6|devices from TDO to TDI: 3 1: bypass 2: 0362d093 3: 1234a0cb instruction registers: 18 bits in all|$listed
three devices, over SPI|FPGABITS_STANDIN_SPI=jtag FPGABITS_STANDIN_DEVICE=6slx9tqg144 FPGABITS_STANDIN_CHAIN=5,fpga,8:1234a0cb|$jtag_spi --idcodes|devices from TDO to TDI: 3 1: 1234a0cb 2: 04001093 3: bypass instruction registers: 19 bits in all|$listed speed=10000000
the status of a blank FPGA||$jtag --status|IDCODE: 0362d093 DONE: low INIT: high status register: 00001800 user-access: 00000000 USERCODE: ffffffff boot status: 00000000 errors: none start-up phase: 0 cause: no error shown|$listed done=0
the status of a running design|$running|$jtag --status|IDCODE: 0362d093 DONE: high INIT: high status register: 001c7800 user-access: 50a80455 USERCODE: ffffffff boot status: 00000001 errors: none start-up phase: 7 cause: no error: configured|$listed done=1
a skip, the design running|$running|$jtag --skip-if-running $work/fp.bit|design: * silicon: 0362d093 already running: $work/fp.bit (user-access 50a80455)|$listed done=1
no skip, another design running|$running|$jtag --skip-if-running $work/fp2.bit|design: * silicon: 0362d093 not running: $work/fp2.bit (user-access 50a80455, not 1d047047) loaded in *|$jloaded
no skip, a file without fingerprint|$running|$jtag --skip-if-running $work/a.bit|design: * silicon: 0362d093 cannot tell whether the FPGA runs $work/a.bit: it records no user-access value or USERCODE (give it a fingerprint: *) loaded in *|$jloaded
EOF

if ((failures > 0)); then
  echo "$failures failed"
  exit 1
fi
echo "ok: every case"

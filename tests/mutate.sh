#!/usr/bin/env bash
# Mutation testing of the loader's tests: applies one hand-made mutant of
# loader/*.c (or of a constant in its headers) at a time to a copy of the
# source tree, rebuilds it under
# AddressSanitizer and UndefinedBehaviorSanitizer, runs the tests that reach
# the loader, and says whether they catch the mutant.
#   tests/mutate.sh MUTANTS [ID...]
# MUTANTS holds one mutant a line, "ID FILE:LINE OLD ==> NEW": the exact text
# OLD on line LINE of FILE (relative to the repository) becomes NEW, which
# may be empty; blank lines and lines starting with # are skipped. With IDs,
# only those mutants run. A mutant whose OLD text is not on its line is
# "stale": fix the line number after the loader changed.
# The tests, in three steps, each only where the one before passes:
# fpgabits_tests --gtest_filter='Loader*:Inflate*:Image*:Model*:Tap*' (JTAG's
# LoaderJtag among them) but those on the real bitstreams, the CTest tests
# fuzz.*, load.* and examples.native, and the tests on the real bitstreams. The code that -Os builds instead of the
# fast inflater runs only in examples.cortex-m3: leave it out. A mutant is
# "killed" where a test fails, crashes or runs out of time (MUTATE_TIMEOUT
# seconds a step, default 120, and four times that for the real bitstreams,
# which take a minute or two under the sanitizers), "survived" otherwise.
# MUTATE_QUICK=1 runs the first step alone, in seconds a mutant: those that
# it does not catch are "untold", for a run of all the steps after. Each result is printed
# and added to MUTATE_DIR/results.tsv (default build-mutants/, where the copy
# and its build live) as "ID, fate, the first failing test of the failing
# step". A run takes one core or two: to use more, run several at once, each
# with MUTATE_DIR of its own and some of the IDs.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
mutants=$(realpath "$1")
shift
dir=${MUTATE_DIR:-$repo/build-mutants}
timeout=${MUTATE_TIMEOUT:-120}
src=$dir/src build=$dir/build
# The tests on the real bitstreams, one a file (and a format), light and heavy.
slow='*/LoaderReal.*:*/LoaderJtagReal.*:*/InflateReal.*:*/ImageReal.*:*/ImageRealFingerprint.*'

# The working tree as it is, tracked files and new ones, with their times,
# so that only what changed builds again; the loader always builds again
# once, then only the file of each mutant.
mkdir -p "$src"
(cd "$repo" && git ls-files -z --cached --others --exclude-standard | grep -zv '^build' |
  tar --null -cf - -T -) | tar -xf - -C "$src"
touch "$src"/loader/*.c
if [[ ! -f $build/CMakeCache.txt ]]; then
  # -O1 keeps the real bitstreams' tests within minutes under the sanitizers.
  sanitize="-O1 -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"
  cmake -S "$src" -B "$build" -DCMAKE_BUILD_TYPE=Debug -DCMAKE_C_FLAGS="$sanitize" \
    -DCMAKE_CXX_FLAGS="$sanitize" -DCMAKE_EXE_LINKER_FLAGS="$sanitize" \
    -DFPGABITS_REAL_BITSTREAMS="$(realpath -m "$repo/../shared/bitstreams")" >/dev/null
fi

# The failing tests of a gtest run within a time, or the test that crashed
# or hung.
gtest() {
  local out status=0
  out=$(timeout "$2" "$build/tests/fpgabits_tests" --gtest_fail_fast --gtest_filter="$1" 2>&1) || status=$?
  if ((status == 124)); then
    echo "timeout:$(grep -o '^\[ RUN      \] .*' <<<"$out" | tail -n 1 | cut -c 14-)"
  elif ((status != 0)) && ! grep -q '^\[  FAILED  \]' <<<"$out"; then
    echo "crash:$(grep -o '^\[ RUN      \] .*' <<<"$out" | tail -n 1 | cut -c 14-)"
  else
    grep -o '^\[  FAILED  \] \([A-Za-z]*/\)\?[A-Za-z]*\.[A-Za-z]*\(/[A-Za-z0-9_]*\)\?' <<<"$out" | cut -c 14- | sort -u
  fi
}

# The failing tests of the first step that fails: the quick gtests, the CTest
# tests, the slow gtests. The test program alone builds first; the rest only
# for a mutant that it does not catch.
killers() {
  local failed
  failed=$(gtest "Loader*:Inflate*:Image*:Model*:Tap*" "$timeout")
  [[ -n $failed || -n ${MUTATE_QUICK-} ]] || cmake --build "$build" -j2 >>"$dir/build.log" 2>&1 || failed=unbuilt
  [[ -n $failed || -n ${MUTATE_QUICK-} ]] || failed=$(ctest --test-dir "$build" -R '^(fuzz\..*|load\..*|examples\.native)$' \
    -j2 --timeout "$timeout" 2>&1 | sed -En 's/^[[:space:]]*[0-9]+ - ([^ ]+) .*/\1/p')
  [[ -n $failed || -n ${MUTATE_QUICK-} ]] || failed=$(gtest "$slow" $((timeout * 4)))
  tr '\n' ' ' <<<"$failed" | sed 's/ $//'
}

# apply FILE LINE OLD NEW: writes FILE of the copy with OLD replaced by NEW on LINE.
apply() {
  local -a lines
  mapfile -t lines <"$repo/$1"
  local line=${lines[$2 - 1]-}
  [[ $line == *"$3"* ]] || return 1
  lines[$2 - 1]=${line/"$3"/"$4"}
  printf '%s\n' "${lines[@]}" >"$src/$1"
}

# Puts back the loader's files that a mutant changed, and only those.
restore() {
  for file in "$repo"/loader/*.[ch]; do
    cmp -s "$file" "$src/loader/${file##*/}" || cat "$file" >"$src/loader/${file##*/}"
  done
}
trap restore EXIT

cmake --build "$build" -j2 >/dev/null
failed=$(killers)
[[ -z $failed ]] || {
  echo "the tests fail without a mutant: $failed" >&2
  exit 1
}
while read -r id where rest; do
  [[ -z $id || $id == \#* ]] && continue
  if (($#)) && [[ " $* " != *" $id "* ]]; then
    continue
  fi
  old=${rest%% ==>*} new=${rest#*==>} new=${new# }
  restore
  if ! apply "${where%:*}" "${where##*:}" "$old" "$new"; then
    fate=stale failed=""
  elif ! cmake --build "$build" -j2 --target fpgabits_tests >"$dir/build.log" 2>&1; then
    fate=unbuilt failed=""
  else
    failed=$(killers)
    fate=$([[ -n $failed ]] && echo killed || { [[ -n ${MUTATE_QUICK-} ]] && echo untold; } || echo survived)
  fi
  printf '%s\t%s\t%s\n' "$id" "$fate" "$failed" | tee -a "$dir/results.tsv"
done <"$mutants"
restore
cmake --build "$build" -j2 >/dev/null

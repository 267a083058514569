#!/usr/bin/env bash
# fuzz/run-fuzz on stand-in fuzz targets (small scripts that answer like libFuzzer): it runs
# every target with the budget on its seeds, and fails when one finds a crash, when one runs
# no input, when one has no seeds, or when there is no target at all.
#
#   run_fuzz_test.sh RUN_FUZZ WORK_DIR
set -uo pipefail
runner="$1"
work="$2"
seeds="$(cd "$(dirname "$runner")" && pwd)/corpus"
passed=0
failed=0

# A stand-in target: writes its arguments to args.txt beside it, then behaves as told.
#   good   N inputs run, no crash      empty  no input run      crash  a crash found
target() {
  local build="$1" name="$2" kind="$3"
  mkdir -p "$build/bin"
  local body
  case "$kind" in
    good) body='echo "Done 4321 runs in 1 second(s)"; echo "stat::number_of_executed_units: 4321"' ;;
    empty) body='echo "stat::number_of_executed_units: 0"' ;;
    crash) body='echo "==1==ERROR: libFuzzer: deadly signal"; exit 77' ;;
  esac
  printf '#!/bin/sh\necho "$@" > "$(dirname "$0")/%s.args"\n%s\n' "$name" "$body" > "$build/bin/$name"
  chmod +x "$build/bin/$name"
}

# check NAME WANTED_STATUS WANTED_TEXT BUILD [RUNNER ARGS...]
check() {
  local name="$1" want_status="$2" want_text="$3" build="$4"
  shift 4
  local out status
  out="$("$runner" "$@" "$build" 2>&1)"
  status=$?
  if [[ $status -eq $want_status && "$out" == *"$want_text"* ]]; then
    passed=$((passed + 1))
  else
    echo "FAILED $name: status $status (wanted $want_status), output:"
    echo "$out" | sed 's/^/    /'
    echo "    (wanted it to hold: $want_text)"
    failed=$((failed + 1))
  fi
}

rm -rf "$work"
mkdir -p "$work/none/bin"
check NoTarget 1 "nothing was fuzzed" "$work/none" --seconds 1

target "$work/good" table_fuzz good
check GoodTarget 0 "fuzz: table_fuzz ran 4321 inputs, no crash" "$work/good" --seconds 7
args="$(cat "$work/good/bin/table_fuzz.args" 2>/dev/null)"
if [[ "$args" == *"-max_total_time=7 "* && "$args" == *" $seeds/table"* ]]; then
  passed=$((passed + 1))
else
  echo "FAILED GoodTargetArguments: budget or seeds not given: $args"
  failed=$((failed + 1))
fi

target "$work/empty" table_fuzz empty
check RanNothing 1 "fuzz: table_fuzz ran no input" "$work/empty" --seconds 1

target "$work/mixed" table_fuzz good
target "$work/mixed" response_fuzz crash
check Crash 1 "fuzz: response_fuzz FOUND A CRASH (status 77)" "$work/mixed" --seconds 1
check CrashCounted 1 "fuzz: 1 passed, 1 failed" "$work/mixed" --seconds 1
check OneTarget 0 "fuzz: 1 passed, 0 failed" "$work/mixed" --seconds 1 --target table_fuzz
check UnknownTarget 1 "no fuzz target named other_fuzz" "$work/mixed" --seconds 1 --target other_fuzz

target "$work/unseeded" unseeded_fuzz good
check NoSeeds 1 "fuzz: unseeded_fuzz has no seeds in $seeds/unseeded" "$work/unseeded" --seconds 1
if [[ -e "$work/unseeded/bin/unseeded_fuzz.args" ]]; then
  echo "FAILED NoSeedsNotRun: a target without seeds was run"
  failed=$((failed + 1))
else
  passed=$((passed + 1))
fi

check BadBudget 2 "whole number above 0" "$work/good" --seconds 0
check WordBudget 2 "whole number above 0" "$work/good" --seconds ten

rm -rf "$work"
echo "$passed passed, $failed failed"
((failed == 0))

#!/usr/bin/env bash
# The fuzzer (README, "The fuzzer"): builds the fuzz targets into build-fuzz/
# (or $FUZZ_BUILD_DIR) and runs them one after another over the corpus for
# SECONDS in all (default 60), libFuzzer's progress on stderr; a violation's
# sequence, in words, on stdout; last line "fuzz: N sequences in S s, M
# violations". Exit 0 without a violation, 1 with one, 2 when it cannot run.
#   scripts/fuzz.sh [SECONDS]
#   scripts/fuzz.sh --replay FILE    replays one input (words or bytes) and prints it
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${FUZZ_BUILD_DIR:-$root/build-fuzz}
corpus=$root/tests/fuzz/corpus
# Each target's share of the time: the product board most, the reset driver,
# whose every input is short, least.
targets=(policy-product policy-test policy-fuzz reset)
shares=(4 2 3 1)
options=(-rss_limit_mb=2048 -max_len=4096 -timeout=20 -entropic_scale_per_exec_time=1 -print_final_stats=1)

usage="usage: scripts/fuzz.sh [SECONDS] | --replay FILE"
fail() {
  echo "fuzz.sh: $*" >&2
  exit 2
}

seconds=60
replay=
case "${1:-}" in
  -h | --help)
    echo "$usage"
    exit 0
    ;;
  --replay)
    [ $# -eq 2 ] || fail "--replay takes one FILE ($usage)"
    [ -f "$2" ] || fail "no such file: $2"
    replay=$2
    ;;
  "") ;;
  -*) fail "unknown option $1 ($usage)" ;;
  *)
    [ $# -eq 1 ] || fail "one argument at most ($usage)"
    [[ $1 =~ ^[0-9]+$ ]] && [ "$1" -gt 0 ] || fail "SECONDS must be a whole number above 0, not '$1' ($usage)"
    seconds=$1
    ;;
esac

# Which target an input is for: named on its first line in words, or by the
# prefix libFuzzer's findings get here.
target_of() {
  local first name
  first=$(head -c 64 "$1" | head -n 1 | tr -d '\0')
  if [[ $first == "# fuzz "* ]]; then
    name=${first#\# fuzz }
    name=${name%% *}
  else
    name=$(basename "$1")
    name=${name%%-crash-*}
    name=${name%%-timeout-*}
    name=${name%%-oom-*}
  fi
  for target in "${targets[@]}"; do
    [ "$name" = "$target" ] && echo "$target" && return 0
  done
  return 1
}

build_targets() {
  "$root/scripts/install-deps.sh" >&2 || fail "the packages the fuzzer needs could not be installed"
  mkdir -p "$build"
  cmake -S "$root" -B "$build" -DOVMF_CODE=none >"$build/configure.log" 2>&1 ||
    fail "configuring $build failed: see $build/configure.log"
  grep -q "the fuzzer is left out" "$build/configure.log" &&
    fail "libFuzzer (libclang-rt-14-dev) or GoogleTest is missing: the fuzz targets cannot be built"
  echo "fuzz: building ${*} in $build" >&2
  cmake --build "$build" -j 2 --target "$@" >&2 || fail "the fuzz targets do not build"
}

# The replay's report, without libFuzzer's own lines.
report() {
  grep -v -E '^(INFO:|\*\*\*|Running:|Executed |MS: |Base64: |artifact_prefix|Test unit written|SUMMARY: libFuzzer|==[0-9]+== ERROR: libFuzzer|.*: Running 1 inputs)' || true
}

if [ -n "$replay" ]; then
  target=$(target_of "$replay") ||
    fail "cannot tell which target $replay is for: start it with '# fuzz TARGET' or name it TARGET-crash-..."
  build_targets "$target"
  scratch=$(mktemp -d)
  trap 'rm -rf "$scratch"' EXIT
  FUZZ_REPLAY=1 "$build/tests/fuzz/$target" -timeout=20 -artifact_prefix="$scratch/" "$replay" >"$scratch/out" 2>&1
  status=$?
  unreadable=$(grep -m 1 "does not read as a" "$scratch/out")
  [ -z "$unreadable" ] || fail "${unreadable#fuzz: }"
  report <"$scratch/out"
  [ $status -eq 0 ] && exit 0
  exit 1
fi

build_targets "${targets[@]}"
findings=$build/findings
# What libFuzzer saves for a broken rule, a sanitizer report, a hang or too
# much memory; it also keeps its slowest inputs, which break nothing.
violations_saved() {
  ls "$findings" | grep -c -E -e '-(crash|timeout|oom|leak)-'
}
mkdir -p "$findings"
total_share=0
for share in "${shares[@]}"; do total_share=$((total_share + share)); done
sequences=0
violations=0
started=$SECONDS
for index in "${!targets[@]}"; do
  target=${targets[$index]}
  # libFuzzer stops about a second after its time is up.
  time=$(((seconds - ${#targets[@]}) * shares[index] / total_share))
  ((time > 0)) || time=1
  kind=${target%%-*}
  mkdir -p "$build/corpus/$target"
  log=$build/fuzz-$target.log
  before=$(violations_saved)
  echo "fuzz: $target for $time s" >&2
  "$build/tests/fuzz/$target" "${options[@]}" -max_total_time="$time" -artifact_prefix="$findings/$target-" \
    "$build/corpus/$target" "$corpus/$kind" 2>&1 | tee "$log" >&2
  status=${PIPESTATUS[0]}
  runs=$(grep -o 'stat::number_of_executed_units: [0-9]*' "$log" | grep -o '[0-9]*$' | tail -n 1)
  sequences=$((sequences + ${runs:-0}))
  if [ "$(violations_saved)" -gt "$before" ]; then
    violations=$((violations + 1))
    saved=$(ls -t "$findings" | grep -E -e '-(crash|timeout|oom|leak)-' | head -n 1)
    echo "$target: a violation, saved as $findings/$saved"
    scratch=$(mktemp -d)
    FUZZ_REPLAY=1 "$build/tests/fuzz/$target" -timeout=20 -artifact_prefix="$scratch/" "$findings/$saved" 2>&1 | report
    rm -rf "$scratch"
  elif [ "$status" -ne 0 ]; then
    fail "$target stopped with status $status and saved nothing: $(tail -n 1 "$log")"
  fi
done
echo "fuzz: $sequences sequences in $((SECONDS - started)) s, $violations violations"
[ $violations -eq 0 ]

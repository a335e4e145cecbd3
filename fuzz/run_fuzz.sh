#!/usr/bin/env bash
# Builds the fuzz targets with clang and runs each for FUZZ_SECONDS (default 60) on a copy
# of its seed corpus, so that what a run discovers never grows the committed corpus.
# Exits non-zero when any target crashes, leaks or hangs; the reproducers and logs are kept
# in the work folder it names.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${FUZZ_BUILD:-$root/build-fuzz}
seconds=${FUZZ_SECONDS:-60}
targets=${FUZZ_TARGETS:-reader ini session}

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQS_FUZZ=ON -DQS_BUILD_UI=OFF -DQS_BUILD_TESTS=OFF
cmake --build "$build" --target fuzzers

work=$(mktemp -d "${TMPDIR:-/tmp}/qsfuzz.XXXXXX")
failed=()
for target in $targets; do
  dir=$work/$target
  mkdir -p "$dir/corpus" "$dir/artifacts"
  cp "$root/fuzz/corpus/$target/"* "$dir/corpus/"
  # The reader and the sessions have seeds with a 16384-byte line; the reader must never
  # allocate much more than its input, so a large allocation counts as a crash there.
  options=(-max_total_time="$seconds" -timeout=30 -print_final_stats=1
           -artifact_prefix="$dir/artifacts/")
  case $target in
    reader) options+=(-max_len=40000 -malloc_limit_mb=64) ;;
    session) options+=(-max_len=40000) ;;
  esac
  echo "== fuzz_$target for ${seconds}s"
  if "$build/fuzz/fuzz_$target" "${options[@]}" "$dir/corpus" >"$dir/log" 2>&1; then
    grep -E '^(#[0-9]+ +DONE|stat::)' "$dir/log" || true
  else
    tail -n 60 "$dir/log"
    echo "!! fuzz_$target failed; log and reproducer in $dir"
    failed+=("$target")
  fi
done

if ((${#failed[@]} > 0)); then
  echo "Failed: ${failed[*]} (work folder $work)"
  exit 1
fi
rm -rf "$work"
echo "All fuzz targets ran ${seconds}s without a finding."

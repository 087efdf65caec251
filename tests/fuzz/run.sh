#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs every libFuzzer target found in a build directory for the given time each, seeded with its
# corpus from the repository (tests/*/corpus/<stem>/, where <stem> is the target's name without
# "_fuzzer") and, for the dispatcher, the JSON corpus in tests/corpus/json. Inputs found new go to a working
# corpus in the build directory, so they are not lost between runs; a crash, leak or timeout is
# copied into the target's corpus folder as finding_<kind>_<hash>, to be kept as a regression case.
# Fails when a target has a finding or there is no target at all.
#   tests/fuzz/run.sh BUILD_DIR SECONDS
set -uo pipefail
cd "$(dirname "$0")/../.."

if [ $# -ne 2 ] || ! [[ $2 =~ ^[0-9]+$ ]]; then
  echo "usage: $0 BUILD_DIR SECONDS" >&2
  exit 2
fi
build=$1
seconds=$2

# Seed folders beyond the target's own corpus.
declare -A extra_seeds=([dispatcher]=tests/corpus/json)

mapfile -t targets < <(find "$build" -type f -perm -u+x -name '*_fuzzer' ! -path '*/CMakeFiles/*' | sort)
if [ ${#targets[@]} -eq 0 ]; then
  echo "fuzz: no *_fuzzer binaries in $build (configure it with clang-14 and -DTOKENBRIDGE_FUZZ=ON)" >&2
  exit 1
fi

failed=()
for target in "${targets[@]}"; do
  name=$(basename "$target")
  stem=${name%_fuzzer}
  work="$build/fuzz-run/$name"
  mkdir -p "$work/corpus" "$work/findings"
  mapfile -t seeds < <(find tests -type d -path "*/corpus/$stem" | sort)
  if [ -n "${extra_seeds[$stem]:-}" ]; then seeds+=("${extra_seeds[$stem]}"); fi
  keep=${seeds[0]:-}

  echo "=== $name: $seconds s, seeds: ${seeds[*]:-none}"
  find "$work/findings" -type f | sort >"$work/findings.before"
  # Under ASan the dispatcher target's resident size climbs to about 1.4 GB in 10 minutes while the
  # code under test holds its heap steady, so the default limit of 2 GB would end long runs with a
  # false out-of-memory finding.
  "$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=4096 -print_final_stats=1 \
    -artifact_prefix="$work/findings/" "$work/corpus" "${seeds[@]}" >"$work/log" 2>&1
  status=$?
  grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb|#[0-9]+ +DONE)' "$work/log" | sed 's/^/  /'
  mapfile -t found < <(find "$work/findings" -type f | sort | comm -13 "$work/findings.before" -)
  if [ "$status" -ne 0 ] || [ ${#found[@]} -gt 0 ]; then
    failed+=("$name")
    echo "  FINDING (exit status $status); the end of its log:"
    grep -Ev '^#|^ +#[0-9]' "$work/log" | tail -20 | sed 's/^/  | /'
    for finding in "${found[@]}"; do
      base=$(basename "$finding")  # crash-<sha1>, leak-<sha1>, timeout-<sha1>, oom-<sha1>
      kept="$keep/finding_${base%%-*}_$(cut -c1-12 <<<"${base#*-}")"
      sha=$(sha1sum <"$finding" | cut -c1-40)
      if [ -n "$keep" ] && sha1sum "$keep"/* 2>/dev/null | grep -q "^$sha "; then
        echo "  already kept in $keep (a known finding that is not fixed yet)"
      elif [ -n "$keep" ]; then
        cp "$finding" "$kept"
        echo "  kept as $kept"
      else
        echo "  saved as $finding"
      fi
    done
  fi
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzz: findings in ${failed[*]}"
  exit 1
fi
echo "fuzz: ${#targets[@]} targets, $seconds s each, no finding"

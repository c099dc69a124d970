#!/usr/bin/env bash
# Runs clang-tidy with the root .clang-tidy over the program's sources, two files at a time.
#   scripts/tidy.sh [preset]    preset defaults to debug; needs build/<preset>/compile_commands.json
# Exits non-zero when any file has a finding. CLANG_TIDY picks another clang-tidy binary.
set -euo pipefail

# Internal: one clang-tidy run whose output goes to its own log, so that parallel runs do not mix.
if [ "${1:-}" = "--one" ]; then
  log=$2
  shift 2
  exec "$@" >"$log" 2>&1
fi

cd "$(dirname "$0")/.."
preset=${1:-debug}
tidy=${CLANG_TIDY:-/usr/bin/clang-tidy}
db=build/$preset

command -v "$tidy" >/dev/null || { echo "tidy.sh: $tidy not found (Debian package clang-tidy)" >&2; exit 2; }
[ -f "$db/compile_commands.json" ] ||
  { echo "tidy.sh: no $db/compile_commands.json; run: cmake --preset $preset" >&2; exit 2; }

# The release flags carry a g++ warning option clang does not know (-Wno-restrict).
args=(-p "$db" --quiet --warnings-as-errors='*' --extra-arg=-Wno-unknown-warning-option)
major=$("$tidy" --version | sed -n 's/.*LLVM version \([0-9]*\).*/\1/p')
# g++ is given -std=c++23, which clang before 17 only knows as c++2b.
if [ "${major:-0}" -lt 17 ]; then args+=(--extra-arg=-std=c++2b); fi
# clang before 16 cannot compile libstdc++'s <expected>; give it a stand-in.
if [ "${major:-0}" -lt 16 ]; then
  args+=("--extra-arg=-include$PWD/scripts/tidy/expected_shim.h")
fi

mapfile -t files < <(find src -name '*.cc' | sort; echo src/main.cpp)
logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT
for f in "${files[@]}"; do mkdir -p "$logs/$(dirname "$f")"; done

status=0
printf '%s\0' "${files[@]}" |
  xargs -0 -P2 -I{} "$0" --one "$logs/{}.log" "$tidy" "${args[@]}" {} || status=1

# A finding in a header shows once per file that includes it; list each one once.
findings=$(cat "$logs"/src/*.log "$logs"/src/*/*.log 2>/dev/null |
  grep -E '^[^ ].*:[0-9]+:[0-9]+: (warning|error): ' | sort -u || true)
count=$(printf '%s' "$findings" | grep -c . || true)
if [ "$count" -gt 0 ] || [ "$status" -ne 0 ]; then
  for log in "$logs"/src/*.log "$logs"/src/*/*.log; do
    [ -f "$log" ] && grep -v -E '^[0-9]+ (warning|error)s? generated\.$' "$log" || true
  done
fi
if [ "$count" -gt 0 ]; then
  checks=$(printf '%s\n' "$findings" | sed -n 's/.*\[\([^],]*\).*\]$/\1/p' | sort | uniq -c |
    awk '{printf "%s%s x%s", sep, $2, $1; sep=", "}')
  echo "tidy: ${#files[@]} files, $count findings: $checks"
  exit 1
fi
if [ "$status" -ne 0 ]; then
  echo "tidy: ${#files[@]} files, clang-tidy failed without a finding (see above)"
  exit 1
fi
echo "tidy: ${#files[@]} files clean"

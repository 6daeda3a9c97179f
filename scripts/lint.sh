#!/usr/bin/env bash
# Static checks of src/: clang-tidy with .clang-tidy, then cppcheck with .cppcheck-suppressions.
# Exits non-zero on any finding, and on a waiver that gives no reason.
#
# Usage: scripts/lint.sh [FILE.cpp...]   (default: every source file of src/)
# The compile commands come from build/default (configured when it has none yet);
# DRIVEFLASH_LINT_BUILD names another build tree, DRIVEFLASH_LINT_JOBS the parallel jobs.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
build="${DRIVEFLASH_LINT_BUILD:-build/default}"
jobs="${DRIVEFLASH_LINT_JOBS:-2}"
start=$SECONDS

if [ ! -f "$build/compile_commands.json" ]; then
  if [ "$build" = build/default ]; then
    cmake --preset default >/dev/null
  else
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  fi
fi

# The sources of src/ that the build compiles. Generated code lives in the build tree and is
# left out with it; a source the build does not know would go unchecked, so it fails here.
mapfile -t known < <(grep -o '"file": "[^"]*"' "$build/compile_commands.json" |
  sed -e 's/^"file": "//' -e 's/"$//' | grep "^$PWD/src/" | sort -u)
if [ "$#" -gt 0 ]; then
  files=()
  for f in "$@"; do
    files+=("$(realpath "$f")")
  done
else
  files=("${known[@]}")
  # The Windows files (*_win.cpp) are built by the windows-cross preset, not by this tree.
  mapfile -t unbuilt < <(comm -23 <(find "$PWD/src" -name '*.cpp' ! -name '*_win.cpp' | sort) \
    <(printf '%s\n' "${known[@]}"))
  if [ "${#unbuilt[@]}" -gt 0 ]; then
    echo "lint: not in $build/compile_commands.json (reconfigure it): ${unbuilt[*]}" >&2
    exit 1
  fi
fi

status=0

# System headers and system tests only in files named for their system (name_posix.cpp,
# name_win.cpp); the suite runs the same check.
if ! cmake -DSOURCE_DIR="$PWD/src" -P tests/source_tree/platform_headers.cmake >/dev/null; then
  status=1
fi

# Every waiver names its checks and says why: "NOLINT(check): reason",
# "cppcheck-suppress id ; reason".
if grep -rnE 'NOLINT(NEXTLINE|BEGIN)?($|[^(A-Z]|\([^)]*\)($|[^:]|:[^ ]))' src; then
  echo "lint: a NOLINT above names no check or gives no reason" >&2
  status=1
fi
if grep -rnE 'cppcheck-suppress' src | grep -vE 'cppcheck-suppress [A-Za-z]+ ; [^ ]'; then
  echo "lint: a cppcheck-suppress above gives no reason" >&2
  status=1
fi

# clang-tidy, one process per file; each file's findings are printed together.
out="$(mktemp -d)"
trap 'rm -rf "$out"' EXIT
tidy_one() {
  local log
  log="$2/$(printf '%s' "$1" | tr '/' '_')"
  if ! clang-tidy -p "$3" --quiet "$1" >"$log.out" 2>"$log.err"; then
    echo "$1" >"$log.failed"
  fi
}
export -f tidy_one
printf '%s\n' "${files[@]}" | xargs -P "$jobs" -I{} bash -c 'tidy_one "$@"' _ {} "$out" "$build"
for f in "${files[@]}"; do
  log="$out/$(printf '%s' "$f" | tr '/' '_')"
  if [ -e "$log.failed" ]; then
    status=1
    cat "$log.out"
    grep -v ' warnings\? generated\.$' "$log.err" || true
  fi
done
tidy_failures=$(find "$out" -name '*.failed' | wc -l)
echo "lint: clang-tidy: ${#files[@]} files, $tidy_failures with findings, after $((SECONDS - start)) s"

# cppcheck on the same files, with the build's include paths and defines. unusedFunction is
# off: the libraries export calls that only the tests, the benchmarks or another program use.
# On the whole of src/ a waiver that no longer matches anything fails too; on a few files
# the waivers for the others cannot match.
filters=()
for f in "${files[@]}"; do
  filters+=("--file-filter=${f#"$PWD"/}")
done
if [ "$#" -gt 0 ]; then
  filters+=(--suppress=unmatchedSuppression)
fi
if ! cppcheck --project="$build/compile_commands.json" "${filters[@]}" \
  --enable=warning,style,performance,portability,information --std=c++20 \
  --library=qt --library=posix --inline-suppr --suppressions-list=.cppcheck-suppressions \
  --error-exitcode=1 --quiet -j "$jobs" \
  --template='{file}:{line}:{column}: {severity}: {message} [{id}]'; then
  status=1
fi
echo "lint: cppcheck done after $((SECONDS - start)) s"

if [ "$status" -ne 0 ]; then
  echo "lint: findings above" >&2
fi
exit "$status"

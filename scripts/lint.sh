#!/usr/bin/env bash
# Runs clang-tidy, with the checks of .clang-tidy, over every C++ source of
# src/, updater/, tests/, bench/ and fuzz/, and the project headers they
# include, using the compile commands of a build:
#
#   scripts/lint.sh BUILD_DIR [FILE...]
#
# With FILEs (paths from the top of the tree), only those are checked.
# BUILD_DIR is configured (not built) when it has no compile_commands.json
# yet. The fuzz targets are only in a build with QUORANE_BUILD_FUZZ (clang);
# in any other build each fuzz/*.cpp is checked with the compile command of a
# library source plus fuzz/ on the include path, which is all they need
# (FuzzedDataProvider.h ships with clang-tidy's own headers).
# Prints each finding once and exits non-zero when there is any, or when a
# file does not compile.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

if [ $# -lt 1 ]; then
  echo "usage: $0 BUILD_DIR [FILE...]" >&2
  exit 2
fi
build=$1
shift
tidy=${CLANG_TIDY:-clang-tidy}

if [ ! -f "$build/compile_commands.json" ]; then
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi

# The compile commands of the files checked, the fuzz targets added when the
# build has none of its own.
work=$build/lint
rm -rf "$work"
mkdir -p "$work/logs"
python3 - "$build/compile_commands.json" "$work/compile_commands.json" "$root" "$@" <<'EOF'
import glob, json, os, sys

source, target, root = sys.argv[1:4]
only = {os.path.realpath(os.path.join(root, f)) for f in sys.argv[4:]}
with open(source) as f:
    entries = json.load(f)
dirs = tuple(os.path.join(root, d) + os.sep for d in ("src", "updater", "tests", "bench", "fuzz"))
entries = [e for e in entries if os.path.realpath(e["file"]).startswith(dirs)]
seen = {os.path.realpath(e["file"]) for e in entries}
library = next(e for e in entries if "/src/utils/" in e["file"])
for fuzz in sorted(glob.glob(os.path.join(root, "fuzz", "*.cpp"))):
    if os.path.realpath(fuzz) in seen:
        continue
    command = library["command"].replace(" -c " + library["file"], " -c " + fuzz)
    command = command.replace(" -o ", " -I" + os.path.join(root, "fuzz") + " -o ", 1)
    entries.append({"directory": library["directory"], "command": command, "file": fuzz})
with open(target, "w") as f:
    json.dump(entries, f, indent=1)
files = sorted({e["file"] for e in entries if not only or os.path.realpath(e["file"]) in only})
if not files:
    sys.exit("lint: none of the files given has a compile command")
with open(target + ".files", "w") as f:
    f.write("\0".join(files))
EOF

# One clang-tidy per file, as many at a time as there are cores; each writes
# its own log so that reports do not interleave.
export tidy work
xargs -0 -P "$(nproc)" -n 1 sh -c '
  log=$work/logs/$(echo "$1" | tr / _).log
  "$tidy" -p "$work" --quiet "$1" >"$log" 2>&1 || echo "$1" >"$log.failed"
' sh <"$work/compile_commands.json.files"

# A header's finding is reported by every file that includes it: print each
# once, with its context lines.
findings=$work/findings.txt
awk '
  /^[^ ].*:[0-9]+:[0-9]+: (warning|error): / { key = $0; keep = !(key in seen); seen[key] = 1 }
  /^[0-9]+ warnings? (and [0-9]+ errors? )?generated\.$/ { next }
  /^Suppressed [0-9]+ warnings/ { next }
  /^Use -header-filter=/ { next }
  /^Error while processing / { keep = 1 }
  keep { print }
' "$work"/logs/*.log >"$findings"

failed=$(find "$work/logs" -name '*.failed' | wc -l)
count=$(grep -cE '^[^ ].*:[0-9]+:[0-9]+: (warning|error): ' "$findings" || true)
files=$(tr -cd '\0' <"$work/compile_commands.json.files" | wc -c)
files=$((files + 1))
if [ "$failed" -ne 0 ] || [ "$count" -ne 0 ]; then
  cat "$findings"
  # Per check, the most frequent first.
  grep -oE '^[^ ].*:[0-9]+:[0-9]+: (warning|error): .*\[[^]]*\]$' "$findings" |
    sed -E 's/.*\[([^],]*).*\]$/\1/' | sort | uniq -c | sort -rn >&2 || true
  echo "lint: $count finding(s) in $failed of $files files" >&2
  exit 1
fi
echo "lint: $files files clean"

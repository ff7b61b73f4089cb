#!/usr/bin/env bash
# scripts/docs.sh fails on each kind of public declaration left without its
# comment, and names it; the headers as they are pass. Each case runs on a
# copy of the files the reference is made from, with one declaration added.
#
#   undocumented_fails.sh SOURCE_DIR WORK_DIR
set -euo pipefail

source_dir=${1:?source directory}
work=${2:?work directory}
rm -rf "$work"
mkdir -p "$work"
failures=0
fail() {
  echo "docs: $*" >&2
  failures=$((failures + 1))
}

# A copy of what scripts/docs.sh reads.
copy_sources() {
  local copy=$1
  mkdir -p "$copy/cmake" "$copy/scripts"
  cp -r "$source_dir/include" "$source_dir/docs" "$copy/"
  cp "$source_dir/CMakeLists.txt" "$copy/"
  cp "$source_dir/cmake/Version.h.in" "$copy/cmake/"
  cp "$source_dir/scripts/docs.sh" "$copy/scripts/"
}

# Inserts TEXT (awk reads escapes such as \n in it) after the first line
# of FILE matching PATTERN.
insert_after() {
  local file=$1 pattern=$2 text=$3
  grep -q "$pattern" "$file" || { fail "no line matches $pattern in $file"; return; }
  awk -v pattern="$pattern" -v text="$text" \
    '{ print } !done && $0 ~ pattern { print text; done = 1 }' "$file" >"$file.new"
  mv "$file.new" "$file"
}

# name | file | line after which it goes | the declaration | what the warning names
cases="free function|include/quorane/Utils.h|^QUORANE_API bool ExecuteFile|
QUORANE_API int GetAnswer();|GetAnswer()
overload after a blank line|include/quorane/Utils.h|^QUORANE_API std::string GetCpuModel|
QUORANE_API std::string GetCpuModel(int core);|GetCpuModel(int core)
member function|include/quorane/QuoraneFile.h|^    std::wstring GetFilePath|
    bool IsAtEnd();|IsAtEnd()
type|include/quorane/Utils.h|^using WideJsonValue|
using JsonSize = rapidjson::SizeType;|JsonSize
C function|include/quorane/platform/CoreFoundationStrings.h|^QUORANE_API void CFRelease|
QUORANE_API void CFShow(CFTypeRef cf);|CFShow
macro|cmake/Version.h.in|^#define QUORANE_VERSION_STRING|
#define QUORANE_VERSION_TWEAK 0|QUORANE_VERSION_TWEAK"

# Without a change, the reference builds.
copy_sources "$work/unchanged"
"$work/unchanged/scripts/docs.sh" "$work/unchanged/out" >"$work/unchanged.log" 2>&1 ||
  { cat "$work/unchanged.log"; fail "the unchanged headers do not build"; }

n=0
while IFS='|' read -r name file pattern; do
  IFS='|' read -r declaration named
  n=$((n + 1))
  copy=$work/case-$n
  copy_sources "$copy"
  insert_after "$copy/$file" "$pattern" "\\n$declaration"
  if "$copy/scripts/docs.sh" "$copy/out" >"$copy.log" 2>&1; then
    fail "$name: an undocumented $name passes"
  elif ! grep -F "$named" "$copy.log" | grep -q 'not documented'; then
    cat "$copy.log"
    fail "$name: the failure does not name $named as undocumented"
  fi
done <<<"$cases"
[ "$n" -eq 6 ] || fail "ran $n cases, not 6"

if [ "$failures" -gt 0 ]; then
  echo "docs: $failures problem(s)" >&2
  exit 1
fi
echo "docs: each undocumented declaration fails the reference ($n cases)"

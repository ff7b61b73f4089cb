#!/usr/bin/env bash
# Sets everything up, builds the updater and runs it on a sample install
# directory inside build/demo, with stand-in launchctl and killall that only
# print what they were asked. Touches nothing outside the build folder.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

./scripts/setup.sh
build=$root/build/release
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DQUORANE_BUILD_TESTS=OFF \
      -DQUORANE_BUILD_BENCH=OFF > /dev/null
cmake --build "$build" -j "$(nproc)" --target quorane-update > /dev/null

demo=$root/build/demo
rm -rf "$demo"
mkdir -p "$demo/install" "$demo/staging" "$demo/bin" "$demo/home"

bundle() {  # bundle DIR NAME VERSION
  mkdir -p "$1/$2/Contents/MacOS"
  printf 'CFBundleShortVersionString=%s\n' "$3" > "$1/$2/Contents/Info.plist"
  printf '#!/bin/sh\necho %s %s\n' "${2%.app}" "$3" > "$1/$2/Contents/MacOS/${2%.app}"
}

# The install as it is today: both bundles at 1.0.
bundle "$demo/install" quoranees.app 1.0
bundle "$demo/install" quoraneet.app 1.0
# The update: one archive per bundle, both at 2.0.
bundle "$demo/staging" quoranees.app 2.0
bundle "$demo/staging" quoraneet.app 2.0
(cd "$demo/staging" && zip -qr "$demo/install/quoranees-2.0.zip" quoranees.app \
                    && zip -qr "$demo/install/quoraneet-2.0.zip" quoraneet.app)

for tool in launchctl killall; do
  printf '#!/bin/sh\necho "  [stand-in] %s $*"\n' "$tool" > "$demo/bin/$tool"
  chmod +x "$demo/bin/$tool"
done

show() {
  echo "$1"
  (cd "$demo/install" && find . -mindepth 1 | sort | while read -r entry; do
     if [ -f "$entry" ] && [ "${entry##*.}" = plist ]; then
       echo "  ${entry#./}: $(cat "$entry")"
     else
       echo "  ${entry#./}"
     fi
   done)
}

show "Install directory before the run ($demo/install):"
echo
echo "Running: quorane-update <install> quoranees-2.0.zip quoraneet-2.0.zip"
set +e
PATH="$demo/bin:$PATH" HOME="$demo/home" \
  "$build/updater/quorane-update" "$demo/install" quoranees-2.0.zip quoraneet-2.0.zip 2>&1 \
  | sed 's/^/  | /'
status=${PIPESTATUS[0]}
set -e
echo "Exit status: $status"
echo
show "Install directory after the run:"

#!/usr/bin/env bash
# Checks that includes between the modules point only the allowed ways (the source root is the
# include directory, so nothing else stops a module from reaching up or sideways):
#   app -> chatlink, translate, uilocal, platform
#   chatlink, translate, uilocal, chatapi -> platform
#   tools -> the libraries, never app
#   testsupport -> nothing of the program's
# Tests, benchmarks and fuzz targets may use whatever they test, and the test support.
# Prints every include that breaks the rule and exits non-zero if there is one.
set -euo pipefail
cd "$(dirname "$0")/.."

allowed() {
  case "$1" in
    app) echo "app chatlink translate uilocal platform" ;;
    chatlink | translate | uilocal | chatapi) echo "$1 platform" ;;
    platform) echo "platform" ;;
    tools) echo "tools chatapi chatlink translate uilocal platform" ;;
    testsupport) echo "testsupport" ;;
    *) echo "" ;;
  esac
}

bad=0
while IFS= read -r file; do
  case "$file" in
    *_test.cpp | tests/* | bench/* | fuzz/*) continue ;;
  esac
  module=${file%%/*}
  permitted=" $(allowed "$module") "
  while IFS= read -r target; do
    if [[ "$permitted" != *" $target "* ]]; then
      echo "$file includes $target/: $module may include only${permitted% }"
      bad=1
    fi
  done < <(sed -n 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"\([a-z_]*\)\/.*".*/\1/p' "$file")
done < <(git ls-files '*.cpp' '*.h')

if ((bad)); then
  exit 1
fi
echo "includes: every module includes only what it may"

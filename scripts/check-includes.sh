#!/usr/bin/env bash
# Checks that includes between the modules point only the allowed ways (the source root is the
# include directory, so nothing else stops a module from reaching up or sideways):
#   app -> chatlink, translate, uilocal, platform
#   chatlink, translate, uilocal, chatapi -> platform
#   tools -> the libraries, never app
#   xmpp (and its desktop mode) -> chatapi, platform
#   chatlink/skype_control_const.h, the desktop API's words, also for chatapi and xmpp
#   testsupport -> nothing of the program's
# Tests, benchmarks and fuzz targets may use whatever they test, and the test support.
# System headers: POSIX ones only in platform/'s *_posix.cpp (and the unique_fd.h they share)
# and in the stand-in translator (its engine is Linux's); Qt only in app/, translate/ (cookies and URLs), the stand-in chat
# client's window and the Qt view of the XMPP client's desktop mode (its core is toolkit-free). So the console tools and
# the libraries below app build where neither is.
# Prints every include that breaks the rule and exits non-zero if there is one.
set -euo pipefail
cd "$(dirname "$0")/.."

allowed() {
  case "$1" in
    app) echo "app chatlink vocabulary translate uilocal platform" ;;
    chatlink) echo "chatlink vocabulary platform" ;;
    chatapi) echo "chatapi vocabulary platform" ;;
    translate | uilocal) echo "$1 platform" ;;
    platform) echo "platform" ;;
    tools) echo "tools chatapi chatlink vocabulary translate uilocal platform" ;;
    xmpp | xmpp/desktop) echo "xmpp chatapi vocabulary platform" ;;
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
  [[ "$file" == xmpp/desktop/* ]] && module=xmpp/desktop
  permitted=" $(allowed "$module") "
  while IFS= read -r target; do
    if [[ "$permitted" != *" $target "* ]]; then
      echo "$file includes $target/: $module may include only${permitted% }"
      bad=1
    fi
  done < <(sed -n 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"\([a-z_]*\/[^"]*\)".*/\1/p' "$file" |
    sed 's/^chatlink\/skype_control_const\.h$/vocabulary/; s/\/.*//')
done < <(git ls-files '*.cpp' '*.h')

# <csignal> too: signals are POSIX's way of asking a program to end (see platform/stop_signal.h).
posix='^[[:space:]]*#[[:space:]]*include[[:space:]]*<(unistd|poll|fcntl|dirent|pwd|grp|dlfcn|netdb|pthread|sched|spawn|termios|signal)\.h>|^[[:space:]]*#[[:space:]]*include[[:space:]]*<(sys|arpa|netinet)/|^[[:space:]]*#[[:space:]]*include[[:space:]]*<csignal>'
qt='^[[:space:]]*#[[:space:]]*include[[:space:]]*<Q'
while IFS= read -r file; do
  case "$file" in
    *_test.cpp | tests/* | bench/* | fuzz/* | testsupport/*) continue ;;
  esac
  case "$file" in
    platform/*_posix.cpp | platform/unique_fd.h | tools/translator/*) ;;
    *) if grep -Eq "$posix" "$file"; then
      echo "$file includes a POSIX header: only platform/*_posix.cpp may"
      bad=1
    fi ;;
  esac
  case "$file" in
    app/* | translate/* | tools/chatclient/client_window.* | xmpp/desktop/launcher.* | xmpp/desktop/account_dialog.*) ;;
    *) if grep -Eq "$qt" "$file"; then
      echo "$file includes a Qt header: only app/, translate/, the client's window and the launcher's Qt view may"
      bad=1
    fi ;;
  esac
done < <(git ls-files '*.cpp' '*.h')

if ((bad)); then
  exit 1
fi
echo "includes: every module includes only what it may, and system headers stay where they belong"

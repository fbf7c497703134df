#!/usr/bin/env bash
# Compiles every production source for Windows, 64 and 32 bits, with Debian's mingw-w64 in
# syntax-only mode against Debian's Qt and nlohmann json headers, so that nothing Unix-only creeps
# into shared code. Fails on any error or on any warning in our code. Linking is not tried: it would
# need Qt built for Windows, which Debian does not ship.
set -euo pipefail
cd "$(dirname "$0")/.."

# Folders of production code; sources are found at run time, so new and moved files are covered.
roots=(common store server service editor tools)

# What CMake leaves out on Windows, and only that:
#  service/systemd/            the systemd binding (Qt D-Bus, libsystemd), built only on Linux
#  common/log/SyslogEventSink.*  the syslog sink, built only on Unix
#  service/StopSignalPipe.*       SIGTERM and SIGINT as stop requests, built only on Unix
excluded='^(service/systemd/|common/log/SyslogEventSink\.|service/StopSignalPipe\.)'

# The Qt modules the production code may use everywhere; D-Bus is Linux-only here, so it stays out.
qt_modules=(QtCore QtGui QtWidgets QtNetwork QtSql)

compilers=(x86_64-w64-mingw32-g++-posix i686-w64-mingw32-g++-posix)
for compiler in "${compilers[@]}"; do
  command -v "$compiler" >/dev/null || { echo "$compiler is missing (scripts/install-deps.sh installs it)" >&2; exit 1; }
done
qt_headers=$(qtpaths6 --query QT_INSTALL_HEADERS)
uic=$(qtpaths6 --query QT_INSTALL_LIBEXECS)/uic

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The cross compilers never look in /usr/include; they see only these links to the Linux headers
# they may use, as system headers so that warnings inside them are not ours.
mkdir -p "$work/system/qt6" "$work/ui" "$work/logs"
ln -s /usr/include/nlohmann "$work/system/nlohmann"
ln -s /usr/include/sqlite3.h "$work/system/sqlite3.h"
flags=(-fsyntax-only -std=c++17 -Wall -Wextra -isystem "$work/system" -isystem "$work/system/qt6")
for module in "${qt_modules[@]}"; do
  ln -s "$qt_headers/$module" "$work/system/qt6/$module"
  flags+=(-isystem "$work/system/qt6/$module")
done
# As Qt's CMake package does for Windows targets, and the editor's version numbers its CMake file sets.
flags+=(-DUNICODE -D_UNICODE)
# The store's use of SQLite's own library, where a build finds it.
flags+=(-DVK_SQLITE_LIBRARY)
flags+=(-DBELLWRIGHT_VERSION_MAJOR=0 -DBELLWRIGHT_VERSION_MINOR=0 -DBELLWRIGHT_VERSION_PATCH=0
  -DBELLWRIGHT_VERSION_BUILD=0)

# Every folder holding a header is an include folder, as the libraries' CMake files make them.
while IFS= read -r folder; do
  flags+=(-I "$folder")
done < <(find "${roots[@]}" -name '*.h' -printf '%h/\n' | grep -Ev "$excluded" | sed 's|/$||' | sort -u)

# Headers CMake generates from a template (the server's identity); the values do not matter here.
mkdir -p "$work/generated"
while IFS= read -r template; do
  sed 's/@[A-Z_]*@/0/g' "$template" > "$work/generated/$(basename "${template%.in}")"
done < <(find "${roots[@]}" -name '*.h.in')
flags+=(-I "$work/generated")

# The editor's forms, as AUTOUIC generates them.
while IFS= read -r form; do
  "$uic" -o "$work/ui/ui_$(basename "${form%.ui}").h" "$form"
done < <(find "${roots[@]}" -name '*.ui')
flags+=(-I "$work/ui")

mapfile -t sources < <(find "${roots[@]}" -name '*.cpp' | grep -Ev "$excluded" | sort)
printf '%s\n' "${flags[@]}" > "$work/flags"

# The 64-bit pass compiles each source on its own, so that a source missing an include of its own is
# caught. The 32-bit pass differs only in type sizes: it compiles each folder's sources as one unit,
# which parses the Qt headers once per folder instead of once per source. A folder that fails is split
# in halves until the failures are single sources, so helpers of the same name in two sources of a
# folder cost a split, not a report, and every report names its source.
check_one() {  # compiler, flags file, log folder, source
  local out status
  out=$("$1" @"$2" "$4" 2>&1); status=$?
  if [ -n "$out" ] || [ "$status" -ne 0 ]; then
    printf "== %s with %s (exit status %s)\n%s\n" "$4" "$1" "$status" "$out" > "$3/$(printf %s "$4" | tr / _)"
  fi
}
check_batch() {  # compiler, flags file, log folder, sources...
  local compiler=$1 flagfile=$2 logs=$3; shift 3
  if [ $# -eq 1 ]; then check_one "$compiler" "$flagfile" "$logs" "$1"; return; fi
  local unit; unit=$(mktemp --suffix=.cpp)
  printf '#include "%s"\n' "${@/#/$PWD/}" > "$unit"
  local out status
  out=$("$compiler" @"$flagfile" "$unit" 2>&1); status=$?
  rm -f "$unit"
  if [ -n "$out" ] || [ "$status" -ne 0 ]; then
    local half=$(($# / 2))
    check_batch "$compiler" "$flagfile" "$logs" "${@:1:half}"
    check_batch "$compiler" "$flagfile" "$logs" "${@:half+1}"
  fi
}
export -f check_one check_batch

started=$SECONDS
mkdir -p "$work/logs/${compilers[0]}" "$work/logs/${compilers[1]}"
printf '%s\n' "${sources[@]}" | xargs -P 2 -I '{}' bash -c 'check_one "$@"' _ \
  "${compilers[0]}" "$work/flags" "$work/logs/${compilers[0]}" '{}'
printf '%s\n' "${sources[@]%/*}" | sort -u | xargs -P 2 -I '{}' bash -c \
  'folder=$4; check_batch "$1" "$2" "$3" $(printf "%s\n" "${@:5}" | grep -E "^$folder/[^/]+$")' _ \
  "${compilers[1]}" "$work/flags" "$work/logs/${compilers[1]}" '{}' "${sources[@]}"

failed=0
for log in "$work"/logs/*/*; do
  if [ -s "$log" ]; then
    cat "$log"
    failed=$((failed + 1))
  fi
done
total=$((${#sources[@]} * ${#compilers[@]}))
if [ "$failed" -gt 0 ]; then
  echo "Windows syntax check: $failed of $total compilations reported errors or warnings (above)" >&2
  exit 1
fi
echo "Windows syntax check: ${#sources[@]} sources clean for 64 and 32 bits in $((SECONDS - started)) s"

#!/usr/bin/env bash
# Installs what is missing, checks that every production source compiles for Windows, builds and
# checks the Debian packages, builds everything with AddressSanitizer and UndefinedBehaviorSanitizer,
# and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

# Cheap and first: every production source still compiles for Windows.
bash scripts/windows-syntax-check.sh

# The Debian packages, built from the tracked files as a fresh clone has them, clean under lintian,
# their contents, programs and unit checked.
bash tests/package/check_packages.sh

# Sanitizer builds at -O1 with line tables only: the level the sanitizers are made for, stack traces
# with lines, and two fifths less compile time than -O2 -g. The benchmarks are not run here. They are
# unity builds (each library's sources compiled in batches of eight), which parse the Qt headers once per
# batch: two fifths less compile time for the libraries; and every target shares one precompiled header
# of QtCore, QtNetwork and QtSql: a quarter less for each test. The Windows check above compiles every
# shared source on its own without either, and every build compiles the Unix-only sources on their own,
# so a source that lacks an include is still caught.
sanitizer_flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -g1 -DNDEBUG" -DVK_BUILD_BENCH=OFF
  -DCMAKE_UNITY_BUILD=ON -DVK_PRECOMPILED_QT=ON)

build=build-sanitize
cmake -S . -B "$build" -DVK_SANITIZE=ON -DVK_EDITOR_TEST_HOOK=ON "${sanitizer_flags[@]}"
cmake --build "$build" -j"$(nproc)"

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0:strict_string_checks=1"
export LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
ctest --test-dir "$build" --output-on-failure -j2 --timeout 300

# The server sends mail from a thread of its own, and the service bindings run the service manager's
# dispatcher on threads: those tests (and the programs they run) are built once more with
# ThreadSanitizer, only those targets, and any report fails the run. Reports of the server process go
# to files, since the tests read its standard error as its log. tst_systemdcontrol stays out: its own
# process runs QtDBus's thread in uninstrumented libdbus and then starts programs, which
# ThreadSanitizer does not support.
tsan=build-tsan
tsan_service_tests=(tst_servicehost tst_servicerunstate tst_servicecontrol tst_serviceprocess tst_systemdnotify)
cmake -S . -B "$tsan" -DVK_TSAN=ON "${sanitizer_flags[@]}"
cmake --build "$tsan" -j"$(nproc)" --target vk_server_tests "${tsan_service_tests[@]}"
reports="$PWD/$tsan/tsan-reports"
rm -rf "$reports"
mkdir -p "$reports"
# die_after_fork=0: the tests start the server and the test mail server with fork and exec from a
# process that has threads; the child only execs. ignore_noninstrumented_modules=1: Qt, libdbus and
# GLib hand memory between their own threads (QtDBus's connection thread) with synchronisation the
# sanitizer cannot see; their allocations and copies are not judged, our code's accesses still are.
# The suppressions cover the remaining Qt and GLib internals.
export TSAN_OPTIONS="log_path=$reports/report:halt_on_error=0:die_after_fork=0:second_deadlock_stack=1:ignore_noninstrumented_modules=1:suppressions=$PWD/tests/tsan.supp"
ctest --test-dir "$tsan/tests/server" --output-on-failure -j2 --timeout 300
service_pattern="^($(IFS='|'; echo "${tsan_service_tests[*]}"))\$"
ctest --test-dir "$tsan/tests/service" --output-on-failure -j2 --timeout 300 -R "$service_pattern"
if [ -n "$(find "$reports" -type f -size +0 -print -quit)" ]; then
  cat "$reports"/report*
  echo "ThreadSanitizer found data races (reports above)" >&2
  exit 1
fi

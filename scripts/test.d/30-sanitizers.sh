#!/usr/bin/env bash
# Sanitizer stage:
#   1. the asan preset (build-asan): the whole suite built with AddressSanitizer and
#      UndefinedBehaviorSanitizer, modules included, and run by ctest. The test binary loads
#      the modules with dlopen, so both must carry the instrumentation: checked first.
#   2. valgrind on the default build (build, made by scripts/test.sh): the tests CTest labels
#      "module" (end to end through the entry points) once more, uninstrumented, with full leak
#      checking. Valgrind cannot run ASan binaries, hence the plain build.
# DEFAULT_BUILD names the plain build (default: build).
set -euo pipefail
cd "$(dirname "$0")/../.."
# shellcheck source=scripts/lib/stage.sh
source scripts/lib/stage.sh

step "ASan+UBSan build (build-asan)"
cmake --preset asan >/dev/null
cmake --build --preset asan

for module in zex_fmt mur_fmt; do
  # Instrumented code calls the sanitizer runtimes' report functions.
  for runtime in __asan_report_ __ubsan_handle_; do
    if ! nm -D --undefined-only "build-asan/$module.so" | grep "$runtime" >/dev/null; then
      echo "build-asan/$module.so lacks $runtime*: the module is not instrumented" >&2
      exit 1
    fi
  done
done
if ! nm --undefined-only build-asan/catalogue_tests | grep __asan_report_ >/dev/null; then
  echo "build-asan/catalogue_tests is not instrumented" >&2
  exit 1
fi

step "ctest under ASan+UBSan"
ctest --preset asan -j2

default_build=${DEFAULT_BUILD:-build}
step "valgrind on $default_build/catalogue_tests (module tests)"
default_preset_build "$default_build" catalogue_tests
# The tests CTest labels "module", run in one process. CTest names a parameterized test by
# its value (Prefix/Suite.Test/zex), GoogleTest by its index: those go by a wildcard.
module_tests=$(ctest --test-dir "$default_build" -L module -N | sed -n 's/^ *Test *#[0-9]*: //p' |
  sed -E 's#^([^/]+/[^/]+)/.*$#\1/*#' | sort -u)
if [ -z "$module_tests" ]; then
  echo "no test labelled module in $default_build" >&2
  exit 1
fi
TZ=UTC valgrind --error-exitcode=1 --leak-check=full --quiet \
  "$default_build/catalogue_tests" --gtest_filter="$(paste -sd: <<<"$module_tests")" --gtest_brief=1

step "done in $((SECONDS - stage_started))s"

#!/usr/bin/env bash
# Web stage: catweb's page in a real headless Chromium, driven by Selenium
# (tests/web/browser_test.py): a query typed and its results, the address and a reload, Tab
# and Enter to a disk, its folders walked through the treemap and the breadcrumbs, the disks'
# states, a phone's width, and catalogues whose names and descriptions hold markup, script,
# control characters and a right-to-left override, shown as text with no script run.
# Built in the default build (build, as scripts/test.sh makes it; DEFAULT_BUILD to choose
# another). Skipped, saying so, only where Chromium is missing (scripts/install-deps.sh
# browser installs it). WEB_SCREENSHOT=FILE keeps the picture of a disk that the test takes
# (the README's docs/images/catweb.png).
set -euo pipefail
cd "$(dirname "$0")/../.."
# shellcheck source=scripts/lib/stage.sh
source scripts/lib/stage.sh
build=${DEFAULT_BUILD:-build}

if ! command -v chromium >/dev/null; then
  echo "50-web: skipped: chromium is missing (scripts/install-deps.sh browser installs it)"
  exit 0
fi
# Debian's Python, which python3-selenium is installed for.
python=/usr/bin/python3
if ! command -v chromedriver >/dev/null || ! "$python" -c 'import selenium' 2>/dev/null; then
  echo "50-web: chromedriver or Selenium is missing (scripts/install-deps.sh browser)" >&2
  exit 1
fi

step "catweb, catindex and the test catalogues ($build)"
default_preset_build "$build" catweb catindex web_test_catalogues zex_fmt mur_fmt

step "the page in headless Chromium"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$python" tests/web/browser_test.py --build "$build" --samples samples \
  --screenshot "${WEB_SCREENSHOT:-$work/catweb.png}"

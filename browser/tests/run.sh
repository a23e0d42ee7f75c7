#!/usr/bin/env bash
# Runs end-to-end browser cases: run.sh BUILD_DIR CASE... (or: firefox, unit,
# login_chromium, login_firefox)
# Installs playwright-core into browser/tests/node_modules from the committed
# lock file when it is missing (never a browser download: Debian's chromium).
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "$1" && pwd) || exit 1
shift
if ! command -v node >/dev/null 2>&1; then
  echo "SKIPPED: node is not installed; the browser tests did not run (make browser-deps)"
  exit 77
fi
if [ "${1:-}" = unit ]; then
  exec node --test "$here/unit.js"
fi
if [ ! -d "$here/node_modules/playwright-core" ]; then
  (
    flock 9
    if [ ! -d "$here/node_modules/playwright-core" ]; then
      cd "$here" && PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1 npm ci --no-audit --no-fund --loglevel=error
    fi
  ) 9>"$here/.npm-lock" || { echo "run.sh: npm ci failed in $here" >&2; exit 1; }
fi
if [ "${1:-}" = firefox ]; then
  TESSARO_BUILD_DIR="$build" exec node "$here/firefox.js"
fi
case "${1:-}" in
  login_*) TESSARO_BUILD_DIR="$build" exec node "$here/login.js" "${1#login_}" ;;
esac
TESSARO_BUILD_DIR="$build" exec node "$here/e2e.js" "$@"

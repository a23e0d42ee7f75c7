#!/usr/bin/env bash
# bench/browser/run.sh BUILD_DIR [N] [ROUNDS]: the page-to-host round-trip
# benchmark, then the client-certificate login (login.js: the module against
# NSS's own database; LOGIN_REPS and LOGIN_VISITS set its size).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
tests="$here/../../browser/tests"
if [ ! -d "$tests/node_modules/playwright-core" ]; then
  (cd "$tests" && PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1 npm ci --no-audit --no-fund --loglevel=error)
fi
node "$here/bench.js" "$@"
echo
exec node "$here/login.js" "${1:-build}" "${LOGIN_REPS:-5}" "${LOGIN_VISITS:-10}"

#!/usr/bin/env bash
# bench/browser/run.sh BUILD_DIR [N] [ROUNDS]: the page-to-host round-trip benchmark.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
tests="$here/../../browser/tests"
if [ ! -d "$tests/node_modules/playwright-core" ]; then
  (cd "$tests" && PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1 npm ci --no-audit --no-fund --loglevel=error)
fi
exec node "$here/bench.js" "$@"

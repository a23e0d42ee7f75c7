#!/usr/bin/env bash
# Packages the Firefox add-on: package.sh OUT.xpi
# The scripts are those of the Chromium extension; only the manifest differs
# (Firefox's background scripts and add-on ID).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
out=${1:?usage: package.sh OUT.xpi}
ext="$here/../extension"
rm -f "$out"
python3 -m zipfile -c "$out" "$here/manifest.json" "$ext/origins.js" "$ext/background.js" "$ext/content.js"

#!/usr/bin/env bash
# The scripts' check, as `format` is the C++'s: pyflakes over the Python of tools/, tests/ and
# bench/, shellcheck over the tracked shell files (the guest's say their shell by a directive).
# Exit 77 without the checkers (packages.txt has them: ./dev deps).
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
for tool in pyflakes3 shellcheck; do
    command -v "$tool" >/dev/null || { echo "SKIP: $tool missing (./dev deps installs it)"; exit 77; }
done
# shellcheck source=tools/tracked.sh
. tools/tracked.sh
python=$(mktemp) shell=$(mktemp)
trap 'rm -f "$python" "$shell"' EXIT
tracked "$python" 'tools/*.py' 'tests/*.py' 'bench/*.py'
tracked "$shell" '*.sh' dev .ci/run
rc=0
xargs -0 pyflakes3 <"$python" || rc=1
# -x: a file's `. other` is checked along, from the path its `source=` directive names.
xargs -0 shellcheck -x <"$shell" || rc=1
exit $rc

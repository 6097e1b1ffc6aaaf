#!/usr/bin/env bash
# The scripts' check, as `format` is the C++'s: pyflakes over the Python of tools/, tests/ and
# bench/, shellcheck over the tracked shell files (the guest's say their shell by a directive).
# Exit 77 without the checkers (packages.txt has them: ./dev deps).
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
for tool in pyflakes3 shellcheck; do
    command -v "$tool" >/dev/null || { echo "SKIP: $tool missing (./dev deps installs it)"; exit 77; }
done
rc=0
git ls-files -z 'tools/*.py' 'tests/*.py' 'bench/*.py' | xargs -0 -r pyflakes3 || rc=1
# -x: a file's `. other` is checked along, from the path its `source=` directive names.
git ls-files -z '*.sh' dev .ci/run | xargs -0 -r shellcheck -x || rc=1
exit $rc

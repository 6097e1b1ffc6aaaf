#!/usr/bin/env bash
# The committed formatting: clang-format --dry-run -Werror over the tracked C and C++ files.
#   format.sh CLANG_FORMAT
set -euo pipefail
clang_format=${1:?usage: format.sh CLANG_FORMAT}
cd "$(dirname "${BASH_SOURCE[0]}")/.."
# shellcheck source=tools/tracked.sh
. tools/tracked.sh
list=$(mktemp)
trap 'rm -f "$list"' EXIT
tracked "$list" '*.c' '*.cpp' '*.h'
xargs -0 "$clang_format" --dry-run -Werror <"$list"
echo "format: $(tr -cd '\0' <"$list" | wc -c) files as committed"

#!/usr/bin/env bash
# format.sh and lint.sh fail, naming the reason, when they have nothing to check: no
# tracked file matches, or git refuses the repository (another user's clone).
#   checks_test.sh SOURCE_DIR
set -u
src=${1:?usage: checks_test.sh SOURCE_DIR}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# A repository with the checks and no file of theirs to read.
repo="$work/empty repo"
mkdir -p "$repo/tools"
cp "$src/tools/format.sh" "$src/tools/lint.sh" "$src/tools/tracked.sh" "$repo/tools/"
git -C "$repo" init -q
git -C "$repo" add tools/tracked.sh

fails=0
expect() {  # expect NAME PATTERN COMMAND..: COMMAND fails and says PATTERN
    local name=$1 pattern=$2 out status
    shift 2
    out=$("$@" 2>&1)
    status=$?
    if [ $status = 0 ] || ! grep -q -- "$pattern" <<<"$out"; then
        fails=$((fails + 1))
        printf 'FAIL %s: status %d, want non-zero and "%s"\n--- output:\n%s\n' "$name" $status "$pattern" "$out"
    fi
}
expect "format, no files" 'nothing to check' "$repo/tools/format.sh" clang-format
if command -v pyflakes3 >/dev/null && command -v shellcheck >/dev/null; then
    expect "lint, no Python files" 'nothing to check' "$repo/tools/lint.sh"
fi

# Git refuses a repository that another user owns. As root that is a real clone
# handed to nobody; otherwise a git that answers as it does then.
if [ "$(id -u)" = 0 ]; then
    git -C "$repo" add tools
    chown -R nobody "$repo"
else
    mkdir "$work/bin"
    cat >"$work/bin/git" <<'SH'
#!/bin/sh
echo "fatal: detected dubious ownership in repository at '$PWD'" >&2
exit 128
SH
    chmod +x "$work/bin/git"
    export PATH="$work/bin:$PATH"
fi
expect "format, git refuses" 'dubious ownership' "$repo/tools/format.sh" clang-format
if command -v pyflakes3 >/dev/null && command -v shellcheck >/dev/null; then
    expect "lint, git refuses" 'dubious ownership' "$repo/tools/lint.sh"
fi
[ "$fails" = 0 ] && echo "checks: every empty or refused input failed with its reason"

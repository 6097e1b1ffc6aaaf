# shellcheck shell=bash
# Sourced by the checks (format.sh, lint.sh): the tracked files that a check reads.
# A check with nothing to read has checked nothing, so an empty list or a git that
# refuses the repository fails with the reason instead.

# tracked OUT PATTERN..: the tracked files matching the patterns, NUL-separated, into OUT.
tracked() {
    local out=$1 err
    shift
    if ! err=$(git ls-files -z -- "$@" 2>&1 >"$out"); then
        echo "FAIL: git cannot list the tracked files: ${err:-no reason given}" >&2
        case $err in
            *'dubious ownership'*)
                echo "      (run the check as the clone's owner, or mark it safe: git config --global" \
                    "--add safe.directory \"$PWD\")" >&2 ;;
        esac
        return 1
    fi
    if [ ! -s "$out" ]; then
        echo "FAIL: no tracked files match $*: nothing to check" >&2
        return 1
    fi
}

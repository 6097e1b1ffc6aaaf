#!/usr/bin/env bash
# A few representative suites from a copy of the tree under a path with a space: the scripts,
# the test runners and the build must keep such a path one word. The copy and its build stay
# in WORK, so a second run builds only what changed.
#   space_test.sh SOURCE_DIR WORK COMPONENTS   (COMPONENTS: the build's parts, ','-separated)
# Exit 77 when a suite in the copy was skipped: that one was not tried under the space.
set -euo pipefail
src=${1:?usage: space_test.sh SOURCE_DIR WORK COMPONENTS} work=$2 components=$3
copy="$work/work dir/vardel"
# Inside the copy, as in a clone: compiler caches that rewrite paths relative to the build
# folder (ccache's base folder) then find the objects of the tree's own build.
build="$copy/build"

# The tracked files as they are in the working tree, with their times (make then rebuilds
# only what changed), in a repository of their own for the checks that ask git.
# shellcheck source=tools/tracked.sh
. "$src/tools/tracked.sh"
list=$(mktemp)
trap 'rm -f "$list"' EXIT
(cd "$src" && tracked "$list" .)
mkdir -p "$copy"
find "$copy" -mindepth 1 -maxdepth 1 ! -name build -exec rm -rf {} +
(cd "$src" && tar --null -T "$list" -cf -) | tar -C "$copy" -xf -
git -C "$copy" init -q
git -C "$copy" add -A

# What the chosen suites need, per part configured.
targets=() tests=(dev_deps dev_checks format lint)
for part in ${components//,/ }; do
    case $part in
        agent) targets+=(agent btdaemon fail_alloc agent_alloc_tests); tests+=('AllocationFailure\..*') ;;
        sensors) targets+=(sensormon sensors.vardel scripted_module); tests+=(sensormon_cli) ;;
        service) targets+=(service); tests+=(service_no_driver) ;;
        vm) tests+=(vm_image) ;;
    esac
done
cmake -S "$copy" -B "$build" -DCOMPONENTS="${components//,/;}" >/dev/null
cmake --build "$build" -j "$(nproc)" --target "${targets[@]}" >"$work/build.log" 2>&1 ||
    { tail -n 30 "$work/build.log"; echo "FAIL: the copy under \"$copy\" does not build"; exit 1; }
regex="^($(IFS='|'; echo "${tests[*]}"))\$"
# One allocation failed (the preload is what a space would break); the kernel cache is shared.
status=0
AGENT_ALLOC_AT=1 VM_CACHE="$src/.cache/vm" ctest --test-dir "$build" --output-on-failure --no-tests=error \
    -R "$regex" >"$work/ctest.log" 2>&1 || status=$?
cat "$work/ctest.log"
[ $status = 0 ] || exit 1
skipped=$(sed -n 's/.*Test *#[0-9]*: \([^ ]*\) .*\*\*\*Skipped.*/\1/p' "$work/ctest.log")
if [ -n "$skipped" ]; then
    echo "SKIP: not tried under the space, skipped in the copy: $(tr '\n' ' ' <<<"$skipped")"
    exit 77
fi

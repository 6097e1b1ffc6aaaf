#!/usr/bin/env bash
# ./dev deps against a package archive that is half broken, with fake apt-get,
# dpkg and dpkg-query first on PATH. Usage: deps_test.sh SOURCE_DIR
set -u
src=${1:?usage: deps_test.sh SOURCE_DIR}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/bin" "$work/p7zip/usr/lib/p7zip"
touch "$work/p7zip/usr/lib/p7zip/7z.so"

# apt-get: records each call; ARCHIVE says how the archive behaves:
# skew (update fails, a plain install fails, one preferring the release works),
# broken (nothing installs), fine (everything works).
cat > "$work/bin/apt-get" <<'SH'
#!/bin/sh
echo "apt-get $*" >> "$CALLS"
case " $* " in
  *" update "*) [ "$ARCHIVE" = fine ] || { echo "E: Some index files failed to download." >&2; exit 100; } ;;
  *" install "*)
    case "$ARCHIVE $*" in
      fine*|skew*APT::Default-Release=*) ;;
      *) echo "E: Unable to correct problems, you have held broken packages." >&2; exit 100 ;;
    esac ;;
esac
exit 0
SH
# shellcheck disable=SC2016 # the fake's own $1
printf '#!/bin/sh\n[ "$1" = --print-foreign-architectures ] && echo armhf\nexit 0\n' > "$work/bin/dpkg"
printf '#!/bin/sh\nexit 1\n' > "$work/bin/dpkg-query"  # nothing is installed
chmod +x "$work/bin/"*

fails=0 passes=0
check() {  # check NAME CONDITION-RESULT MESSAGE
    if [ "$2" = 0 ]; then passes=$((passes + 1)); else
        fails=$((fails + 1)); printf 'FAIL %s: %s\n--- output:\n%s\n--- calls:\n%s\n' "$1" "$3" "$out" "$(cat "$CALLS")"; fi
}
run() {  # run ARCHIVE: ./dev deps under the fakes, output in $out, status in $status
    export CALLS="$work/calls.$1" ARCHIVE=$1
    : > "$CALLS"
    out=$(PATH="$work/bin:$PATH" ARMHF_P7ZIP_ROOT="$work/p7zip" timeout 60 "$src/dev" deps 2>&1 </dev/null)
    status=$?
    installs=$(grep -c ' install ' "$CALLS")
}

run skew
check skew "$((status == 0 && installs == 2 ? 0 : 1))" "status $status, $installs installs (want 0, 2)"
check skew "$(grep -q 'could not all be updated' <<<"$out"; echo $?)" "no warning about the lists"
# shellcheck source=/dev/null # the machine's own file
check skew "$(grep -q 'trying once more' <<<"$out" && tail -n1 "$CALLS" | grep -q "Default-Release=$(. /etc/os-release; echo "$VERSION_CODENAME")"; echo $?)" \
    "second try not announced or not preferring the release's versions"

run broken
check broken "$((status == 1 && installs == 2 ? 0 : 1))" "status $status, $installs installs (want 1, 2)"
check broken "$(grep -q '^==> could not install: .*libdbus-1-dev' <<<"$out"; echo $?)" "no line naming the packages"

run fine
check fine "$((status == 0 && installs == 1 ? 0 : 1))" "status $status, $installs installs (want 0, 1)"
check fine "$(! grep -qE 'trying once more|could not' <<<"$out"; echo $?)" "a warning where all went well"

printf '%d passed, %d failed\n' "$passes" "$fails"
[ "$fails" = 0 ]

#!/usr/bin/env bash
# ./dev deps against a package archive that is half broken, on Debian 12 and 13, as root and
# as a user, with fake apt-get, apt-cache, dpkg, dpkg-deb, dpkg-query, id and sudo first on
# PATH; then how dev demo and dev test report skips. Usage: deps_test.sh SOURCE_DIR
set -u
src=${1:?usage: deps_test.sh SOURCE_DIR}
unset DEV_IN_RELEASE  # the copy's build folder is build/, also in a --release run
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/bin"

# apt-get: records each call; ARCHIVE says how the archive behaves:
# skew (update fails, a plain install fails, one preferring the release works),
# broken (nothing installs), fine (everything works). download leaves a .deb per name.
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
  *" download "*)
    for p in "$@"; do case $p in *:*) : > "${p%%:*}_1_${p##*:}.deb" ;; esac; done ;;
esac
exit 0
SH
# shellcheck disable=SC2016 # the fakes' own $1, $CLANG and $FAKE_UID
{
  printf '#!/bin/sh\n[ "$1" = --print-foreign-architectures ] && echo armhf\nexit 0\n' > "$work/bin/dpkg"
  printf '#!/bin/sh\nexit 1\n' > "$work/bin/dpkg-query"  # nothing is installed
  printf '#!/bin/sh\necho "dpkg-deb $*" >> "$CALLS"\n' > "$work/bin/dpkg-deb"
  printf '#!/bin/sh\nprintf "clang\\n  Depends: clang-%%s\\n" "$CLANG"\n' > "$work/bin/apt-cache"
  printf '#!/bin/sh\necho "${FAKE_UID:-0}"\n' > "$work/bin/id"
  # sudo: -n works when SUDO=nopasswd; a real run is recorded and done as root.
  printf '#!/bin/sh\n[ "$1" = -n ] && { [ "$SUDO" = nopasswd ]; exit; }\necho "sudo $*" >> "$CALLS"\nFAKE_UID=0 exec "$@"\n' \
    > "$work/bin/sudo"
}
chmod +x "$work/bin/"*

fails=0 passes=0
check() {  # check NAME RESULTS MESSAGE: RESULTS is one 0 or 1 per condition, all 0 passes
    if [ -n "$2" ] && [ "${2//0/}" = "" ]; then passes=$((passes + 1)); else
        fails=$((fails + 1)); printf 'FAIL %s: %s\n--- output:\n%s\n--- calls:\n%s\n' "$1" "$3" "$out" "$(cat "$CALLS")"; fi
}
# run NAME RELEASE ARCHIVE [VAR=VALUE..]: ./dev deps under the fakes as root, or as the
# user FAKE_UID=1000 with SUDO=nopasswd or SUDO=password; output in $out, status in $status
run() {
    local name=$1 release=$2 archive=$3
    shift 3
    export CALLS="$work/calls.$name" ARCHIVE=$archive
    : > "$CALLS"
    rm -rf "$work/unpacked"
    printf 'VERSION_CODENAME=%s\n' "$release" > "$work/os-release"
    local clang=14
    [ "$release" = trixie ] && clang=19
    out=$(env CLANG=$clang "$@" PATH="$work/bin:$PATH" \
        DEV_OS_RELEASE="$work/os-release" ARMHF_UNPACK_ROOT="$work/unpacked" timeout 60 "$src/dev" deps 2>&1 </dev/null)
    status=$?
    installs=$(grep -c ' install ' "$CALLS")
}
t() { if "$@"; then echo 0; else echo 1; fi; }  # a condition as check's 0 or 1, and its opposite
no() { if "$@"; then echo 1; else echo 0; fi; }
has() { t grep -q -- "$1" "$CALLS"; }
hasnt() { no grep -q -- "$1" "$CALLS"; }

run skew bookworm skew
check skew "$((status == 0 && installs == 2 ? 0 : 1))" "status $status, $installs installs (want 0, 2)"
check skew "$(t grep -q 'could not all be updated' <<<"$out")" "no warning about the lists"
check skew "$(t grep -q 'trying once more' <<<"$out")$(grep ' install ' "$CALLS" | tail -n1 | t grep -q "Default-Release=bookworm")" \
    "second try not announced or not preferring the release's versions"

run broken bookworm broken
check broken "$((status == 1 && installs == 2 ? 0 : 1))" "status $status, $installs installs (want 1, 2)"
check broken "$(t grep -q '^==> could not install: .*libdbus-1-dev' <<<"$out")" "no line naming the packages"
check broken "$(no grep -q 'archive has settled' <<<"$out")" "the archive blamed"

run fine bookworm fine
check fine "$((status == 0 && installs == 1 ? 0 : 1))" "status $status, $installs installs (want 0, 1)"
check fine "$(no grep -qE 'trying once more|could not' <<<"$out")" "a warning where all went well"

# Each release's names: its own clang, and the armhf libraries that apt cannot put beside the
# host's unpacked (12: the armhf 7z.so; 13: libutils, libbacktrace and 7zip) instead of installed.
run bookworm bookworm fine
for want in 'install .* clang-14 ' ' libclang-rt-14-dev' 'install .* android-libutils-dev:armhf' 'download .*p7zip-full:armhf' \
        "dpkg-deb -x .*p7zip-full_1_armhf.deb $work/unpacked"; do
    check bookworm "$(has "$want")" "no call matching '$want'"
done
check bookworm "$(hasnt '7zip:armhf\|android-libcutils-dev')" "a Debian 13 name installed on 12"
run trixie trixie fine
for want in 'install .* clang-19 ' ' libclang-rt-19-dev' 'install .* android-libcutils-dev:armhf' \
        'download .* android-libbacktrace:armhf 7zip:armhf'; do
    check trixie "$(has "$want")" "no call matching '$want'"
done
check trixie "$(hasnt 'clang-14\|p7zip\|install .*android-libutils-dev:armhf')" "a Debian 12 name, or libutils:armhf installed"
check trixie "$(t test -f "$work/unpacked/.unpacked/7zip_armhf")" "no marker of the unpacked 7zip:armhf"
run forky forky fine
check forky "$((status == 1 ? 0 : 1))$(t grep -q 'packages.txt has lists for: bookworm trixie' <<<"$out")" \
    "status $status; an unknown release not named as such"

# A user: only this step needs root. With sudo that asks no password, dev runs it through
# sudo and says so; otherwise one line says how, and nothing is tried.
run user-sudo bookworm fine FAKE_UID=1000 SUDO=nopasswd
check user-sudo "$((status == 0 ? 0 : 1))$(t grep -q 'running sudo ./dev deps' <<<"$out")" "status $status; not announced"
check user-sudo "$(has "^sudo $src/dev deps")" "not run through sudo"
check user-sudo "$((installs == 1 ? 0 : 1))" "$installs installs (want 1)"
run user bookworm fine FAKE_UID=1000 SUDO=password
check user "$((status == 1 && $(wc -l <<<"$out") == 1 ? 0 : 1))$(t grep -q 'needs root; run sudo ./dev deps once' <<<"$out")" \
    "status $status; not one line with the hint"
check user "$(t test ! -s "$CALLS")" "apt-get or sudo called"

# A skip is not a pass: the demo fails naming a part that cannot run (unless --skip-missing),
# and ./dev test ends with each skipped test and its reason. A copy of dev runs fake parts
# with a fake cmake and a ctest that reports one skip.
tree="$work/tree"
mkdir -p "$tree/tools/demo" "$tree/build/Testing/Temporary"
cp "$src/dev" "$src/packages.txt" "$tree/"
printf 'echo first part ran\n' > "$tree/tools/demo/10-ok.sh"
printf 'print("vm: cannot run: no qemu-system-arm")\nraise SystemExit(77)\n' > "$tree/tools/demo/20-vm.py"
printf '#!/bin/sh\nexit 0\n' > "$work/bin/cmake"
# ctest: a failed test's output quoting another summary (decoy), then its own summary.
cat > "$work/bin/ctest" <<'SH'
#!/bin/sh
printf 'The following tests did not run:\n\t  3 - decoy (Skipped)\n'
printf '100%% tests passed, 0 tests failed out of 2\n\nThe following tests did not run:\n\t  7 - vm_x (Skipped)\n'
SH
printf '1/1 Test: vm_x\nOutput:\n---\nbooting\nSKIP: no kernel package\nvm: bye\n<end of output>\n' \
    > "$tree/build/Testing/Temporary/LastTest.log"
chmod +x "$work/bin/"*
skip_run() {  # skip_run ARGS..: the copy's dev under the fakes
    export CALLS="$work/calls.skip" ARCHIVE=fine
    out=$(PATH="$work/bin:$PATH" CLANG=14 DEV_OS_RELEASE="$work/os-release" ARMHF_UNPACK_ROOT="$work/unpacked" \
        timeout 60 "$tree/dev" "$@" 2>&1 </dev/null)
    status=$?
}
part_line='^    20-vm: vm: cannot run: no qemu-system-arm$'
skip_run demo
check demo "$((status == 1 ? 0 : 1))$(t grep -q 'first part ran' <<<"$out")$(t grep -q "$part_line" <<<"$out")" \
    "status $status (want 1), or the part and its reason not named"
skip_run demo --skip-missing
check demo-skip-missing "$((status == 0 ? 0 : 1))$(t grep -q "$part_line" <<<"$out")" "status $status (want 0), or the part not named"
skip_run test
check test-skips "$((status == 0 ? 0 : 1))$(t grep -q '^    vm_x: SKIP: no kernel package$' <<<"$out")$(no grep -q '^    decoy:' <<<"$out")" \
    "status $status, or the skipped test and its reason not listed, or another output's listed"

printf '%d passed, %d failed\n' "$passes" "$fails"
[ "$fails" = 0 ]

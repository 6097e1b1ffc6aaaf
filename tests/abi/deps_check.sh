#!/usr/bin/env bash
# Fails when a built deliverable needs a library or an undefined symbol that
# its rows in deliverable_deps.txt do not allow: a stray dependency shows here
# before the device's loader refuses the file.
#   deps_check.sh READELF LIST DELIVERABLE FILE
set -uo pipefail
set -f  # the list's patterns are matched, never expanded as file names
readelf=$1 list=$2 name=$3 file=$4
fail() { echo "FAIL: $name: $*" >&2; exit 1; }

needed_ok=() symbol_ok=()
while read -r who kind allowed; do
    case $who in '' | '#'*) continue ;; esac
    [ "$who" = '*' ] || [ "$who" = "$name" ] || continue
    read -ra pats <<<"$allowed"
    case $kind in
        needed) needed_ok+=("${pats[@]}") ;;
        symbol) symbol_ok+=("${pats[@]}") ;;
        *) fail "$list: unknown kind '$kind'" ;;
    esac
done <"$list"
[ ${#needed_ok[@]} -gt 0 ] || fail "no 'needed' row in $list"

dynamic=$("$readelf" -dW "$file") || fail "$readelf -d $file failed"
symbols=$("$readelf" -W --dyn-syms "$file") || fail "$readelf --dyn-syms $file failed"
mapfile -t needed < <(sed -n 's/.*(NEEDED).*\[\(.*\)\]$/\1/p' <<<"$dynamic")
# Undefined entries: "NUM: VALUE SIZE TYPE BIND VIS UND name[@VERSION] [(N)]".
mapfile -t undefined < <(awk '$7 == "UND" && $8 != "" { print $8 }' <<<"$symbols")
[ ${#needed[@]} -gt 0 ] || fail "no NEEDED entries read from $file"

allowed() {
    local item=$1 pat
    shift
    for pat in "$@"; do
        # shellcheck disable=SC2053  # the pattern is meant as a glob
        [[ $item == $pat ]] && return 0
    done
    return 1
}

bad=0
for lib in "${needed[@]}"; do
    allowed "$lib" "${needed_ok[@]}" || { echo "$name: NEEDED $lib is not on its list" >&2; bad=1; }
done
for sym in "${undefined[@]}"; do
    allowed "$sym" "${symbol_ok[@]}" || { echo "$name: undefined $sym is not on its list" >&2; bad=1; }
done
[ $bad -eq 0 ] || fail "dependencies outside $list (see above)"
echo "$name: ${#needed[@]} NEEDED (${needed[*]}), ${#undefined[@]} undefined symbols, all on its list"

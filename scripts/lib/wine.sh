# shellcheck shell=bash
# Sourced by the scripts that run Wine: the environment their Wine processes get, the temporary
# folder, and a prefix's session for a whole script (scripts/conformance, scripts/windows-tests).
# scripts/wine-run keeps its own sessions but shares the temporary folder and its clearing.

# No debug output, no .NET or HTML engine downloads when a prefix is made.
wine_quiet() {
    export WINEDEBUG=-all
    export WINEDLLOVERRIDES="mscoree,mshtml="
}

# The temporary folder, into wine_tmp: TMPDIR when it is an absolute path, else /tmp. Wine keeps
# each prefix's server socket there as well, in wine-XXXXXX/server-<device>-<inode>.
wine_tmp=/tmp
[[ ${TMPDIR:-} == /* ]] && wine_tmp=${TMPDIR%/}
[[ -n $wine_tmp ]] || wine_tmp=/

# Wine leaves a prefix's server folder behind when its server ends; once the prefix's session is
# over nothing uses it, so it goes. Call after the session has ended (wineserver -k, then -w),
# while the prefix still exists.
remove_wine_server_dir() {
    local prefix=$1 name dir ids
    [[ -d $prefix ]] || return 0
    ids=$(stat -c '%d %i' "$prefix") || return 0
    # shellcheck disable=SC2086 # the two numbers
    printf -v name 'server-%x-%x' $ids
    for dir in "$wine_tmp"/wine-*/"$name" "$wine_tmp/.wine-$(id -u)/$name"; do
        [[ -d $dir && -O $dir ]] || continue
        rm -rf "$dir"
        rmdir "${dir%/*}" 2>/dev/null || true
    done
}

# begin_wine_session NAME: a Wine session for the rest of the script, ended when it exits. In
# WINEPREFIX when set, else in a new prefix NAME.XXXXXX of the temporary folder, removed at the
# end. The persistent server comes first, then the prefix and Wine's own services under it,
# detached from the script's output so that no service holds a later command's output open.
begin_wine_session() {
    wine_temporary_prefix=""
    if [[ -z ${WINEPREFIX:-} ]]; then
        wine_temporary_prefix=$(mktemp -d "$wine_tmp/$1.XXXXXX") || return 1
        export WINEPREFIX=$wine_temporary_prefix
    fi
    trap end_wine_session EXIT
    mkdir -p "$WINEPREFIX" && wineserver -p && wine wineboot -i </dev/null >/dev/null 2>&1
}

end_wine_session() {
    wineserver -k >/dev/null 2>&1 || true
    wineserver -w >/dev/null 2>&1 || true
    remove_wine_server_dir "$WINEPREFIX"
    if [[ -n ${wine_temporary_prefix:-} ]]; then
        rm -rf "$wine_temporary_prefix"
    fi
}

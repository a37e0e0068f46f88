# Sourced by the scripts that run Wine. Wine keeps each prefix's server socket in a folder of
# the temporary folder (wine-XXXXXX/server-<device>-<inode>, or .wine-<uid>/...) and leaves it
# there when the server ends; once the prefix's session is over nothing uses it, so it goes.
# Call after the session has ended (wineserver -k, then -w), while the prefix still exists.
remove_wine_server_dir() {
    local prefix=$1 name dir
    [[ -d $prefix ]] || return 0
    name=$(printf 'server-%x-%x' $(stat -c '%d %i' "$prefix")) || return 0
    for dir in "${TMPDIR:-/tmp}"/wine-*/"$name" "${TMPDIR:-/tmp}/.wine-$(id -u)/$name"; do
        [[ -d $dir && -O $dir ]] || continue
        rm -rf "$dir"
        rmdir "$(dirname "$dir")" 2>/dev/null || true
    done
}

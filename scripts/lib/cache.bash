# shellcheck shell=bash
# Sourced, after supervise.bash, by the scripts that make what the build
# takes from outside (system roots, device roots): one way
# to make a thing once per machine and keep it, shared by every clone.
#
# cache_folder
#   Prints the cache folder: $LISTS_CACHE_DIR, by default
#   ${XDG_CACHE_HOME:-$HOME/.cache}/list-exercises.
# cache_path NAME
#   Prints the path of the cache entry NAME (made or not).
# cached_entry NAME COMMAND...
#   Makes sure that the cache holds the complete entry NAME (a folder or a
#   file), and holds it for the calling script: a shared lock on it
#   (.NAME.lock beside it) stays held, by the script and the children it
#   starts, until they end, so that no prune removes it meanwhile. Where it
#   is not there, `COMMAND... STAGE` makes it at STAGE, a hidden name beside
#   the entry (COMMAND's standard output goes to standard error), and it is
#   moved in by one rename: an entry is only ever there complete. One maker
#   at a time: the lock is held exclusively while it is made; another run
#   waits, then takes what the first made. What a killed maker left
#   (.NAME.*) is swept by the next one, under the lock. Where
#   LISTS_CACHE_REFRESH is NAME, the entry is made anew the same way, once
#   no other run holds it, and then takes the old one's place.
#   A maker may write the day its packages were fetched to STAGE.fetched
#   (record_fetched); taking or making an entry marks it used (its mtime),
#   and a run that made one prunes the cache to its limit.
# cache_fetched NAME
#   Prints that day (YYYY-MM-DD), where it is known.
# record_fetched TARGET RELEASE_FILE...
#   Writes the newest Date of the archives' signed indexes to TARGET.fetched.
# cache_limit
#   Prints the limit in bytes: $LISTS_CACHE_LIMIT (20G by default; K, M, G
#   and T in powers of 1024).
# cache_prune LIMIT
#   Removes the least recently used entries until the cache holds LIMIT
#   bytes at most; never an entry that a run holds. Says what it removed and
#   left, a line each, on standard output.
# cache_remove NAME
#   Removes the entry NAME unless a run holds it (status 1 then).
# cache_hold NAME
#   Holds the entry NAME, made before, for the calling script and its
#   children until they end, as cached_entry does (status 1 where it is not
#   there). For an entry that a child made: the child's hold ended with it.
#   The paths of the entries held are listed in LISTS_CACHE_HELD, a line
#   each, so that a child asked to refresh one takes it as it is rather
#   than wait for the run itself.
#
# The cache folder and every entry taken from it must be the user's own and
# not writable by group or others: programs built against a root, and roots
# entered with chroot, run as the user, often root. Anything else stops the
# run (exit 2), naming the path and why.
#
# Messages begin with the calling script's name.

cache_folder() {
    local folder=${LISTS_CACHE_DIR:-${XDG_CACHE_HOME:-${HOME-}/.cache}/list-exercises}
    case $folder in /*) ;; *) folder=$PWD/$folder ;; esac
    echo "$folder"
}

cache_path() {
    echo "$(cache_folder)/$1"
}

# not_own PATH [--follow]: why PATH is not the user's own alone (a link,
# not there, another's, or others may write to it), or nothing where it is.
# With --follow, a link is taken for what it leads to.
not_own() {
    local path=$1 stat=(stat -c) owner mode
    if [ "${2-}" = --follow ]; then
        stat=(stat -L -c)
    elif [ -L "$path" ]; then
        echo "it is a symbolic link"
        return 0
    fi
    if [ ! -e "$path" ]; then
        echo "it is not there"
    elif ! owner=$("${stat[@]}" %u -- "$path") || ! mode=$("${stat[@]}" %a -- "$path"); then
        echo "it cannot be looked at"
    elif [ "$owner" != "$(id -u)" ]; then
        echo "it belongs to $("${stat[@]}" %U -- "$path"), not to $(id -un), who runs this"
    elif (((8#$mode & 8#022) != 0)); then
        echo "others may write to it (mode $mode)"
    fi
}

# _cache_trust PATH WHAT: stops the run unless PATH (the cache folder, or
# an entry: WHAT says which) is the user's own and writable by nobody else.
# The folder may be reached through a link (a home's .cache often is); an
# entry is always made as a file or folder of its own, never a link.
_cache_trust() {
    local why
    if [ "$2" = "cache folder" ]; then why=$(not_own "$1" --follow); else why=$(not_own "$1"); fi
    [ -n "$why" ] || return 0
    echo "$LISTS_CALLER: will not use the $2 $1: $why; whoever can change it" \
        "could run programs as $(id -un). Use a cache folder of your own (LISTS_CACHE_DIR)," \
        "or remove what is there, or make it yours (chown, chmod go-w)" >&2
    exit 2
}

cache_limit() {
    local limit=${LISTS_CACHE_LIMIT:-20G}
    numfmt --from=iec -- "$limit" 2>/dev/null || {
        echo "$LISTS_CALLER: '$limit' is not a size (such as 20G or 500M)" >&2
        return 2
    }
}

# cache_bytes PATH: the disk space it takes. (Not into what a maker at work
# has mounted in its stage, such as a /proc.)
cache_bytes() {
    local kib
    kib=$(du -skx -- "$1" 2>/dev/null | cut -f1) || true
    echo $((${kib:-0} * 1024))
}

# cache_size BYTES: as people read it (412MiB).
cache_size() {
    numfmt --to=iec-i --suffix=B -- "$1"
}

record_fetched() {
    local target=$1 file day newest=''
    shift
    for file in "$@"; do
        [ -f "$file" ] || continue
        day=$(sed -n 's/^Date: //p' "$file" | head -n 1)
        day=$(date -u -d "$day" +%F 2>/dev/null) || continue
        [[ $day < $newest ]] || newest=$day
    done
    [ -z "$newest" ] || echo "$newest" >"$target.fetched"
}

cache_fetched() {
    local path
    path=$(cache_path "$1")
    if [ -d "$path" ]; then
        cat -- "$path/.fetched"
    else
        cat -- "${path%/*}/.$1.fetched"
    fi 2>/dev/null || true
}

# _cache_sweep FOLDER NAME, under NAME's exclusive lock: what stopped runs
# left beside the entry. A refresh stopped between its two renames left the
# old entry aside, whole: it is put back.
_cache_sweep() {
    local folder=$1 name=$2 leftover
    if [ ! -e "$folder/$name" ] && [ -e "$folder/.$name.old" ]; then
        echo "$LISTS_CALLER: putting back $name, which a refresh that was stopped had moved aside" >&2
        mv -T -- "$folder/.$name.old" "$folder/$name" || return 1
    fi
    for leftover in "$folder/.$name".*; do
        case ${leftover#"$folder/.$name"} in
            .lock) continue ;;
            .fetched) [ ! -e "$folder/$name" ] || continue ;;
        esac
        [ -e "$leftover" ] || continue
        echo "$LISTS_CALLER: removing ${leftover##*/}, left by a run that was stopped" >&2
        rm -rf --one-file-system -- "$leftover" || return 1
    done
}

# _cache_discard PATH: renamed first, so that a removal stopped half-way
# never leaves a part of an entry under a name that is taken for whole.
_cache_discard() {
    local aside=${1%/*}/.${1##*/}.removing.$$
    [[ ${1##*/} != .* ]] || aside=$1.removing.$$
    mv -T -- "$1" "$aside" && rm -rf --one-file-system -- "$aside"
}

cached_entry() {
    local name=$1 path folder
    shift
    path=$(cache_path "$name")
    folder=${path%/*}
    local refresh=${LISTS_CACHE_REFRESH-}
    # A run that holds the entry made or refreshed it already.
    [[ $'\n'${LISTS_CACHE_HELD-}$'\n' != *$'\n'"$path"$'\n'* ]] || refresh=''
    if [ ! -e "$folder" ]; then
        mkdir -p -- "$folder" 2>/dev/null && chmod go-w -- "$folder" || true
    fi
    if [ -e "$folder" ]; then
        _cache_trust "$folder" "cache folder"
    fi
    if [ ! -d "$folder" ] || [ ! -w "$folder" ] || [ ! -x "$folder" ]; then
        # (A cache of one's own that cannot be written, such as one mounted
        # read-only, still serves what it holds; nothing can remove it.)
        if [ -e "$path" ] && [ "$refresh" != "$name" ]; then
            _cache_trust "$path" "cache entry"
            return 0
        fi
        echo "$LISTS_CALLER: cannot write to the cache folder $folder: set LISTS_CACHE_DIR to one that can be written" >&2
        return 1
    fi
    local lock=$folder/.$name.lock fd
    exec {fd}>>"$lock" || return 1
    if [ -e "$path" ] && [ "$refresh" != "$name" ]; then
        if ! flock -s -n "$fd"; then
            echo "$LISTS_CALLER: another run is refreshing or removing $name; waiting for it" >&2
            run_child flock -s "$fd" || return 1
        fi
        # (The fd stays open: the shared lock is the script's until it ends.)
        if [ -e "$path" ]; then
            _cache_trust "$path" "cache entry"
            touch -c -- "$path" 2>/dev/null || true
            local fetched
            fetched=$(cache_fetched "$name")
            echo "$LISTS_CALLER: took $name from the cache, $folder${fetched:+ (packages of $fetched)}" >&2
            return 0
        fi
    fi
    # (A child that inherits the lock holds it too: where a maker is killed
    # outright while its children go on writing, the next one waits for them.)
    if ! flock -n "$fd"; then
        if [ -e "$path" ]; then
            echo "$LISTS_CALLER: another run holds $name; waiting for it to end" >&2
        else
            echo "$LISTS_CALLER: another run is making $name; waiting for it" >&2
        fi
        run_child flock "$fd" || return 1
    fi
    # (Every step's failure is checked: a caller may have called this in a
    # condition, where set -e does not stop it.)
    _cache_sweep "$folder" "$name" || return 1
    local made=no
    if [ ! -e "$path" ] || [ "$refresh" = "$name" ]; then
        local stage=$folder/.$name.$$
        remove_at_exit "$stage"
        remove_at_exit "$stage.fetched"
        if ! run_child "$@" "$stage" >&2 || [ ! -e "$stage" ]; then
            rm -rf -- "$stage" "$stage.fetched"
            exec {fd}>&-
            return 1
        fi
        if [ -d "$stage" ] && [ -e "$stage.fetched" ]; then
            mv -- "$stage.fetched" "$stage/.fetched" || return 1
        fi
        # What a maker writes takes its mode from the umask, which may let
        # the group write: the entry would then not be trusted.
        chmod go-w -- "$stage" || return 1
        # A refresh: the old entry aside, the new one in, the old one gone;
        # stopped between the renames, the next run puts the old one back.
        if [ -e "$path" ]; then
            mv -T -- "$path" "$folder/.$name.old" || return 1
        fi
        mv -T -- "$stage" "$path" || return 1
        if [ -e "$stage.fetched" ]; then
            mv -- "$stage.fetched" "$folder/.$name.fetched" || return 1
        fi
        [ ! -e "$folder/.$name.old" ] || _cache_discard "$folder/.$name.old" || return 1
        made=yes
    fi
    [ $made = yes ] || _cache_trust "$path" "cache entry"
    touch -c -- "$path" 2>/dev/null || true
    flock -s "$fd" || return 1
    [ $made = no ] || _cache_prune_after_making "$folder"
}

cache_hold() {
    local name=$1 path folder fd
    path=$(cache_path "$name")
    folder=${path%/*}
    [ -e "$path" ] || return 1
    _cache_trust "$folder" "cache folder"
    exec {fd}>>"$folder/.$name.lock" || return 1
    if ! flock -s -n "$fd"; then
        echo "$LISTS_CALLER: another run is refreshing or removing $name; waiting for it" >&2
        run_child flock -s "$fd" || return 1
    fi
    # (The fd stays open: the shared lock is the script's until it ends.)
    if [ ! -e "$path" ]; then
        exec {fd}>&-
        return 1
    fi
    _cache_trust "$path" "cache entry"
    touch -c -- "$path" 2>/dev/null || true
    export LISTS_CACHE_HELD="${LISTS_CACHE_HELD:+$LISTS_CACHE_HELD$'\n'}$path"
}

# After a run made an entry (it holds it, so it stays), the cache is pruned
# to its limit where it has passed it, in one line.
_cache_prune_after_making() {
    local limit used pruned
    limit=$(cache_limit) || return 0
    used=$(cache_bytes "$1")
    [ "$used" -gt "$limit" ] || return 0
    pruned=$(cache_prune "$limit" | paste -s -d ';' | sed 's/;/; /g')
    echo "$LISTS_CALLER: the cache held $(cache_size "$used"), past its limit of" \
        "$(cache_size "$limit"): ${pruned:-no entry could be removed}; scripts/cache lists what is left" >&2
}

# _cache_entries: the names of the cache's entries, least recently used
# first (every entry has its lock beside it).
_cache_entries() {
    local folder lock name
    folder=$(cache_folder)
    for lock in "$folder"/.*.lock; do
        name=${lock##*/.}
        name=${name%.lock}
        if [ -e "$folder/$name" ]; then echo "$(stat -c %Y -- "$folder/$name") $name"; fi
    done | sort -n | cut -d' ' -f2-
}

cache_remove() {
    local name=$1 folder fd
    folder=$(cache_folder)
    [ -e "$folder/.$name.lock" ] || return 0
    exec {fd}>>"$folder/.$name.lock" || return 1
    if ! flock -n "$fd"; then
        exec {fd}>&-
        return 1
    fi
    _cache_sweep "$folder" "$name" &&
        { [ ! -e "$folder/$name" ] || _cache_discard "$folder/$name"; } &&
        rm -f -- "$folder/.$name.fetched"
    local status=$?
    exec {fd}>&-
    return $status
}

cache_prune() {
    local limit=$1 folder used name size
    folder=$(cache_folder)
    [ -d "$folder" ] || return 0
    used=$(cache_bytes "$folder")
    while IFS= read -r name && [ "$used" -gt "$limit" ]; do
        size=$(cache_bytes "$folder/$name")
        if cache_remove "$name"; then
            echo "removed $name ($(cache_size "$size"))"
            used=$((used - size))
        else
            echo "left $name, which a run holds"
        fi
    done < <(_cache_entries)
}

# Sourced by tools/test and bench/run: removes what runs of them left when
# they were killed by a signal they could not catch. Each such folder is
# named after the pid of the process it belongs to and holds a file that
# was written once, when it was made.

# True when process PID is gone, or is a later process given the same pid:
# one that started after FILE was written.
owner_gone() {
    local pid=$1 file=$2 age made
    age=$(ps -o etimes= -p "$pid" 2>/dev/null | tr -d ' ') || return 0
    [ -n "$age" ] || return 0
    made=$(stat -c %Y "$file" 2>/dev/null) || return 0
    [ $(($(date +%s) - age)) -gt $((made + 1)) ]
}

# Takes down the cluster in DIR with OSK_CLUSTER, quietly; says when it
# cannot.
sweep_cluster() {
    OSK_CLUSTER_DIR=$1 "$2" down >/dev/null 2>&1 || echo "cannot remove $1" >&2
}

# sweep_owned PATTERN MARK OSK_CLUSTER CLUSTER_SUBDIR
# Every root-owned folder matching PATTERN (named ...-PID-SUFFIX) holding
# MARK whose owner is gone: its cluster (in CLUSTER_SUBDIR of it, "." for the
# folder itself) is taken down, and the folder goes with it.
sweep_owned() {
    local d pid
    for d in $1; do
        [ -d "$d" ] && [ ! -L "$d" ] && [ "$(stat -c %u "$d")" = 0 ] || continue
        [ -f "$d/$2" ] || continue
        pid=${d%-*}
        pid=${pid##*-}
        case $pid in '' | *[!0-9]*) continue ;; esac
        owner_gone "$pid" "$d/$2" || continue
        if [ "$4" = . ]; then
            sweep_cluster "$d" "$3"
        else
            [ -e "$d/$4" ] && sweep_cluster "$d/$4" "$3"
            rm -rf "$d"
        fi
    done
}

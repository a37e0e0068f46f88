# bash completion for simbook: its subcommands and their options, the ready machines' names
# after --from, --machine and --each, and the machine keys after set and reset. All of them come
# from the simbook being completed (`simbook help`, `simbook help COMMAND`, `simbook new --from
# list`, `simbook help keys`), so they are the ones that simbook knows.

_simbook_commands() {
    "$1" help 2>/dev/null | sed -n 's/^  \([a-z][a-z]*\) .*/\1/p'
}

# The machine keys: the first word of each line of `simbook help keys`, which goes on with the
# values explore gives the key.
_simbook_keys() {
    "$1" help keys 2>/dev/null | cut -d ' ' -f 1
}

# The options a subcommand's help text names.
_simbook_options() {
    "$1" help "$2" 2>/dev/null | grep -o -- '--[a-z][a-z-]*' | sort -u
}

_simbook_machines() {
    "$1" new --from list 2>/dev/null | while read -r name _; do printf '%s\n' "$name"; done
}

_simbook() {
    local cur prev words cword
    # KEY=VALUE stays one word: the key is completed, the value is the user's.
    _init_completion -n = || return

    local simbook=${words[0]}
    if ((cword == 1)); then
        mapfile -t COMPREPLY < <(compgen -W "$(_simbook_commands "$simbook") --version --help" \
            -- "$cur")
        return
    fi

    local command=${words[1]} i
    # After `--` comes the procedure's own command line.
    if [[ $command == run || $command == explore ]]; then
        for ((i = 2; i < cword; i++)); do
            if [[ ${words[i]} == -- ]]; then
                _command_offset $((i + 1))
                return
            fi
        done
    fi

    case $prev in
        --from | --machine)
            mapfile -t COMPREPLY < <(compgen -W "$(_simbook_machines "$simbook")" -- "$cur")
            [[ $prev == --from ]] && COMPREPLY+=($(compgen -W list -- "$cur"))
            _filedir json
            return
            ;;
        --each)
            # A comma-separated list: complete the name after the last comma.
            local done_part= last=$cur
            if [[ $cur == *,* ]]; then
                done_part=${cur%,*},
                last=${cur##*,}
            fi
            mapfile -t COMPREPLY < <(compgen -P "$done_part" -W \
                "$(_simbook_machines "$simbook")" -- "$last")
            [[ -z $done_part ]] && COMPREPLY+=($(compgen -W all -- "$cur")) && _filedir -d
            compopt -o nospace
            return
            ;;
        --keys)
            # A comma-separated list of keys: complete the key after the last comma.
            local keys_done= key=$cur
            if [[ $cur == *,* ]]; then
                keys_done=${cur%,*},
                key=${cur##*,}
            fi
            mapfile -t COMPREPLY < <(compgen -P "$keys_done" -W \
                "$(_simbook_keys "$simbook")" -- "$key")
            compopt -o nospace
            return
            ;;
        --file | --trace | --expect | --junit | --snapshot)
            _filedir
            return
            ;;
        --json)
            # A file for explore's report; for the others a flag.
            if [[ $command == explore ]]; then
                _filedir
                return
            fi
            ;;
        --windows | --keep | --examples)
            _filedir -d
            return
            ;;
        --program)
            mapfile -t COMPREPLY < <(compgen -W 'brenvik tolmare sundrel' -- "$cur")
            return
            ;;
        --timeout | --jobs | -j | --junit-suite | --strength | --seed | --limit | --shard | \
            --check)
            return
            ;;
    esac

    if [[ $command == help ]]; then
        ((cword == 2)) && mapfile -t COMPREPLY < <(compgen -W \
            "$(_simbook_commands "$simbook") keys" -- "$cur")
        return
    fi
    if [[ $cur == -* ]]; then
        local options
        options=$(_simbook_options "$simbook" "$command")
        [[ -n $options ]] || return # not a subcommand
        options+=" --help"
        [[ $command == run || $command == explore ]] && options+=" --"
        mapfile -t COMPREPLY < <(compgen -W "$options" -- "$cur")
        return
    fi
    case $command in
        set)
            [[ $cur == *=* ]] && return
            mapfile -t COMPREPLY < <(compgen -S = -W "$(_simbook_keys "$simbook")" \
                -- "$cur")
            compopt -o nospace
            ;;
        reset)
            mapfile -t COMPREPLY < <(compgen -W "$(_simbook_keys "$simbook")" -- "$cur")
            ;;
        explore)
            # After --merge, the shards' reports.
            [[ " ${words[*]} " == *" --merge "* ]] && _filedir json
            ;;
        show | new | trace | status)
            _filedir
            ;;
    esac
}
complete -F _simbook simbook

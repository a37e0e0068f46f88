# bash completion for simbook: its subcommands and their options, the ready machines' names
# after --from, --machine and --each, and the machine keys after set and reset. Names and keys
# come from the simbook being completed (`simbook new --from list`, `simbook help keys`), so
# they are the ones that simbook knows.

_simbook_machines() {
    "$1" new --from list 2>/dev/null | while read -r name _; do printf '%s\n' "$name"; done
}

_simbook() {
    local cur prev words cword
    # KEY=VALUE stays one word: the key is completed, the value is the user's.
    _init_completion -n = || return

    local simbook=${words[0]}
    if ((cword == 1)); then
        mapfile -t COMPREPLY < <(compgen -W 'show set reset new run trace help --version --help' \
            -- "$cur")
        return
    fi

    local command=${words[1]} i
    # After `--` comes the procedure's own command line.
    if [[ $command == run ]]; then
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
            [[ -z $done_part ]] && COMPREPLY+=($(compgen -W all -- "$cur"))
            compopt -o nospace
            return
            ;;
        --file | --trace | --expect | --junit)
            _filedir
            return
            ;;
        --windows)
            _filedir -d
            return
            ;;
        --program)
            mapfile -t COMPREPLY < <(compgen -W 'brenvik tolmare sundrel' -- "$cur")
            return
            ;;
        --timeout)
            return
            ;;
    esac

    local options=
    case $command in
        show) options='--json' ;;
        set | reset) options='--file' ;;
        new) options='--from --force' ;;
        run) options='--machine --in-place --trace --json --timeout --windows --each --expect
                     --junit --' ;;
        trace) options='--json --program' ;;
        help)
            ((cword == 2)) &&
                mapfile -t COMPREPLY < <(compgen -W 'show set reset new run trace help keys' \
                    -- "$cur")
            return
            ;;
        *) return ;;
    esac
    if [[ $cur == -* ]]; then
        mapfile -t COMPREPLY < <(compgen -W "$options --help" -- "$cur")
        return
    fi
    case $command in
        set)
            [[ $cur == *=* ]] && return
            mapfile -t COMPREPLY < <(compgen -S = -W "$("$simbook" help keys 2>/dev/null)" \
                -- "$cur")
            compopt -o nospace
            ;;
        reset)
            mapfile -t COMPREPLY < <(compgen -W "$("$simbook" help keys 2>/dev/null)" -- "$cur")
            ;;
        show | new | trace)
            _filedir
            ;;
    esac
}
complete -F _simbook simbook

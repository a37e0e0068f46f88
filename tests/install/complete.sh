#!/usr/bin/env bash
# Prints, one a line, what bash completes for the command line "$@" (its last word the one being
# typed), with bash-completion finding and loading simbook's completion as an interactive shell
# does (XDG_DATA_DIRS names the installed share folder).
#
#   complete.sh BASH_COMPLETION_SCRIPT WORD...
set -u
# shellcheck disable=SC1090
source "$1"
shift
__load_completion simbook || { echo "bash-completion found no completion for simbook"; exit 1; }
function=$(complete -p simbook | sed -n 's/.* -F \([^ ]*\) .*/\1/p')
COMP_WORDS=("$@")
COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
COMP_LINE="$*"
COMP_POINT=${#COMP_LINE}
COMPREPLY=()
"$function" 2>/dev/null
printf '%s\n' "${COMPREPLY[@]}"

# bash completion for cmtool
_cmtool()
{
    local cur prev words cword
    _init_completion 2>/dev/null || {
        cur=${COMP_WORDS[COMP_CWORD]}
        prev=${COMP_WORDS[COMP_CWORD-1]}
    }
    local commands="modules stat ls check repair add update delete hide unhide prune clear maintain demo help"
    local global="--cache-dir --module --log-level --prune-mode --bytes-min-free --inodes-min-free --items --help --version"
    case $prev in
        --svg)
            COMPREPLY=($(compgen -f -- "$cur")); return ;;
        --cache-dir|--items)
            COMPREPLY=($(compgen -d -- "$cur")); return ;;
        --method)
            COMPREPLY=($(compgen -W "truncate unlink unlink-recurse" -- "$cur")); return ;;
        --prune-mode)
            COMPREPLY=($(compgen -W "item set" -- "$cur")); return ;;
        --module|--log-level|--bytes-min-free|--inodes-min-free|--size|--bytes|--to-size|--older-than|--examples|--low|--high|--interval|--slice-items|--slice-ms)
            return ;;
    esac
    local command="" word
    for word in "${COMP_WORDS[@]:1:COMP_CWORD-1}"; do
        case " $commands " in *" $word "*) command=$word; break ;; esac
    done
    local own=""
    case $command in
        modules|ls) own="--json --raw" ;;
        stat) own="--ages --svg --json --zero" ;;
        maintain) own="--once --low --high --interval --slice-items --slice-ms" ;;
        check) own="--lock --examples --json --quiet" ;;
        repair) own="--dry-run --examples --json --quiet" ;;
        add|update|unhide) own="--size --method --create" ;;
        delete) own="--force" ;;
        prune) own="--bytes --to-size --older-than --dry-run --json --verbose --quiet" ;;
        clear) own="--yes --dry-run --json --verbose --quiet" ;;
        demo) own="--keep" ;;
    esac
    if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "$global $own" -- "$cur"))
    elif [[ -z $command ]]; then
        COMPREPLY=($(compgen -W "$commands" -- "$cur"))
    else
        COMPREPLY=($(compgen -f -- "$cur"))
    fi
}
complete -F _cmtool cmtool

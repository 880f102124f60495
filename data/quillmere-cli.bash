# bash completion for quillmere-cli: commands, each command's options, and
# files for SOURCE and IMAGE (devices under /dev too).
_quillmere_cli() {
    local cur prev words cword
    _init_completion 2>/dev/null || {
        cur=${COMP_WORDS[COMP_CWORD]}
        prev=${COMP_WORDS[COMP_CWORD-1]}
        words=("${COMP_WORDS[@]}")
        cword=$COMP_CWORD
    }
    local commands="sources scan recover help"
    if [[ $cword -eq 1 ]]; then
        COMPREPLY=($(compgen -W "$commands --help --version -V" -- "$cur"))
        return
    fi
    local command=${words[1]} options
    local filters="--name --path --ext --min-size --max-size --modified-after --modified-before --recoverable --no-orphans --include-orphans"
    case $command in
        scan) options="--partition --format --json --streams $filters --help" ;;
        recover) options="--partition --out --all --by-number --allow-same-volume --overwrite --raw --jobs --report --keep-paths --streams --no-times $filters --help" ;;
        sources) options="--help" ;;
        help)
            COMPREPLY=($(compgen -W "sources scan recover help" -- "$cur"))
            return ;;
        *) return ;;
    esac
    case $prev in
        --format)
            COMPREPLY=($(compgen -W "tsv csv json jsonl bodyfile" -- "$cur"))
            return ;;
        --out)
            COMPREPLY=($(compgen -d -- "$cur"))
            return ;;
        --report)
            COMPREPLY=($(compgen -f -- "$cur"))
            compopt -o filenames 2>/dev/null
            return ;;
        --jobs|--partition|--name|--path|--ext|--min-size|--max-size|--modified-after|--modified-before|--recoverable)
            return ;;
    esac
    if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "$options" -- "$cur"))
        return
    fi
    COMPREPLY=($(compgen -f -- "$cur"))
    compopt -o filenames 2>/dev/null
}
complete -F _quillmere_cli quillmere-cli

# bash completion for lumaro-cli
_lumaro_cli() {
    local cur prev
    cur="${COMP_WORDS[COMP_CWORD]}"
    prev="${COMP_WORDS[COMP_CWORD-1]}"
    case "$prev" in
        --state-root|--preview-root|--desktop-root|--application-root|--folder)
            COMPREPLY=($(compgen -d -- "$cur"))
            return
            ;;
    esac
    local words="status apply restore retry set-aside --json --help --version --state-root --preview-root --desktop-root --application-root"
    local w
    for w in "${COMP_WORDS[@]}"; do
        if [[ "$w" == apply ]]; then
            words+=" --folder --demo --desktop --desktop-and-apps"
        fi
    done
    COMPREPLY=($(compgen -W "$words" -- "$cur"))
}
complete -F _lumaro_cli lumaro-cli

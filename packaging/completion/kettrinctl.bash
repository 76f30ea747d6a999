# bash completion for kettrinctl
#
# Commands come from `kettrinctl --help` (so new commands complete without a
# change here); options and sub-commands are listed below. Component names
# are asked of the service only when it is already running (`status` never
# starts it) and with a short time-out, so Tab never waits on a slow bus.

_kettrinctl_global_opts="--system --session --address --json --quiet -q --verbose --no-pager --help -h --version"

# Words of `kettrinctl --help` that name commands (two-space indent, then the
# name). Cached for the shell's life.
_kettrinctl_commands() {
    if [[ -z ${_kettrinctl_command_cache-} ]]; then
        _kettrinctl_command_cache=$("$1" --help 2>/dev/null |
            sed -n '/^commands:/,/^$/{s/^  \([a-z][a-z0-9-]*\) .*/\1/p}')
    fi
    printf '%s\n' "$_kettrinctl_command_cache"
}

# Components of a manifest, from the running service; nothing when the
# service is not running or does not answer within a second.
_kettrinctl_components() {
    local prog=$1 manifest=$2
    shift 2
    [[ -n $manifest ]] || return 0
    timeout 1 "$prog" "$@" --quiet status >/dev/null 2>&1 || return 0
    timeout 2 "$prog" "$@" components "$manifest" 2>/dev/null
}

_kettrinctl() {
    local cur prev words cword
    if declare -F _init_completion >/dev/null; then
        _init_completion -n =: || return
    else
        cur=${COMP_WORDS[COMP_CWORD]}
        prev=${COMP_WORDS[COMP_CWORD-1]}
        words=("${COMP_WORDS[@]}")
        cword=$COMP_CWORD
    fi
    local prog=${words[0]}

    # Global options are allowed anywhere; the bus options are passed on to
    # the service queries below.
    case $prev in
        --address) return ;;
    esac

    local i command="" bus=() args=()
    for ((i = 1; i < cword; i++)); do
        case ${words[i]} in
            --address) bus+=(--address "${words[i+1]}"); ((i++)) ;;
            --system | --session) bus+=("${words[i]}") ;;
            -*) ;;
            *) if [[ -z $command ]]; then command=${words[i]}; else args+=("${words[i]}"); fi ;;
        esac
    done

    if [[ -z $command ]]; then
        if [[ $cur == -* ]]; then
            COMPREPLY=($(compgen -W "$_kettrinctl_global_opts" -- "$cur"))
        else
            COMPREPLY=($(compgen -W "$(_kettrinctl_commands "$prog") help" -- "$cur"))
        fi
        return
    fi

    local opts="" subs="" files=0 position=${#args[@]}
    case $command in
        help)
            ((position == 0)) && subs=$(_kettrinctl_commands "$prog") ;;
        download | update | install | uninstall | is-installed)
            opts="--no-wait"
            [[ $command == is-installed || $command == uninstall ]] && opts=""
            if ((position == 2)); then
                COMPREPLY=($(compgen -W "$(_kettrinctl_components "$prog" "${args[1]}" "${bus[@]}")" -- "$cur"))
                return
            fi ;;
        trigger) opts="--no-wait" ;;
        info)
            if ((position == 1)); then
                COMPREPLY=($(compgen -W "$(_kettrinctl_components "$prog" "${args[0]}" "${bus[@]}")" -- "$cur"))
                return
            fi ;;
        components) opts="--client" ;;
        client-uninstalled) opts="--async" ;;
        predownload | report-install | report-uninstall) files=1 ;;
        config)
            if ((position == 0)); then
                subs="list get set unset"
            elif ((position == 1)) && [[ ${args[0]} != list ]]; then
                subs="app-path manifest-dir-url redirect-server event-server send-events
                      require-package-hash require-strong-signature trusted-keys-path
                      connection-check-server connection-check-algorithm connection-check-http
                      connection-check-timeout"
            fi ;;
        reg)
            if ((position == 0)); then
                subs="set query delete list"
            elif ((position == 1)); then
                subs="HKLM HKCU HKCR HKU HKCC"
            elif ((position == 3)) && [[ ${args[0]} == set ]]; then
                subs="sz expand_sz dword binary multi_sz"
            fi ;;
        manifest)
            if ((position == 0)); then
                subs="keygen sign verify show trust"
            else
                case ${args[0]} in
                    keygen) opts="--type"; [[ $prev == --type ]] && subs="ed25519 rsa-sha256 legacy" ;;
                    sign) opts="--key" ;;
                    verify) opts="--public-key --trusted-keys" ;;
                    show) opts="--public-key --trusted-keys --client --version --oem --lang" ;;
                    trust) opts="--trusted-keys"; ((position == 1)) && subs="list add remove" ;;
                esac
                files=1
            fi ;;
        net)
            if ((position == 0)); then
                subs="check get"
            elif [[ ${args[0]} == check ]]; then
                opts="--trace"
            else
                opts="-o"
            fi ;;
        trace)
            opts="--socket --events"
            [[ $prev == --socket ]] && files=1 ;;
        zrz)
            if ((position == 0)); then
                subs="pack list"
            elif [[ ${args[0]} == pack ]]; then
                opts="--component --version --manifest -o"
                files=1
            else
                files=1
            fi ;;
    esac

    if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "$opts $_kettrinctl_global_opts" -- "$cur"))
    elif [[ -n $subs ]]; then
        COMPREPLY=($(compgen -W "$subs" -- "$cur"))
    elif ((files)); then
        COMPREPLY=($(compgen -f -- "$cur"))
    fi
}

complete -F _kettrinctl kettrinctl

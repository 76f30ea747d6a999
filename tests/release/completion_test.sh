#!/usr/bin/env bash
# Drives the bash completion of kettrinctl as bash does: COMP_WORDS and
# COMP_CWORD set, the registered function called, COMPREPLY checked.
# usage: completion_test.sh SOURCE_DIR KETTRINCTL
source "$1/tests/support/ShellTestLib.sh"
src=$1
ctl=$2

# The completion as installed, with bash-completion's helpers when present.
if [ -f /usr/share/bash-completion/bash_completion ]; then
    # shellcheck disable=SC1091
    source /usr/share/bash-completion/bash_completion
fi
source "$src/packaging/completion/kettrinctl.bash"

check "complete -p registers the function" grep -q -- "-F _kettrinctl kettrinctl" <<<"$(complete -p kettrinctl)"

# complete LINE: candidates for the last word of LINE (a trailing blank starts
# an empty word), one a line, sorted. The program is the built kettrinctl, or
# $fake when set.
complete_line() {
    local line=$1
    read -r -a COMP_WORDS <<<"$line"
    [[ $line == *" " ]] && COMP_WORDS+=("")
    COMP_WORDS[0]=${fake:-$ctl}
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    COMP_LINE="${COMP_WORDS[*]}"
    COMP_POINT=${#COMP_LINE}
    COMPREPLY=()
    _kettrinctl kettrinctl "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD-1]}"
    printf '%s\n' "${COMPREPLY[@]}" | sort
}

expect() {
    local line=$1 want got
    want=$(printf '%s\n' $2 | sort)
    got=$(complete_line "$line")
    check "'$line' completes to: $(echo $want)${got:+}" test "$got" = "$want" || echo "   got: $(echo $got)" >&2
}

# Every command of the help is offered for an empty word, and "help".
commands=$("$ctl" --help | sed -n '/^commands:/,/^$/{s/^  \([a-z][a-z0-9-]*\) .*/\1/p}')
check "help lists commands" test -n "$commands"
expect "kettrinctl " "$commands help"
expect "kettrinctl --json " "$commands help"

expect "kettrinctl up" "update update-available update-manifests"
expect "kettrinctl --js" "--json"
expect "kettrinctl config " "list get set unset"
expect "kettrinctl config get require-" "require-package-hash require-strong-signature"
expect "kettrinctl config list " ""
expect "kettrinctl reg " "set query delete list"
expect "kettrinctl reg set HKLM\\x Name " "sz expand_sz dword binary multi_sz"
expect "kettrinctl manifest keygen --type " "ed25519 rsa-sha256 legacy"
expect "kettrinctl manifest trust " "list add remove"
expect "kettrinctl net " "check get"
expect "kettrinctl net check --t" "--trace"
expect "kettrinctl download --no-w" "--no-wait"
expect "kettrinctl trigger --no" "--no-wait --no-pager"
expect "kettrinctl client-uninstalled Player --a" "--async --address"
expect "kettrinctl zrz " "pack list"
expect "kettrinctl help conf" "config"

# Component names come from the service, asked with the manifest typed on the
# line and the bus options given there, and only when `status` says the
# service runs. A stand-in program records how it is called.
fake=$TEST_TMP/kettrinctl
cat > "$fake" <<FAKE
#!/bin/sh
echo "\$*" >> "$TEST_TMP/calls"
case "\$*" in
  *status*) [ -e "$TEST_TMP/running" ] ;;
  *components*) printf 'Mp3Decoder\nMpegSplitter\nAacDecoder\n' ;;
esac
FAKE
chmod +x "$fake"
expect "kettrinctl install Player Codecs Mp" ""
check "no component query while the service is not running" test "$(grep -c components "$TEST_TMP/calls")" = 0
touch "$TEST_TMP/running"
expect "kettrinctl --address unix:path=/x install Player Codecs Mp" "Mp3Decoder MpegSplitter"
check "the query names the manifest and the bus" grep -qx -- "--address unix:path=/x components Codecs" "$TEST_TMP/calls"
expect "kettrinctl info Codecs A" "AacDecoder"
expect "kettrinctl is-installed Player Codecs " "Mp3Decoder MpegSplitter AacDecoder"
finish

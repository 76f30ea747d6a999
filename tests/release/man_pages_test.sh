#!/usr/bin/env bash
# The man pages render, groff finds nothing to warn about, and kettrinctl(1)
# names every command of `kettrinctl --help` and every exit status the
# command sources define.
# usage: man_pages_test.sh SOURCE_DIR KETTRINCTL
source "$1/tests/support/ShellTestLib.sh"
src=$1
ctl=$2
man_dir=$src/packaging/man
command -v groff >/dev/null || skip "groff is missing"

# groff -ww -z prints a warning for a mistake; shown here on a page with one,
# so that a silent run below means something.
printf '.TH BROKEN 1\n.SH NAME\nbroken \\- a page\n.XY unknown macro\n\\fQ\n' > "$TEST_TMP/broken.1"
check "groff warns about a broken page" test -n "$(groff -ww -z -man "$TEST_TMP/broken.1" 2>&1)"

for page in Kettrin.8 Kettrinrm.8 kettrinctl.1 TI.1; do
    warnings=$(groff -ww -z -man "$man_dir/$page" 2>&1)
    check "$page: groff -ww reports nothing${warnings:+ (got: $warnings)}" test -z "$warnings"
    rendered=$(MANWIDTH=80 LC_ALL=C.UTF-8 man -l "$man_dir/$page" 2>"$TEST_TMP/man.err") || fail "$page: man -l failed"
    check "$page: man -l renders NAME and the program's name" \
        grep -q "^NAME" <<<"$rendered"
    check "$page: man -l prints no error" test ! -s "$TEST_TMP/man.err"
    name=${page%.*}
    check "$page: title line names ${name^^}" grep -q "^${name^^}(${page##*.})" <<<"$rendered"
done

# Every command in the help is a tagged item of kettrinctl(1) (rendered lines
# start with seven blanks, then the command).
rendered=$(MANWIDTH=200 LC_ALL=C.UTF-8 man -l "$man_dir/kettrinctl.1" 2>/dev/null)
commands=$("$ctl" --help | sed -n '/^commands:/,/^$/{s/^  \([a-z][a-z0-9-]*\) .*/\1/p}')
check "kettrinctl --help lists commands" test "$(wc -l <<<"$commands")" -ge 20
for command in $commands; do
    check "kettrinctl(1) describes '$command'" grep -Eq "^       $command( |$)" <<<"$rendered"
done

# Every exit status a kettrinctl source defines is an item of EXIT STATUS.
exit_section=$(sed -n '/^EXIT STATUS/,/^[A-Z]/p' <<<"$rendered")
codes=$(grep -ho 'constexpr int kExit[A-Za-z]* = [0-9]*' "$src"/src/tools/kettrinctl/*.cpp "$src"/src/tools/kettrinctl/*.h |
    awk '{print $NF}' | sort -un)
check "the sources define exit statuses (found: $(echo $codes))" test "$(wc -w <<<"$codes")" -ge 4
for code in $codes; do
    check "kettrinctl(1) EXIT STATUS lists $code" grep -Eq "^       $code( |$)" <<<"$exit_section"
done
finish

#!/bin/sh
# Makes a program's manual page from its --help and --version with Debian's
# help2man, compressed as Debian installs manual pages.
#
#   help2man.sh PAGE.gz SECTION NAME INCLUDE "SUBCOMMANDS" COMMAND...
#
# COMMAND runs the program: its path, after an emulator in a cross build.
# The page is named after the file name of COMMAND's last word. Each word of
# SUBCOMMANDS gets a subsection under SUBCOMMANDS made from
# "PROGRAM SUBCOMMAND --help". SOURCE_DATE_EPOCH, when set, dates the page.
set -eu
page=$1 section=$2 name=$3 include=$4 subcommands=$5
shift 5
for program; do :; done
program=$(basename "$program")

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# help2man runs one file and names the page after it: a wrapper of that
# name runs the command with the arguments help2man gives.
{
    echo '#!/bin/sh'
    printf 'exec'
    for word; do printf " '%s'" "$(printf '%s' "$word" | sed "s/'/'\\\\''/g")"; done
    echo ' "$@"'
} >"$tmp/$program"
chmod +x "$tmp/$program"

version=$("$tmp/$program" --version | sed -n '1s/^[^ ]* //p')
[ -n "$version" ] || { echo "help2man.sh: $program --version printed no version" >&2; exit 1; }

includes="--include=$include"
if [ -n "$subcommands" ]; then
    includes="$includes --include=$tmp/subcommands.h2m"
    echo '[SUBCOMMANDS]' >"$tmp/subcommands.h2m"
    for sub in $subcommands; do
        synopsis=$("$tmp/$program" "$sub" --help | sed -n '1s/^Usage: //p')
        [ -n "$synopsis" ] || { echo "help2man.sh: '$program $sub --help' has no usage line" >&2; exit 1; }
        printf '.SS "%s"\n' "$synopsis" >>"$tmp/subcommands.h2m"
        # Each subcommand's help as help2man formats it, without its own
        # heading and without what the page says once for all (the terminal
        # commands, the exit codes); its option and argument lists become
        # labelled paragraphs.
        help2man --no-info --version-string="$version" --name=- --help-option="$sub --help" \
                "$tmp/$program" |
            awk '
                /^\.SH DESCRIPTION$/ { body = 1; next }
                !body { next }
                /^\.S[SH] / {
                    title = $0
                    sub(/^\.S[SH] "?/, "", title)
                    sub(/"$/, "", title)
                    skip = title == "Commands:" || title == "Exit codes:"
                    if (title == "OPTIONS") title = "Options:"
                    if (!skip) printf ".PP\n.B %s\n", title
                    next
                }
                !skip { print }' >>"$tmp/subcommands.h2m"
    done
fi

# shellcheck disable=SC2086 # two options at most, no blanks in temp paths
help2man --no-info --section="$section" --name="$name" $includes \
    --output="$tmp/page" "$tmp/$program"
gzip -9n <"$tmp/page" >"$page.tmp"
mv "$page.tmp" "$page"

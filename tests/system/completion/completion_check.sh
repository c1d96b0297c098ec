#!/usr/bin/env bash
# The bash completions of Tolvar and quillan, sourced into a plain bash (without the
# bash-completion package) and asked for the words of typed command lines.
# Usage: completion_check.sh BUILD_DIR
set -uo pipefail
build=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
completions=$here/../../../packaging/bash-completion
work=$(mktemp -d /tmp/tolvar-completion.XXXXXX)
trap 'rm -rf "$work"' EXIT
failures=0

# shellcheck source=/dev/null
source "$completions/Tolvar" && source "$completions/quillan" || { echo "completion: cannot source"; exit 1; }
cd "$work" && mkdir sub && touch fw.hex fw.IHEX dump.bin notes.txt sub/inner.hex || exit 1

# The words offered for LINE (the cursor at its end; a trailing blank starts a new word), sorted.
offered() {
    local line=$1 function
    read -r -a COMP_WORDS <<<"$line"
    [ "${line: -1}" = " " ] && COMP_WORDS+=("")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    COMP_LINE=$line
    COMP_POINT=${#line}
    function=$(complete -p "${COMP_WORDS[0]}" | sed -n 's/.*-F \([^ ]*\).*/\1/p')
    COMPREPLY=()
    "$function" "${COMP_WORDS[0]}" "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
    printf '%s\n' "${COMPREPLY[@]}" | sort -u | tr '\n' ' ' | sed 's/ $//'
}

# LINE | how | WORDS: "is" the whole offer, "has" each of WORDS among it, "not" none of WORDS in it.
cases=(
  "Tolvar |has|src snk uasrc uasnk u1 u10 d s i 64k 128k FF R ES EB B V"
  "Tolvar |not|dm da ds"
  "Tolvar ua|is|uasnk uasrc"
  "Tolvar --|is|--help --list-ports --version"
  "Tolvar src |has|u1 u2 u10 d s i 64k 128k FF R ES EB"
  "Tolvar src |not|src snk uasrc uasnk dm"
  "Tolvar src u3 d|is|da dm ds"
  "Tolvar uasrc |not|u1 d uasrc"
  "Tolvar uasrc s |is|128k 64k B D E EB ES F FF N P R U V"
  "Tolvar uasrc s 64k |not|64k 128k s"
  "Tolvar uasrc FB|is|FB FBD FBE FBN FBP FBU FBV"
  "Tolvar u1 E|is|E EB ED EF EN EP ES EU EV"
  "Tolvar u1 EB|is|EB EBD EBF EBN EBP EBU EBV"
  "Tolvar u1 FBV |is|fw.IHEX fw.hex sub"
  "Tolvar u1 FBV sub/|is|sub/inner.hex"
  "Tolvar u1 FBV fw.hex |is|"
  "tolvar snk u2 i 128k BV |is|fw.IHEX fw.hex sub"
  "Tolvar src u1 R 0 |is|"
  "Tolvar src u1 R 0 64 |is|dump.bin fw.IHEX fw.hex sub"
  "Tolvar src u1 ES 0 4096 |is|"
  "Tolvar --help |is|"
  "quillan |is|--help --version crc fw-image hex image register version"
  "quillan crc |is|calculate read update validate write"
  "quillan crc validate |is|fw.IHEX fw.hex sub"
  "quillan image fw.hex |is|dump.bin fw.IHEX fw.hex notes.txt sub"
  "quillan hex dump.bin |is|fw.IHEX fw.hex sub"
  "quillan register fw.hex |is|"
)
for row in "${cases[@]}"; do
  IFS='|' read -r line how words <<<"$row"
  got=$(offered "$line")
  ok=1
  case $how in
    is) [ "$got" = "$words" ] || ok=0 ;;
    has) for word in $words; do [[ " $got " == *" $word "* ]] || ok=0; done ;;
    not) for word in $words; do [[ " $got " == *" $word "* ]] && ok=0; done ;;
  esac
  [ "$ok" = 1 ] || { echo "'$line': $how '$words', offered '$got'"; failures=$((failures + 1)); }
done

# The letters and subcommands are the programs' own: a new letter or subcommand in their help
# text must be offered too.
letters=$("$build/front/Tolvar" --help | sed -n 's/^\t\t\([A-Z]\) - .*/\1/p' | sort | tr -d '\n')
offered_letters=$(offered "Tolvar u1 " | tr ' ' '\n' | grep -x '[A-Z]' | grep -vx R | sort | tr -d '\n')
[ -n "$letters" ] && [ "$letters" = "$offered_letters" ] ||
  { echo "letters of Tolvar --help '$letters', offered '$offered_letters'"; failures=$((failures + 1)); }
subcommands=$("$build/hexlib/quillan" --help | sed -n 's/^\(Usage:\)\? *quillan \([a-z][a-z|-]*\).*/\2/p' |
  tr '|' '\n' | sort -u | tr '\n' ' ' | sed 's/ $//')
offered_subcommands=$(offered "quillan " | tr ' ' '\n' | grep -v '^--' | tr '\n' ' ' | sed 's/ $//')
[ -n "$subcommands" ] && [ "$subcommands" = "$offered_subcommands" ] ||
  { echo "subcommands of quillan --help '$subcommands', offered '$offered_subcommands'"; failures=$((failures + 1)); }

[ "$failures" -eq 0 ] && echo "completion check passed"
exit $((failures > 0))

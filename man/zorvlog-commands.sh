#!/bin/sh
# zorvlog-commands.sh ZORVLOG: the COMMANDS section of zorvlog(1), for
# help2man's --include, made from the help of every command that
# 'zorvlog --help' lists. A new command needs nothing here: its --help is its
# section of the page. Then the EXAMPLES section, in place of help2man's own
# reading of the Examples paragraph of 'zorvlog --help' (a command at an
# indent of two, what it does at six): each command in bold over its text.
#
# The help texts follow one layout, turned into roff line by line: the usage
# lines (up to the first blank line) stay as they are, their indent less the
# width of "Usage: "; "  --option VALUE  text" (or "  -o, --option VALUE  text")
# becomes a tagged paragraph; a blank line starts a paragraph (not before a
# tagged one, which starts its own); any other line is running text.
set -eu
zorvlog=$1

commands=$("$zorvlog" --help | awk '/^Commands:/ { on = 1; next } on && NF == 0 { exit } on { print $1 }')
[ -n "$commands" ] || { echo "zorvlog-commands.sh: no commands in 'zorvlog --help'" >&2; exit 1; }

echo "[COMMANDS]"
for command in $commands; do
  echo ".SS \"zorvlog $command\""
  "$zorvlog" "$command" --help | awk '
    function roff(text) {
      gsub(/\\/, "\\e", text)
      gsub(/-/, "\\-", text)
      sub(/^[.\047]/, "\\\\&&", text)
      return text
    }
    NR == 1 { sub(/^Usage: /, ""); print ".nf"; usage = 1 }
    usage && NF == 0 { print ".fi"; paragraph = 1; usage = 0; next }
    usage { sub(/^       /, ""); print roff($0); next }
    NF == 0 { paragraph = 1; next }
    # A blank line starts a paragraph, unless an option entry starts one anyway.
    { tagged = /^  +--?[A-Za-z]/ && match($0, /[^ ]  +/) }
    paragraph && !tagged { print ".PP" }
    { paragraph = 0 }
    tagged {
      tag = substr($0, 1, RSTART); text = substr($0, RSTART + RLENGTH)
      sub(/^ +/, "", tag)
      # "-n, --lines N": the letter form stays with the option.
      letter = ""
      if (tag ~ /^-[A-Za-z], /) { letter = substr(tag, 1, 4); tag = substr(tag, 5) }
      option = tag; value = ""
      if (index(tag, " ")) { option = substr(tag, 1, index(tag, " ") - 1); value = substr(tag, index(tag, " ") + 1) }
      print ".TP"
      print "\\fB" roff(letter option) "\\fR" (value == "" ? "" : " \\fI" roff(value) "\\fR")
      print roff(text)
      next
    }
    { sub(/^ +/, ""); print roff($0) }
    END { if (usage) print ".fi" }'
done

echo "[=EXAMPLES]"
"$zorvlog" --help | awk '
  function roff(text) {
    gsub(/\\/, "\\e", text)
    gsub(/-/, "\\-", text)
    return text
  }
  /^Examples:/ { on = 1; next }
  !on { next }
  NF == 0 { exit }
  /^      / { sub(/^ +/, ""); print roff($0); next }
  /^  / { sub(/^ +/, ""); print ".TP"; print "\\fB" roff($0) "\\fR"; next }'

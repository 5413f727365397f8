#!/usr/bin/env python3
"""Makes everything that describes the command line of vexodl-filehosting from cli/commands.json.

Usage: generate.py COMMANDS_JSON VERSION OUT_DIR

Writes into OUT_DIR the C++ tables of the parser and the help (commands.inc, options.inc), the
manual page (vexodl-filehosting.1 and, compressed as gzip -9n would, vexodl-filehosting.1.gz) and
the bash completion (vexodl-filehosting.bash).

The build runs this on the build machine, standard library only, so that a cross build (armhf) gets
its page and completion without running a program of the target; the tool's own --help comes from
the same tables, so it cannot say something other than the page. The roff is written here rather
than by help2man, which makes a page by running the tool.
"""

import gzip
import json
import os
import re
import sys
import textwrap

WIDTH = 96  # of the help text
COMMAND_COLUMN = 40  # where a summary starts in the help's list of commands
OPTION_COLUMN = 22  # and in its lists of options


def c_string(text):
    """A C++ string literal for `text`, one literal per line of it."""
    lines = text.splitlines(keepends=True) or [""]
    quoted = []
    for line in lines:
        body = line.replace("\\", "\\\\").replace('"', '\\"').replace("\n", "\\n")
        quoted.append('"' + body + '"')
    return "\n    ".join(quoted)


def wrap(text, indent=""):
    return textwrap.fill(text, WIDTH, initial_indent=indent, subsequent_indent=indent,
                         break_on_hyphens=False, break_long_words=False) + "\n"


def option_label(option):
    label = option["name"] + (" " + option["value"] if option.get("value") else "")
    return (option["short"] + ", " + label) if option.get("short") else label


def listing(rows, column):
    """Help lines of (label, summary): summaries start in one column; a label too long to leave
    room has its summary on the line below."""
    text = ""
    for label, summary in rows:
        line = "  " + label
        if len(line) + 2 <= column:
            line += " " * (column - len(line))
        else:
            line += "\n" + " " * column
        text += line + summary + "\n"
    return text


def usage(table, command):
    synopsis = command["synopsis"].replace("--type T", "--type vexo|pyload")
    head = "usage: " + table["program"] + " "
    return textwrap.fill(synopsis, WIDTH, initial_indent=head,
                         subsequent_indent=" " * len(head), break_on_hyphens=False,
                         break_long_words=False) + "\n"


def general_help(table):
    options = table["options"]
    text = "usage: " + table["program"] + " " + table["usage"] + "\n"
    text += "".join(wrap(paragraph) for paragraph in table["description"])
    text += "\ncommands (T, " + table["type_placeholder"] + "):\n"
    text += listing(((c["synopsis"], c["summary"]) for c in table["commands"]), COMMAND_COLUMN)
    text += "\noptions:\n" + listing(((option_label(o), o["summary"]) for o in options), OPTION_COLUMN)
    for paragraph in table["notes"]:
        text += "\n" + wrap(paragraph)
    statuses = "; ".join(code + " " + meaning for code, meaning in table["exit_status"])
    return text + "\n" + wrap("exit status: " + statuses + ".")


def command_help(table, command):
    by_name = {o["name"]: o for o in table["options"]}
    text = usage(table, command) + wrap(command["text"])
    if command["options"]:
        text += "\noptions:\n" + listing(
            ((option_label(by_name[name]), by_name[name]["summary"]) for name in command["options"]),
            OPTION_COLUMN)
    return text


def cpp_tables(table):
    bits = {o["name"]: o["bit"] for o in table["options"]}
    commands = ""
    for c in table["commands"]:
        operand = '"' + c["operand"] + '"' if c["operand"] else "nullptr"
        options = " | ".join(bits[name] for name in c["options"]) or "0"
        commands += "    {%s, %s, %s, %s,\n     %s,\n     %s},\n" % (
            c_string(c["name"]), operand, options, "true" if c["type_required"] else "false",
            c_string(command_help(table, c)).replace("\n    ", "\n     "), c["run"])
    head = "// Made by cli/generate.py from cli/commands.json: change those instead.\n"
    commands_inc = (head + "constexpr Command kCommands[] = {\n" + commands + "};\n\n"
                    "constexpr char kGeneralHelp[] =\n    " + c_string(general_help(table)) + ";\n")
    options = ""
    for o in table["options"]:
        short = '"' + o["short"] + '"' if o.get("short") else "nullptr"
        value = '"' + o["value"] + '"' if o.get("value") else "nullptr"
        options += '    {"%s", %s, %s, %s},\n' % (o["name"], short, value, o["bit"])
    globals_ = " | ".join(o["bit"] for o in table["options"] if o.get("global"))
    options_inc = (head + "constexpr Option kOptions[] = {\n" + options + "};\n\n"
                   "// Every command takes these.\n"
                   "constexpr unsigned kGlobalOptions = " + globals_ + ";\n")
    return commands_inc, options_inc


def roff_text(text):
    """`text` for a roff text line: backslashes escaped, dashes that start a word (options) made
    minus signs, and a leading '.' or '\\'' kept from being read as a request."""
    text = re.sub(r"(?<![\w])-", r"\\-", text.replace("\\", "\\e"))
    return "\\&" + text if text[:1] in (".", "'") else text


def roff_synopsis(synopsis):
    """A synopsis in the fonts of a manual page: literal words bold, placeholders (capitals)
    italic, brackets and bars roman."""
    out = ""
    for token in re.findall(r"[\[\]|]|\s+|[^\s\[\]|]+", synopsis):
        if token.isspace() or token in "[]|":
            out += token
        elif token.isupper():
            out += "\\fI" + roff_text(token) + "\\fR"
        else:
            out += "\\fB" + roff_text(token) + "\\fR"
    return out


def tagged(tag, *paragraphs):
    body = "\n.br\n".join(roff_text(p) for p in paragraphs)
    return ".TP\n" + tag + "\n" + body + "\n"


def manual_page(table, version):
    program = roff_text(table["program"])
    page = ['.\\" Made by cli/generate.py from cli/commands.json: change those instead.',
            '.TH %s 1 "" "%s %s" "User Commands"' % (program.upper(), program, version),
            # Neither hyphenated nor justified: option names are typed as they are shown.
            ".nh", ".ad l",
            ".SH NAME", program + " \\- " + roff_text(table["purpose"]),
            ".SH SYNOPSIS"]
    for c in table["commands"]:
        page += [".B " + program, "[\\fB\\-\\-quiet\\fR|\\fB\\-\\-verbose\\fR]",
                 roff_synopsis(c["synopsis"]), ".br"]
    page += [".B " + program, "[\\fICOMMAND\\fR] \\fB\\-\\-help\\fR", ".br",
             ".B " + program, "\\fB\\-\\-version\\fR", ".SH DESCRIPTION"]
    page += [roff_text(p) + "\n.PP" for p in table["description"]]
    page += [roff_text(p) + "\n.PP" for p in table["notes"]]
    page[-1] = page[-1][: -len("\n.PP")]
    page.append(".SH COMMANDS\n\\fIT\\fR stands for " + roff_text(table["type_placeholder"]) + ".")
    page += [tagged(roff_synopsis(c["synopsis"]), c["summary"], c["text"]).rstrip("\n")
             for c in table["commands"]]
    page.append(".SH OPTIONS")
    page += [tagged(roff_synopsis(option_label(o)), o["summary"]).rstrip("\n")
             for o in table["options"]]
    page.append(".SH \"EXIT STATUS\"")
    page += [tagged(".B " + code, meaning).rstrip("\n") for code, meaning in table["exit_status"]]
    page.append(".SH ENVIRONMENT")
    page += [tagged(".B " + name, meaning).rstrip("\n") for name, meaning in table["environment"]]
    page.append(".SH FILES")
    page += [tagged(".I " + roff_text(path), meaning).rstrip("\n")
             for path, meaning in table["files"]]
    page.append(".SH EXAMPLES")
    for i, (what, lines) in enumerate(table["examples"]):
        page += ([".PP"] if i else []) + [roff_text(what), ".PP", ".RS", ".nf"]
        page += [roff_text("$ " + line) for line in lines] + [".fi", ".RE"]
    page.append(".SH \"SEE ALSO\"")
    page.append(",\n".join(".BR %s (%s)" % (name, section) for name, section in table["see_also"]))
    return "\n".join(page) + "\n"


def completion(table):
    program = table["program"]
    function = "_" + re.sub(r"\W", "_", program)
    valued = [o for o in table["options"] if o.get("value")]
    global_options = shell_words(o["name"] for o in table["options"] if o.get("global"))
    per_command = ""
    for c in table["commands"]:
        # A NAME without --type is a native plug-in that the user installed (update, delete): the
        # only ones such a command can act on are offered.
        native_only = c["operand"] == "NAME" and not c["type_required"]
        per_command += "    %s) options=(%s) kind=%s%s ;;\n" % (
            c["name"], shell_words(c["options"]), c["operand"] or "''",
            " type=vexo removable=true" if native_only else "")
    value_skips = "|".join(o["name"] for o in valued if o["name"] != "--type")
    value_words = "".join(
        "    %s) %s_offer \"$cur\" %s; COMPREPLY=(\"${COMPREPLY[@]/#/$prefix}\"); return ;;\n"
        % (o["name"], function, shell_words(o["choices"]))
        if o.get("choices") else "    %s) return ;;\n" % o["name"] for o in valued)
    return f"""# bash completion for {program}; made by cli/generate.py from cli/commands.json.

# The names of the hosts that `{program} list --json` shows, of type $1 when it is
# given, and only the removable ones (those the user installed) when $2 is "true", one a line. A
# name that the tool had to escape, or that holds a control character, is left out: no shell word
# could carry it. awk reads the tool's indented JSON of flat objects, one member a line, because
# jq is not on every system that has bash.
{function}_hosts() {{
  {program} --quiet list --json 2>/dev/null | awk -v want="$1" -v removable="$2" '
    match($0, /^ *"(name|type)" : "[^"\\\\[:cntrl:]]*"/) {{
      split(substr($0, RSTART, RLENGTH), field, "\\""); host[field[2]] = field[4]; next
    }}
    /^ *"removable" : true,?$/ {{ host["removable"] = "true" }}
    /^ *}}/ {{ if (host["name"] != "" && (want == "" || host["type"] == want) &&
                 (removable == "" || host["removable"] == removable)) print host["name"]
             delete host }}'
}}

# Offers each word after $1 whose quoted form (printf %q) starts with $1, the word being completed
# as typed. Host names come from pyLoad and the plug-ins, so they are data: never a word of
# compgen -W or eval, which expand $(...) and backticks. Bash puts COMPREPLY on the line as it is,
# so each name is offered whole and quoted: the line then holds the name itself, spaces and quotes
# included, and pressing Enter runs nothing of it either.
{function}_offer() {{
  local typed=$1 word
  shift
  for word; do
    printf -v word %q "$word"
    if [[ $word == "$typed"* ]]; then COMPREPLY+=("$word"); fi
  done
}}

{function}() {{
  local cur=${{COMP_WORDS[COMP_CWORD]}} prev=${{COMP_WORDS[COMP_CWORD - 1]}} prefix='' value=false
  local command='' operand='' type='' kind='' removable='' i options=() names=()
  COMPREPLY=()
  # --type=VALUE: bash splits the word at "=", one of COMP_WORDBREAKS, into "--type", "=" and
  # VALUE, and puts what is offered in place of VALUE alone; where "=" breaks no word, the whole
  # word is replaced, so what is offered keeps its "--type=".
  if [[ $cur == = && $prev == --* ]]; then
    cur='' value=true
  elif [[ $prev == = && ${{COMP_WORDS[COMP_CWORD - 2]}} == --* ]]; then
    prev=${{COMP_WORDS[COMP_CWORD - 2]}} value=true
  elif [[ $cur == --*=* ]]; then
    prev=${{cur%%=*}} prefix=${{cur%%=*}}= cur=${{cur#*=}} value=true
  fi
  for ((i = 1; i < COMP_CWORD; i++)); do
    case ${{COMP_WORDS[i]}} in
      --type=*) type=${{COMP_WORDS[i]#*=}} ;;
      --type)
        if [[ ${{COMP_WORDS[i + 1]}} == = ]]; then ((i++)); fi
        type=${{COMP_WORDS[i + 1]}}; ((i++)) ;;
      {value_skips})
        if [[ ${{COMP_WORDS[i + 1]}} == = ]]; then ((i++)); fi
        ((i++)) ;;
      -*) ;;
      *) if [[ -z $command ]]; then command=${{COMP_WORDS[i]}}; else operand=${{COMP_WORDS[i]}}; fi ;;
    esac
  done
  case $prev in
{value_words}  esac
  # The value of an option that takes none: nothing to offer.
  if $value; then return; fi
  case $command in
{per_command}  esac
  if [[ $cur == -* ]]; then
    {function}_offer "$cur" "${{options[@]}}" {global_options}
  elif [[ -z $command ]]; then
    {function}_offer "$cur" {shell_words(c["name"] for c in table["commands"])}
  elif [[ -z $operand && $kind == NAME ]]; then
    mapfile -t names < <({function}_hosts "$type" "$removable")
    {function}_offer "$cur" "${{names[@]}}"
  elif [[ -z $operand && $kind == SOURCE ]]; then
    mapfile -t COMPREPLY < <(compgen -f -- "$cur")
  fi
}}
complete -F {function} {program}
"""


def shell_word(text):
    """`text` as one shell word: as it is when nothing in it is special to the shell."""
    if re.fullmatch(r"[\w.,:+/-]+", text, re.ASCII):
        return text
    return "'" + text.replace("'", "'\\''") + "'"


def shell_words(texts):
    return " ".join(shell_word(text) for text in texts)


def write(path, data):
    # Written beside and renamed, so that an interrupted build leaves no half file behind.
    mode = "wb" if isinstance(data, bytes) else "w"
    with open(path + ".tmp", mode) as out:
        out.write(data)
    os.replace(path + ".tmp", path)


def main(argv):
    if len(argv) != 4:
        sys.exit("usage: generate.py COMMANDS_JSON VERSION OUT_DIR")
    with open(argv[1], encoding="utf-8") as source:
        table = json.load(source)
    out = argv[3]
    commands_inc, options_inc = cpp_tables(table)
    page = manual_page(table, argv[2])
    write(os.path.join(out, "commands.inc"), commands_inc)
    write(os.path.join(out, "options.inc"), options_inc)
    write(os.path.join(out, table["program"] + ".1"), page)
    # As gzip -9n: no name and no time stamp in the header, so the package is reproducible.
    write(os.path.join(out, table["program"] + ".1.gz"),
          gzip.compress(page.encode("utf-8"), compresslevel=9, mtime=0))
    write(os.path.join(out, table["program"] + ".bash"), completion(table))


if __name__ == "__main__":
    main(sys.argv)

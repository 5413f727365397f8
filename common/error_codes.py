#!/usr/bin/env python3
"""Makes everything that lists error codes from common/error_codes.json.

Usage: error_codes.py ERROR_CODES_JSON vexohost|pyload OUT_FILE   a back-end's enumeration
       error_codes.py ERROR_CODES_JSON cli OUT_FILE               the tool's meanings
       error_codes.py ERROR_CODES_JSON docs SOURCE_DIR [--check]  the documents' code tables

error_codes.json lists every code once: the library's own (those of error/vexo_error.h), each
back-end's with the range it keeps and the narrower ranges inside it. A row has the code's meaning
(what the tool says of a code that came without a message), its wording in README.md's tables
("readme": true when that is the meaning) and, for a back-end's code, its enumerator's name and the
cells of its row in the back-end's document.

The build runs this on the build machine: each back-end's enumeration (ErrorCode in the back-end's
namespace) goes into that back-end's build folder as error_codes.h, the tool's rows (C++, for
cli/code_meanings.h) into the tool's as code_meanings.inc. error/vexo_error.h stays written by
hand; the tool's rows hold it against error_codes.json at compile time.

"docs" rewrites the code tables (the markdown tables whose first column is "code") of README.md
and the back-ends' documents under SOURCE_DIR in place. With --check it changes nothing: it prints
how each table differs from what it would write and exits 1 when one does.

Standard library only, like cli/generate.py.
"""

import difflib
import json
import os
import sys
import textwrap

HEAD = "// Made by common/error_codes.py from common/error_codes.json: change those instead.\n"


def load(path):
    """The table of error_codes.json, refused when a row lacks what the build or a document
    needs, a code or name comes twice, or a row lies outside its back-end's range (a code of the
    library's inside one)."""
    with open(path, encoding="utf-8") as source:
        table = json.load(source)
    rows = [(row, ("name", "meaning", "readme")) for row in table["library"]]
    rows += [(row, ("name", "meaning", "doc") if "code" in row else ("meaning", "readme"))
             for b in table["backends"] for row in b["codes"]]
    codes, names = set(), set()
    for row, keys in rows:
        if any(key not in row for key in keys):
            sys.exit("%s: every row %s needs %s" % (path, label(row), ", ".join(keys)))
        if "code" in row and (row["code"] in codes or row["name"] in names):
            sys.exit("%s: %s (%d) comes twice" % (path, row["name"], row["code"]))
        codes.add(row.get("code"))
        names.add(row.get("name"))
    for backend in table["backends"]:
        first, last = backend["range"]
        if any(not first <= low <= high <= last for low, high in map(span, backend["codes"])):
            sys.exit("%s: %s has a row outside %d-%d" % (path, backend["name"], first, last))
        if any(first <= row["code"] <= last for row in table["library"]):
            sys.exit("%s: a code of the library lies in %s's range" % (path, backend["name"]))
    return table


def span(row):
    """The first and last code of a row."""
    return (row["code"], row["code"]) if "code" in row else tuple(row["range"])


def label(row):
    """The first cell of a row: "2001", or "2300-2499" for a range."""
    return str(row["code"]) if "code" in row else "%d-%d" % span(row)


def comment(text):
    return textwrap.fill(text, 100, initial_indent="// ", subsequent_indent="// ") + "\n"


def enumeration(table, name):
    """The header of back-end `name`'s enumeration ErrorCode."""
    backend = next((b for b in table["backends"] if b["name"] == name), None)
    if backend is None:
        sys.exit("error_codes.json has no back-end " + name)
    enumerators = "".join("  %s = %d,  // %s\n" % (row["name"], row["code"], row["meaning"])
                          for row in backend["codes"] if "code" in row)
    return (HEAD + "#pragma once\n\nnamespace %s {\n\n" % backend["namespace"]
            + comment("ErrorCode: this back-end's codes, all in %d-%d. %s"
                      % (*backend["range"], backend["note"]))
            + "enum ErrorCode : int {\n" + enumerators + "};\n\n"
            + "}  // namespace %s\n" % backend["namespace"])


def meanings(table):
    """The tool's rows of CodeMeaning (cli/code_meanings.h): every code, then the ranges inside a
    back-end's, then each back-end's range, so that the first row that holds a code has the
    meaning closest to it; and error/vexo_error.h held against the library's codes."""
    library = table["library"]
    rows = library + [row for b in table["backends"] for row in b["codes"]]
    rows = [row for row in rows if "code" in row] + [row for row in rows if "range" in row]
    rows += table["backends"]
    text = HEAD + "\ninline constexpr CodeMeaning kCodeMeanings[] = {\n"
    text += "".join("    {%d, %d, %s},\n" % (*span(row), c_string(row["meaning"])) for row in rows)
    text += "};\n\n" + comment("error/vexo_error.h is written by hand. A value there other than "
                               "error_codes.json's fails an assertion; a code there that "
                               "error_codes.json lacks is a case missing from this switch "
                               "(-Wswitch).")
    text += "constexpr bool IsInErrorCodesJson(_tag_VEXODL_ERROR_CODE code) {\n  switch (code) {\n"
    text += "".join("    case %s:\n" % row["name"] for row in library)
    text += "      return true;\n  }\n  return false;\n}\n"
    return text + "".join('static_assert(%s == %d, "common/error_codes.json has %s = %d");\n'
                          % ((row["name"], row["code"]) * 2) for row in library)


def c_string(text):
    """A C++ string literal for one line of text: JSON's escapes are C++'s too."""
    return json.dumps(text, ensure_ascii=False)


def readme_text(row):
    return row["meaning"] if row["readme"] is True else row["readme"]


def markdown(columns, rows):
    lines = ["| code | " + " | ".join(columns) + " |", "| --- |" + " --- |" * len(columns)]
    lines += ["| " + " | ".join([code] + cells) + " |" for code, cells in rows]
    return "".join(line + "\n" for line in lines)


def document_tables(table):
    """{document: its code tables, in order}: README.md has the library's codes with each
    back-end's range, then the back-ends' codes that it names; each back-end's document has all
    of that back-end's codes."""
    backends = table["backends"]
    library = [(str(row["code"]), [readme_text(row)]) for row in table["library"]]
    library += [(label(b), [readme_text(b)]) for b in backends]
    named = [(label(row), [readme_text(row)])
             for b in backends for row in b["codes"] if "readme" in row]
    documents = {"README.md": [markdown(["meaning"], library), markdown(["meaning"], named)]}
    for b in backends:
        rows = [(label(row), [row["doc"]] if isinstance(row["doc"], str) else row["doc"])
                for row in b["codes"] if "code" in row]
        if any(len(cells) != len(b["columns"]) for _, cells in rows):
            sys.exit("%s: a code's document cells do not match its columns" % b["name"])
        documents[b["document"]] = [markdown(b["columns"], rows)]
    return documents


def with_tables(path, text, tables):
    """`text` with its code tables replaced by `tables`, one for one."""
    lines = text.splitlines(keepends=True)
    out, found, i = [], 0, 0
    while i < len(lines):
        if not lines[i].startswith("| code |"):
            out.append(lines[i])
            i += 1
            continue
        out.append(tables[found] if found < len(tables) else "")
        found += 1
        i += 1
        while i < len(lines) and lines[i].startswith("|"):
            i += 1
    if found != len(tables):
        sys.exit("%s has %d code tables, error_codes.json makes %d" % (path, found, len(tables)))
    return "".join(out)


def documents(table, source_dir, check):
    differ = False
    for name, tables in document_tables(table).items():
        path = os.path.join(source_dir, name)
        with open(path, encoding="utf-8") as document:
            old = document.read()
        new = with_tables(name, old, tables)
        if new == old:
            continue
        differ = True
        if check:
            sys.stdout.writelines(difflib.unified_diff(old.splitlines(keepends=True),
                                                       new.splitlines(keepends=True),
                                                       name, name + " (made)"))
        else:
            with open(path, "w", encoding="utf-8") as document:
                document.write(new)
            print("rewrote the code tables of " + name)
    if check and differ:
        sys.exit("the code tables differ from common/error_codes.json: run "
                 "common/error_codes.py common/error_codes.json docs . to rewrite them")


def main(argv):
    if len(argv) == 4 and argv[2] != "docs":
        table = load(argv[1])
        text = meanings(table) if argv[2] == "cli" else enumeration(table, argv[2])
        with open(argv[3], "w", encoding="utf-8") as out:
            out.write(text)
    elif argv[2:3] == ["docs"] and argv[4:] in ([], ["--check"]) and len(argv) > 3:
        documents(load(argv[1]), argv[3], argv[4:] == ["--check"])
    else:
        sys.exit(__doc__.split("\n\n")[1])


if __name__ == "__main__":
    main(sys.argv)

# SPDX-License-Identifier: GPL-2.0-or-later
"""Checks of the manual pages, and the example host of wsbridge(3).

  man_pages.py check CLI HEADER PAGE1 PAGE3
      - both pages format without a warning (groff -man -ww, and man -l at
        several widths when man is installed);
      - wsbridge(1) describes every verb that `CLI --help` lists, and for each
        verb exactly the options that `CLI VERB --help` prints: an option of
        the help text is described under the verb or under OPTIONS, and an
        option described under a verb is one that verb's help prints;
        OPTIONS describes only options some help text prints;
      - wsbridge(3) names every function and every WSB_E_ error code that
        HEADER declares.
  man_pages.py example PAGE3
      prints the C program of the EXAMPLES section of wsbridge(3).

The options of a help text are the words that start with - or --, but not
those of another program quoted in it ("as tshark -T fields -E occurrence=f
prints it"). The options of a page are those of the tags of its .TP/.TQ
items. Neither side depends on how the command stores its options.
"""

import os
import re
import shutil
import subprocess
import sys

# Programs whose options a help text may quote.
OTHER_PROGRAMS = {"tshark", "editcap", "mergecap", "capinfos", "text2pcap"}
OPTION = re.compile(r"^[\[\(\"'`]*(--?[A-Za-z][A-Za-z0-9-]*)")
ROFF_ESCAPES = [("\\-", "-"), ("\\e", "\\"), ("\\&", ""), ("\\(aq", "'"), ("\\(dq", '"'),
                ("\\(->", "->"), ("\\(em", "--")]

failures = []


def fail(message):
    failures.append(message)


def unroff(line):
    """A roff text or macro line as plain text: no macro name, no font
    escapes, no quotes around macro arguments."""
    if line.startswith("."):
        line = re.sub(r"^\.[A-Za-z]+\s*", "", line).replace('"', " ")
    line = re.sub(r"\\f(\[[^\]]*\]|\(..|.)", "", line)
    for escape, text in ROFF_ESCAPES:
        line = line.replace(escape, text)
    return line


def help_options(text):
    words = text.split()
    quoted = set()
    for index, word in enumerate(words):
        if word.strip(".,;:()'\"`[]") not in OTHER_PROGRAMS:
            continue
        position = index + 1
        while position < len(words) and OPTION.match(words[position]):
            quoted.add(position)
            position += 1
            # The option's argument, when it has one.
            if position < len(words) and not words[position].startswith("-"):
                position += 1
    options = set()
    for index, word in enumerate(words):
        match = OPTION.match(word)
        if match and index not in quoted:
            options.add(match.group(1))
    return options


def page_sections(path):
    """{(section, subsection): set of options of the item tags} and the
    subsection names per section."""
    options = {}
    subsections = {}
    section = subsection = ""
    tag_next = False
    with open(path, encoding="utf-8") as page:
        for line in page:
            line = line.rstrip("\n")
            if line.startswith(".SH"):
                section = unroff(line).strip()
                subsection = ""
                subsections.setdefault(section, [])
                continue
            if line.startswith(".SS"):
                subsection = unroff(line).strip()
                subsections.setdefault(section, []).append(subsection)
                continue
            if line.startswith((".TP", ".TQ")):
                tag_next = True
                continue
            if tag_next and not line.startswith(".\\\""):
                tag_next = False
                found = options.setdefault((section, subsection), set())
                for word in unroff(line).split():
                    match = OPTION.match(word)
                    if match:
                        found.add(match.group(1))
    return options, subsections


def run_help(cli, *arguments):
    result = subprocess.run([cli, *arguments], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            universal_newlines=True)
    if result.returncode != 0 or not result.stdout.strip():
        fail("%s %s exits with %d and prints %r" % (cli, " ".join(arguments), result.returncode,
                                                    result.stdout + result.stderr))
    return result.stdout


def check_formatting(path):
    result = subprocess.run(["groff", "-man", "-Tutf8", "-ww", "-z", path],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True)
    if result.returncode != 0 or result.stderr:
        fail("groff -man -ww %s: %s" % (path, result.stderr.strip() or result.returncode))
    if shutil.which("man"):
        for width in ("60", "80", "132"):
            environment = dict(os.environ, MANWIDTH=width, MAN_KEEP_FORMATTING="0")
            result = subprocess.run(["man", "-l", path], stdout=subprocess.PIPE,
                                    stderr=subprocess.PIPE, universal_newlines=True,
                                    env=environment)
            if result.returncode != 0 or result.stderr or not result.stdout.strip():
                fail("man -l %s at width %s: %s" % (path, width,
                                                     result.stderr.strip() or result.returncode))


def check_command_page(cli, path):
    options, subsections = page_sections(path)
    top = run_help(cli, "--help")
    verbs = []
    for line in top.splitlines():
        match = re.match(r"^\s*wsbridge ([a-z]+)\b", line)
        if match and match.group(1) not in verbs:
            verbs.append(match.group(1))
    if not verbs:
        fail("%s --help lists no verb" % cli)
    page_verbs = subsections.get("VERBS", [])
    for verb in verbs:
        if verb not in page_verbs:
            fail("wsbridge(1) has no subsection for the verb %s under VERBS" % verb)
    for verb in page_verbs:
        if verb not in verbs:
            fail("wsbridge(1) describes a verb %s that %s --help does not list" % (verb, cli))

    general = set()
    for (section, _), found in options.items():
        if section == "OPTIONS":
            general |= found
    printed = help_options(top)
    described = set(general)
    for verb in verbs:
        verb_options = help_options(run_help(cli, verb, "--help"))
        page_options = options.get(("VERBS", verb), set())
        printed |= verb_options
        described |= page_options
        for option in sorted(verb_options - page_options - general):
            fail("wsbridge %s --help prints %s, which wsbridge(1) describes neither under %s "
                 "nor under OPTIONS" % (verb, option, verb))
        for option in sorted(page_options - verb_options):
            fail("wsbridge(1) describes %s under %s, which wsbridge %s --help does not print"
                 % (option, verb, verb))
    for option in sorted(help_options(top) - described):
        fail("wsbridge --help prints %s, which wsbridge(1) does not describe" % option)
    for option in sorted(general - printed):
        fail("wsbridge(1) describes %s under OPTIONS, which no help text prints" % option)
    return printed


def check_library_page(header, path):
    with open(header, encoding="utf-8") as text:
        declarations = text.read()
    functions = set(re.findall(r"WSBRIDGE_API\s[^;{]*?\b(g[A-Z]\w*)\s*\(", declarations))
    codes = set(re.findall(r"\b(WSB_E_[A-Z0-9_]+)\s*=", declarations))
    if not functions:
        fail("%s declares no function" % header)
    with open(path, encoding="utf-8") as page:
        named = set(re.findall(r"\b(g[A-Z]\w*|WSB_\w+)\b", unroff(page.read())))
    for name in sorted((functions | codes) - named):
        fail("wsbridge(3) does not name %s, which %s declares" % (name, header))
    return len(functions), len(codes)


def example(path):
    """The first .EX block of the EXAMPLES section, as plain text."""
    lines = []
    section = ""
    inside = False
    with open(path, encoding="utf-8") as page:
        for line in page:
            line = line.rstrip("\n")
            if line.startswith(".SH"):
                section = unroff(line).strip()
            elif section == "EXAMPLES" and line.startswith(".EX"):
                inside = True
            elif inside and line.startswith(".EE"):
                return "\n".join(lines) + "\n"
            elif inside:
                lines.append(unroff(line))
    return ""


def main(arguments):
    if len(arguments) == 5 and arguments[0] == "check":
        cli, header, page1, page3 = arguments[1:]
        for page in (page1, page3):
            check_formatting(page)
        options = check_command_page(cli, page1)
        functions, codes = check_library_page(header, page3)
        if failures:
            print("\n".join(failures))
            return 1
        print("wsbridge(1) describes the %d options of the help texts; wsbridge(3) names %d "
              "functions and %d error codes" % (len(options), functions, codes))
        return 0
    if len(arguments) == 2 and arguments[0] == "example":
        text = example(arguments[1])
        if not text:
            print("no example in %s" % arguments[1], file=sys.stderr)
            return 1
        sys.stdout.write(text)
        return 0
    sys.stderr.write(__doc__)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

#!/usr/bin/env python3
"""Checks OPERATIONS.md's catalogue of log lines against the product sources.

    check-log-catalogue.py [--guide FILE] SOURCE_ROOT

Fails (exit 1, one line per problem) when the product can write a text that
the catalogue does not show, or when the catalogue shows a line that the
product can no longer build.

What counts as a log text, in the product folders (plugin, relay, transport,
log, params; every .cpp and .h below them):
  - every string literal inside the arguments of a call of Log, or of a log
    helper: a function whose own parameter reaches the arguments of a Log
    call or of another helper's call (LogDropped, a catch helper taking the
    line's prefix, ...). Literals in a lambda body passed along are not;
  - every string literal of a throw expression outside log/ (every failure
    ends as a line after an "EXCEPTION: " or "fail: " prefix; failures
    inside the log never become lines);
  - every string literal holding a byte above 127: the transport client's
    Russian messages, written in code page 1251.
A literal is matched after adjacent literals are joined, its escapes decoded
and its bytes read as code page 1251; printf conversions (%s, %d) split it.
Each piece that holds a letter must occur in some catalogue entry, where an
entry's <message> may stand for any other entry (a prefix and the message
that follows it may be one literal).

The catalogue: the part of the guide between the lines <!-- log-catalogue -->
and <!-- /log-catalogue -->. Each table row there whose first cell is one
code span is an entry: the line's text (without the time stamp), in UTF-8,
with <...> for a part that varies (a number, a parameter list, a message).
Numbers in an entry vary too. Each fixed part of an entry must be made of
the product's string literals (those of platform/ included, whose failure
texts reach lines): a piece of one literal, or the end of one literal, whole
literals, and the start of another, in that order.
"""
import argparse
import pathlib
import re
import sys

PRODUCT_FOLDERS = ("plugin", "relay", "transport", "log", "params")
MESSAGE_FOLDERS = PRODUCT_FOLDERS + ("platform",)
NO_LINE_FROM_THROWS = ("log",)
LOG_CALL = "Log"
BEGIN_MARK = "<!-- log-catalogue -->"
END_MARK = "<!-- /log-catalogue -->"
MESSAGE = "<message>"
KEYWORDS = {"if", "for", "while", "switch", "catch", "return", "sizeof", "alignof", "decltype",
            "static_assert", "noexcept", "throw", "new", "delete", "operator", "defined"}
QUALIFIERS = {"const", "noexcept", "override", "final", "volatile", "&", "&&", "mutable"}


# ------------------------------------------------------------------ tokens

class Token:
    __slots__ = ("kind", "text", "value", "line")

    def __init__(self, kind, text, line, value=None):
        self.kind, self.text, self.line, self.value = kind, text, line, value


SIMPLE_ESCAPES = {"n": 10, "r": 13, "t": 9, "a": 7, "b": 8, "f": 12, "v": 11,
                  "\\": 92, "'": 39, '"': 34, "?": 63}


def decode_literal(body):
    """The bytes of a narrow string literal's body (escapes as C++ reads them)."""
    out = bytearray()
    i = 0
    while i < len(body):
        c = body[i]
        if c != "\\":
            out += c.encode("utf-8")
            i += 1
            continue
        e = body[i + 1]
        if e in SIMPLE_ESCAPES:
            out.append(SIMPLE_ESCAPES[e])
            i += 2
        elif e == "x":
            j = i + 2
            while j < len(body) and body[j] in "0123456789abcdefABCDEF":
                j += 1
            out.append(int(body[i + 2:j], 16) & 0xFF)
            i = j
        elif e in "01234567":
            j = i + 1
            while j < len(body) and j < i + 4 and body[j] in "01234567":
                j += 1
            out.append(int(body[i + 1:j], 8) & 0xFF)
            i = j
        elif e in "uU":
            width = 4 if e == "u" else 8
            out += chr(int(body[i + 2:i + 2 + width], 16)).encode("utf-8")
            i += 2 + width
        else:
            out += e.encode("utf-8")
            i += 2
    return bytes(out)


TOKEN = re.compile(r"""
    (?P<space>\s+)
  | (?P<comment>//[^\n]*|/\*.*?\*/)
  | (?P<raw>(?:u8|[uUL])?R"(?P<delim>[^()\\\s]{0,16})\((?P<rawbody>.*?)\)(?P=delim)")
  | (?P<string>(?:u8|[uUL])?"(?P<body>(?:[^"\\\n]|\\.)*)")
  | (?P<char>(?:u8|[uUL])?'(?:[^'\\\n]|\\.)*')
  | (?P<id>[A-Za-z_]\w*)
  | (?P<number>\.?\d(?:[\w.']|[eEpP][+-])*)
  | (?P<punct>::|->|&&|\|\||<<=?|>>=?|[-+*/%&|^!=<>]=|\+\+|--|.)
""", re.S | re.X)


def tokenize(text):
    """Tokens of a C++ source: comments and preprocessor lines dropped,
    adjacent string literals joined into one 'str' token holding bytes."""
    # Preprocessor lines (with their continuations) carry no log text.
    text = re.sub(r"(?m)^[ \t]*#(?:[^\n]*\\\n)*[^\n]*", lambda m: "\n" * m.group(0).count("\n"),
                  text)
    tokens = []
    line = 1
    for m in TOKEN.finditer(text):
        kind = m.lastgroup
        if kind in ("body", "delim", "rawbody"):
            kind = "raw" if m.group("raw") else "string"
        start_line = line
        line += m.group(0).count("\n")
        if kind in ("space", "comment"):
            continue
        if kind in ("string", "raw"):
            value = (m.group("rawbody").encode("utf-8") if kind == "raw"
                     else decode_literal(m.group("body")))
            if tokens and tokens[-1].kind == "str":
                tokens[-1].value += value
                tokens[-1].text += m.group(0)
            else:
                tokens.append(Token("str", m.group(0), start_line, value))
            continue
        tokens.append(Token(kind, m.group(0), start_line))
    return tokens


def closing(tokens, start, opener, closer):
    """Index of the token closing the one at start (which is opener)."""
    depth = 0
    for i in range(start, len(tokens)):
        if tokens[i].text == opener:
            depth += 1
        elif tokens[i].text == closer:
            depth -= 1
            if depth == 0:
                return i
    return len(tokens) - 1


def literals_in(tokens, first, last):
    """String tokens between first and last, leaving out brace blocks (the
    bodies of lambdas handed to a helper)."""
    found = []
    i = first
    while i <= last:
        token = tokens[i]
        if token.text == "{":
            i = closing(tokens, i, "{", "}") + 1
            continue
        if token.kind == "str":
            found.append(token)
        i += 1
    return found


# --------------------------------------------------------------- functions

class Call:
    __slots__ = ("name", "open", "close")

    def __init__(self, name, open_, close):
        self.name, self.open, self.close = name, open_, close


def calls(tokens):
    for i in range(len(tokens) - 1):
        if tokens[i].kind == "id" and tokens[i + 1].text == "(" and tokens[i].text not in KEYWORDS:
            yield Call(tokens[i].text, i + 1, closing(tokens, i + 1, "(", ")"))


def body_of(tokens, call):
    """(first, last) token of the function body when the call is a function
    definition's head, else None."""
    i = call.close + 1
    while i < len(tokens):
        text = tokens[i].text
        if text == "{":
            return i, closing(tokens, i, "{", "}")
        if text in QUALIFIERS:
            i += 1
            if text == "noexcept" and i < len(tokens) and tokens[i].text == "(":
                i = closing(tokens, i, "(", ")") + 1
            continue
        if text == "->":  # trailing return type
            i += 1
            while i < len(tokens) and tokens[i].text not in ("{", ";", "=", ")"):
                i += 1
            continue
        return None
    return None


def parameter_names(tokens, call):
    """The names in a definition's parameter list: of each parameter (split at
    the commas outside brackets, a default value cut off) its last name."""
    names = set()
    segment = []
    depth = 0
    for token in tokens[call.open + 1:call.close] + [Token("punct", ",", 0)]:
        if token.text in ("(", "<", "[", "{"):
            depth += 1
        elif token.text in (")", ">", "]", "}"):
            depth -= 1
        if token.text == "," and depth == 0:
            if "=" in [t.text for t in segment]:
                segment = segment[:[t.text for t in segment].index("=")]
            identifiers = [t.text for t in segment if t.kind == "id"]
            if len(segment) > 1 and identifiers:
                names.add(identifiers[-1])
            segment = []
        else:
            segment.append(token)
    return names


def log_helpers(files):
    """Names of functions that hand a parameter of theirs to Log or to another
    helper, found by repeating until nothing new turns up."""
    definitions = []
    for tokens in files.values():
        for call in calls(tokens):
            body = body_of(tokens, call)
            if body:
                definitions.append((call.name, parameter_names(tokens, call), tokens, body))
    helpers = {LOG_CALL}
    grew = True
    while grew:
        grew = False
        for name, parameters, tokens, (first, last) in definitions:
            if name in helpers or not parameters:
                continue
            for call in calls(tokens[first:last + 1]):
                if call.name not in helpers:
                    continue
                arguments = tokens[first + call.open:first + call.close + 1]
                if any(t.kind == "id" and t.text in parameters for t in arguments):
                    helpers.add(name)
                    grew = True
                    break
    return helpers


# ------------------------------------------------------------ extraction

def source_files(root, folders):
    for folder in folders:
        base = root / folder
        if base.is_dir():
            for path in sorted(base.rglob("*")):
                if path.suffix in (".cpp", ".h") and path.is_file():
                    yield path


def as_text(value):
    return value.decode("cp1251", errors="replace")


def pieces(text):
    """A literal split at its printf conversions."""
    return [p for p in re.split(r"%[-+ #0]*\d*(?:\.\d+)?(?:hh|h|ll|l|z|j|t)?[diouxXcsfeEgGp%]", text)]


def extract(root):
    """(log texts, literal pool): the texts the product can write, each with
    where it was found, and every literal piece of the message folders."""
    root = pathlib.Path(root)
    product = {path: tokenize(path.read_text(encoding="utf-8", errors="replace"))
               for path in source_files(root, PRODUCT_FOLDERS)}
    helpers = log_helpers(product)
    texts = {}

    def keep(token, path):
        where = f"{path.relative_to(root)}:{token.line}"
        for piece in pieces(as_text(token.value)):
            if re.search(r"[^\W\d_]", piece):
                texts.setdefault(piece, []).append(where)

    for path, tokens in product.items():
        for call in calls(tokens):
            if call.name in helpers and not body_of(tokens, call):
                for token in literals_in(tokens, call.open, call.close):
                    keep(token, path)
        throws_make_lines = path.relative_to(root).parts[0] not in NO_LINE_FROM_THROWS
        for i, token in enumerate(tokens):
            if token.text == "throw" and throws_make_lines:
                end = i
                while end < len(tokens) and tokens[end].text != ";":
                    end += 1
                for literal in literals_in(tokens, i, end):
                    keep(literal, path)
            elif token.kind == "str" and any(b > 127 for b in token.value):
                keep(token, path)

    pool = set()
    for path in source_files(root, MESSAGE_FOLDERS):
        tokens = product.get(path) or tokenize(path.read_text(encoding="utf-8", errors="replace"))
        for token in tokens:
            if token.kind == "str":
                pool.update(p for p in pieces(as_text(token.value)) if p)
    return texts, pool


# ------------------------------------------------------------- catalogue

def catalogue(guide):
    """The entries of the guide's catalogue: (text, line number)."""
    entries = []
    inside = False
    for number, line in enumerate(guide.splitlines(), 1):
        if line.strip() == BEGIN_MARK:
            inside = True
        elif line.strip() == END_MARK:
            inside = False
        elif inside and line.lstrip().startswith("|"):
            cells = re.split(r"(?<!\\)\|", line.strip())
            if len(cells) < 3:
                continue
            first = cells[1].strip()
            span = re.fullmatch(r"(`+)(.+?)\1", first)
            if not span or span.group(1) in span.group(2):
                continue  # not one code span
            text = span.group(2).replace("\\|", "|")
            if len(text) > 2 and text[0] == " " and text[-1] == " " and text.strip():
                text = text[1:-1]  # as Markdown shows a code span
            entries.append((text, number))
    return entries


def fixed_parts(entry):
    return [part for part in re.split(r"<[^<>]*>|\d+", entry) if part]


def buildable(part, pool):
    """Whether part is a piece of one literal, or the end of a literal, whole
    literals and the start of a literal, joined."""
    if any(part in literal for literal in pool):
        return True
    reachable = {i for i in range(1, len(part)) if any(l.endswith(part[:i]) for l in pool)}
    seen = set()
    while reachable:
        i = reachable.pop()
        if i in seen:
            continue
        seen.add(i)
        rest = part[i:]
        if any(l.startswith(rest) for l in pool):
            return True
        reachable.update(i + len(l) for l in pool if l and part.startswith(l, i) and
                         i + len(l) < len(part))
    return False


def check(root, guide_path):
    texts, pool = extract(root)
    guide = pathlib.Path(guide_path).read_text(encoding="utf-8")
    entries = catalogue(guide)
    problems = []
    if not entries:
        problems.append(f"{guide_path}: no catalogue entries between {BEGIN_MARK} and {END_MARK}")
    # "<message>" in an entry stands for any text of the catalogue (the
    # messages after a prefix): a prefix and its message may be one literal.
    shown = [entry for entry, _ in entries]
    shown += [entry.replace(MESSAGE, other) for entry in shown if MESSAGE in entry
              for other in shown]
    for text, places in sorted(texts.items()):
        if not any(text in entry for entry in shown):
            problems.append(f"not in the catalogue: {text!r} (written at {', '.join(places)})")
    for entry, number in entries:
        missing = [part for part in fixed_parts(entry) if not buildable(part, pool)]
        if missing:
            problems.append(f"{guide_path}:{number}: the product no longer writes {entry!r} "
                            f"(no source text makes {', '.join(repr(m) for m in missing)})")
    return problems, len(texts), len(entries)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("root", help="the source tree")
    parser.add_argument("--guide", help="the guide (default ROOT/OPERATIONS.md)")
    args = parser.parse_args()
    guide = args.guide or str(pathlib.Path(args.root) / "OPERATIONS.md")
    problems, texts, entries = check(args.root, guide)
    for problem in problems:
        print(problem)
    if problems:
        print(f"FAIL: {len(problems)} problem(s); {texts} log texts, {entries} catalogue entries")
        return 1
    print(f"OK: {texts} log texts found in the sources, each in one of the {entries} catalogue "
          "entries, and every entry still made by the product")
    return 0


if __name__ == "__main__":
    sys.exit(main())

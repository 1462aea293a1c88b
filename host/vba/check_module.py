#!/usr/bin/env python3
"""Checks that the macro module declares exactly the exports of the public headers.

Every exported function of tarn_web_com.h and tarn_iccr.h needs one Declare PtrSafe in the
module, naming the right DLL, with the same export name (Alias counts), the same number of
parameters, each passed the way VBA must pass its kind, and the same return kind. Declares of
other DLLs (kernel32) are not checked.

  check_module.py [--module Tarn.bas] [--include DIR]   check the module against the headers
  check_module.py --self-test                            prove the check catches drifted copies
"""
import argparse
import pathlib
import re
import sys

HERE = pathlib.Path(__file__).resolve().parent
DEFAULT_MODULE = HERE / "Tarn.bas"
DEFAULT_INCLUDE = HERE.parent.parent / "include" / "tarn"

# Public header -> the DLL that exports its functions.
HEADERS = {"tarn_web_com.h": "TarnWebCom.dll", "tarn_iccr.h": "TarnIccr.dll"}

WIDE, NARROW, INT = "UTF-16 pointer", "narrow string", "int"
# How a VBA Declare passes each kind on 64-bit Office.
VBA_FORM = {
    WIDE: "ByVal ... As LongPtr (given StrPtr(s))",
    NARROW: "ByVal ... As String",
    INT: "ByVal ... As Long",
}
RESULT_FORM = {WIDE: "As LongPtr", NARROW: "As String", INT: "As Long"}
C_KINDS = {"TARN_WCHAR*": WIDE, "char*": NARROW, "int": INT}
VBA_KINDS = {"longptr": WIDE, "string": NARROW, "long": INT}


class Drift(Exception):
    pass


class Export:
    def __init__(self, name, dll, params, result, where):
        self.name = name  # the name in the DLL's export table
        self.dll = dll
        self.params = params  # [(parameter name, kind)]
        self.result = result  # kind, or None for a VBA Sub
        self.where = where


# --- C side ----------------------------------------------------------------------------------

C_DECL = re.compile(
    r"TARN_IMPORT_EXPORT\s+(?P<result>[\w\s\*]+?)\s*\b(?:TARN_CALL\s+)?(?P<name>\w+)\s*"
    r"\((?P<params>[^)]*)\)\s*;"
)
C_TOKEN = re.compile(r'extern\s+"C"\s*\{|\}|TARN_IMPORT_EXPORT[^;]*;')
C_PARAM = re.compile(r"^(?:const\s+)?(?P<type>\w+)\s*(?P<star>\*?)\s*(?P<name>\w+)?$")
# MSVC codes for the C++-linkage exports; others must be taught here first.
MSVC_CODES = {INT: "H"}


def c_kind(text, where):
    m = C_PARAM.match(" ".join(text.split()))
    kind = m and C_KINDS.get(m.group("type") + m.group("star"))
    if not kind:
        raise Drift(f"{where}: no VBA kind known for the C type in '{text.strip()}'")
    return (m.group("name") or "?"), kind


def msvc_name(name, result, params, where):
    """The decorated name MSVC gives a free function with C++ linkage."""
    codes = [MSVC_CODES.get(kind) for kind in [result] + [k for _, k in params]]
    if None in codes:
        raise Drift(f"{where}: the C++ name of {name} needs a decoration this check lacks")
    args = "".join(codes[1:]) + "@" if params else "X"
    return f"?{name}@@YA{codes[0]}{args}Z"


def header_exports(include_dir, texts=None):
    """Exports of the public headers; `texts` replaces file contents (for the self-test)."""
    exports = []
    for header, dll in HEADERS.items():
        path = pathlib.Path(include_dir) / header
        try:
            text = texts[header] if texts and header in texts else path.read_text()
        except OSError as error:
            raise Drift(f"cannot read the public header: {error}") from None
        text = re.sub(r"/\*.*?\*/", " ", text, flags=re.S)
        text = re.sub(r"//[^\n]*", " ", text)
        text = "\n".join(line for line in text.splitlines() if not line.lstrip().startswith("#"))
        c_linkage = False
        found = 0
        for token in C_TOKEN.finditer(text):
            t = token.group(0)
            if t.startswith("extern"):
                c_linkage = True
                continue
            if t == "}":
                c_linkage = False
                continue
            where = f"{header}: {' '.join(t.split())}"
            m = C_DECL.fullmatch(t)
            if not m:
                raise Drift(f"{where}: cannot read this declaration")
            found += 1
            result = c_kind(m.group("result") + " r", where)[1]
            raw = m.group("params").strip()
            params = [] if raw in ("", "void") else [c_kind(p, where) for p in raw.split(",")]
            name = m.group("name")
            if not c_linkage:
                name = msvc_name(name, result, params, where)
            exports.append(Export(name, dll, params, result, header))
        if found != len(re.findall(r"\bTARN_IMPORT_EXPORT\b", text)):
            raise Drift(f"{header}: an exported declaration was not read")
    return exports


# --- VBA side --------------------------------------------------------------------------------

VBA_DECLARE = re.compile(
    r"^(?:(?:Public|Private)\s+)?Declare\s+(?P<ptrsafe>PtrSafe\s+)?(?P<kind>Function|Sub)\s+"
    r'(?P<name>\w+)\s+Lib\s+"(?P<lib>[^"]*)"\s*(?:Alias\s+"(?P<alias>[^"]*)"\s*)?'
    r"\((?P<params>.*)\)\s*(?:As\s+(?P<result>\w+))?$",
    re.I,
)
VBA_PARAM = re.compile(r"^(?:(?P<pass>ByVal|ByRef)\s+)?(?P<name>\w+)\s+As\s+(?P<type>\w+)$", re.I)


def strip_comment(line):
    """The line without a ' comment; quotes in VBA strings are doubled, so parity tells."""
    in_string = False
    for i, ch in enumerate(line):
        if ch == '"':
            in_string = not in_string
        elif ch == "'" and not in_string:
            return line[:i]
    return line


def logical_lines(text):
    """(first line number, text) with ' _' continuations joined."""
    pending, start = "", 0
    for number, line in enumerate(text.splitlines(), 1):
        line = strip_comment(line).rstrip()
        if not pending:
            start = number
        if line.endswith(" _"):
            pending += line[:-1] + " "
            continue
        yield start, pending + line
        pending = ""
    if pending:
        yield start, pending


def vba_kind(type_name, where, what):
    kind = VBA_KINDS.get(type_name.lower())
    if not kind:
        raise Drift(f"{where}: {what} is As {type_name}, which matches no header kind")
    return kind


def module_exports(text, module_name="module"):
    try:
        text.encode("ascii")
    except UnicodeEncodeError as error:
        line = text[: error.start].count("\n") + 1
        raise Drift(
            f"{module_name}:{line}: not ASCII; the VBA editor imports a module in the ANSI "
            "code page, so other characters arrive garbled"
        ) from None
    tarn_dlls = {dll.lower().removesuffix(".dll"): dll for dll in HEADERS.values()}
    exports = []
    for number, line in logical_lines(text):
        if not re.search(r"\bDeclare\b", line, re.I):
            continue
        where = f"{module_name}:{number}"
        m = VBA_DECLARE.match(line.strip())
        if not m:
            raise Drift(f"{where}: cannot read this Declare: {line.strip()}")
        lib = m.group("lib").lower().removesuffix(".dll")
        if lib not in tarn_dlls:
            continue
        name = m.group("alias") or m.group("name")
        where = f"{where} ({name})"
        if not m.group("ptrsafe"):
            raise Drift(f"{where}: the Declare lacks PtrSafe, which 64-bit Office requires")
        params = []
        raw = m.group("params").strip()
        for position, p in enumerate(raw.split(",") if raw else [], 1):
            pm = VBA_PARAM.match(" ".join(p.split()))
            what = f"parameter {position}"
            if not pm:
                raise Drift(f"{where}: cannot read {what} '{p.strip()}'")
            if (pm.group("pass") or "").lower() != "byval":
                raise Drift(f"{where}: {what} ({pm.group('name')}) must be ByVal")
            params.append((pm.group("name"), vba_kind(pm.group("type"), where, what)))
        result = None
        if m.group("kind").lower() == "function":
            if not m.group("result"):
                raise Drift(f"{where}: the Function has no As type, so it returns a Variant")
            result = vba_kind(m.group("result"), where, "the result")
        exports.append(Export(name, tarn_dlls[lib], params, result, where))
    return exports


# --- comparison ------------------------------------------------------------------------------


def count(n):
    return f"{n} parameter" + ("" if n == 1 else "s")


def compare(headers, module):
    """Every difference, as sentences; empty when the module matches."""
    problems = []
    declared = {}
    for e in module:
        if e.name in declared:
            first = declared[e.name].where
            problems.append(f"{e.where}: {e.name} is declared twice (first at {first})")
        declared.setdefault(e.name, e)
    wanted = {e.name: e for e in headers}
    for name, h in wanted.items():
        v = declared.get(name)
        if v is None:
            problems.append(f"{h.where}: {name} has no Declare in the module")
            continue
        if v.dll.lower() != h.dll.lower():
            problems.append(
                f"{v.where}: declared from {v.dll}, but {name} of {h.where} is in {h.dll}"
            )
        if v.result != h.result:
            got = "a Sub" if v.result is None else f"a Function {RESULT_FORM[v.result]}"
            problems.append(
                f"{v.where}: the header returns {h.result}, which must be a Function "
                f"{RESULT_FORM[h.result]}; the module has {got}"
            )
        if len(v.params) != len(h.params):
            problems.append(
                f"{v.where}: the header has {count(len(h.params))}, "
                f"the module {count(len(v.params))}"
            )
            continue
        for position, ((h_name, h_kind), (v_name, v_kind)) in enumerate(zip(h.params, v.params), 1):
            if h_kind != v_kind:
                problems.append(
                    f"{v.where}: parameter {position} ({h_name}) is a {h_kind} in the header and "
                    f"must be {VBA_FORM[h_kind]}; the module passes {VBA_FORM[v_kind]}"
                )
    for name, v in declared.items():
        if name not in wanted:
            problems.append(f"{v.where}: {name} is not exported by either public header")
    return problems


def check(module_text, include_dir, module_name="Tarn.bas", header_texts=None):
    try:
        headers = header_exports(include_dir, header_texts)
        return compare(headers, module_exports(module_text, module_name))
    except Drift as error:
        return [str(error)]


# --- self-test -------------------------------------------------------------------------------

WEB = "tarn_web_com.h"
# (what drifts, file, text, replacement, words the report must contain)
MUTATIONS = [
    ("a missing Declare", "module",
     'Private Declare PtrSafe Function EncryptW Lib "TarnWebCom.dll" ( _\n'
     "    ByVal digest As LongPtr, ByVal user As LongPtr, ByVal password As LongPtr) As Long\n",
     "", "EncryptW has no Declare"),
    ("an extra parameter", "module",
     "ByVal bUseProxy As Long) As Long", "ByVal bUseProxy As Long, ByVal extra As Long) As Long",
     "the header has 1 parameter, the module 2 parameters"),
    ("a wide string passed as ANSI", "module",
     "ByVal text As LongPtr) As Long", "ByVal text As String) As Long",
     "parameter 1 (text) is a UTF-16 pointer"),
    ("a narrow buffer passed as a pointer", "module",
     "ByVal out As String) As Long", "ByVal out As LongPtr) As Long",
     "parameter 2 (out) is a narrow string"),
    ("a message passed ByRef", "module",
     "ByVal host As LongPtr, ByVal message As LongPtr) As Long",
     "ByVal host As LongPtr, message As LongPtr) As Long", "(message) must be ByVal"),
    ("a pointer-sized result", "module",
     "ByVal bUseProxy As Long) As Long", "ByVal bUseProxy As Long) As LongPtr",
     "the module has a Function As LongPtr"),
    ("a Sub instead of a Function", "module",
     "Private Declare PtrSafe Function SetProxySetting",
     "Private Declare PtrSafe Sub SetProxySetting",
     "the module has a Sub"),
    ("the plain C++ name instead of its decorated export", "module",
     'Alias "?fnZCCOMUTILDLL@@YAHXZ"', 'Alias "fnZCCOMUTILDLL"',
     "?fnZCCOMUTILDLL@@YAHXZ has no Declare"),
    ("a Declare without PtrSafe", "module",
     "Private Declare PtrSafe Function GetJobLogW", "Private Declare Function GetJobLogW",
     "lacks PtrSafe"),
    ("the wrong DLL", "module",
     'fnExcelStringFunc Lib "TarnIccr.dll"', 'fnExcelStringFunc Lib "TarnWebCom.dll"',
     "is in TarnIccr.dll"),
    ("an export that does not exist", "module",
     "Private Declare PtrSafe Function GetJobLogW", "Private Declare PtrSafe Function GetJobLogA",
     "GetJobLogA is not exported"),
    ("a second Declare of one export", "module",
     'Private Declare PtrSafe Function fnExcelStringFunc Lib "TarnIccr.dll"',
     'Private Declare PtrSafe Function ReadCard Lib "TarnIccr.dll" Alias "fnExcelStringFunc" ( _\n'
     "    ByVal title As String, ByVal out As String) As Long\n"
     'Private Declare PtrSafe Function fnExcelStringFunc Lib "TarnIccr.dll"',
     "declared twice"),
    ("a non-ASCII character", "module",
     "' Exported under its C++ name.", "' Exported under its C++ name \u2013 decorated.",
     "not ASCII"),
    ("a new export in the header", WEB,
     "TARN_IMPORT_EXPORT int TARN_CALL SetProxySetting(int bUseProxy);",
     "TARN_IMPORT_EXPORT int TARN_CALL SetProxySetting(int bUseProxy);\n"
     "TARN_IMPORT_EXPORT int TARN_CALL GetVersionW(TARN_WCHAR* version);",
     "GetVersionW has no Declare"),
    ("a header parameter of a kind the check does not know", WEB,
     "SetProxySetting(int bUseProxy)", "SetProxySetting(long bUseProxy)",
     "no VBA kind known"),
]


def self_test(module_path, include_dir):
    module_text = module_path.read_text()
    headers = {h: (pathlib.Path(include_dir) / h).read_text() for h in HEADERS}
    failures = []
    base = check(module_text, include_dir, module_path.name, headers)
    if base:
        failures.append("the unchanged module fails: " + "; ".join(base))
    for what, target, old, new, expected in MUTATIONS:
        texts = dict(headers)
        source = module_text if target == "module" else texts[target]
        if source.count(old) != 1:
            failures.append(f"{what}: the text to change is not found once in {target}")
            continue
        changed = source.replace(old, new)
        if target == "module":
            problems = check(changed, include_dir, module_path.name, texts)
        else:
            texts[target] = changed
            problems = check(module_text, include_dir, module_path.name, texts)
        if not any(expected in p for p in problems):
            got = problems or "none"
            failures.append(f"{what}: expected a report with '{expected}', got {got}")
        else:
            print(f"caught {what}: {problems[0]}")
    return failures


def main():
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument("--module", type=pathlib.Path, default=DEFAULT_MODULE)
    parser.add_argument("--include", type=pathlib.Path, default=DEFAULT_INCLUDE)
    parser.add_argument("--self-test", action="store_true")
    args = parser.parse_args()
    if args.self_test:
        failures = self_test(args.module, args.include)
        for f in failures:
            print(f"FAIL: {f}", file=sys.stderr)
        return 1 if failures else 0
    problems = check(args.module.read_text(), args.include, args.module.name)
    for p in problems:
        print(f"{p}", file=sys.stderr)
    if problems:
        print(f"{args.module.name} does not match the headers in {args.include}", file=sys.stderr)
        return 1
    print(f"{args.module.name} declares every export of {', '.join(HEADERS)} as they are")
    return 0


if __name__ == "__main__":
    sys.exit(main())

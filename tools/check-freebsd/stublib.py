"""Write the C source of a link stub for a FreeBSD library whose ABI list zig
does not ship (libkvm, libdevstat): one empty definition for each function,
and one object for each variable, that the library's header declares.

    python stublib.py include/kvm.h > kvm_stub.c

The header is the minimal one of tools/check-freebsd/include, so the stub
exports exactly what the module may call; a call to anything else stays
undefined in the linked module and the symbol check reports it. Only the names
matter: nothing ever runs this code.
"""

import re
import sys


def declared(text):
    """(functions, variables) that a C header declares at file scope."""
    text = re.sub(r"/\*.*?\*/", " ", text, flags=re.S)
    text = re.sub(r"//[^\n]*", " ", text)
    text = re.sub(r"^[ \t]*#[^\n]*(\\\n[^\n]*)*", " ", text, flags=re.M)
    for macro in ("__BEGIN_DECLS", "__END_DECLS"):
        text = text.replace(macro, " ")
    # Drop struct/union/enum bodies (their members are not symbols).
    while True:
        flat = re.sub(r"\{[^{}]*\}", " ", text)
        if flat == text:
            break
        text = flat
    functions, variables = [], []
    for decl in (d.strip() for d in text.split(";")):
        if not decl or decl.startswith("typedef"):
            continue
        m = re.match(r"[^(]*?\b([A-Za-z_]\w*)\s*\(", decl)
        if m:
            functions.append(m.group(1))
            continue
        m = re.match(r"extern\b.*?\b([A-Za-z_]\w*)\s*(\[[^\]]*\])?\s*$", decl, flags=re.S)
        if m:
            variables.append(m.group(1))
        # Anything else is a bare struct/union/enum declaration.
    return functions, variables


def main(path):
    with open(path) as f:
        functions, variables = declared(f.read())
    if not functions:
        sys.exit(f"stublib: {path} declares no function")
    print(f"/* Link stub generated from {path.rsplit('/', 1)[-1]}. */")
    for name in functions:
        print(f"void {name}(void) {{}}")
    for name in variables:
        print(f"char {name}[1];")


if __name__ == "__main__":
    main(sys.argv[1])

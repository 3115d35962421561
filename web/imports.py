"""Refuses a WebAssembly module that imports anything:

    python3 imports.py MODULE.wasm

The page instantiates the module with no imports, so a module that imports
a function (WASI's fd_write, say, which a C library function that prints
brings in) would fail to start in every browser. Lists what it imports and
exits 1 when it imports anything, 0 when nothing."""
import sys


def leb(b, i):
    """The unsigned LEB128 number at b[i]: (value, index after it)."""
    n = shift = 0
    while True:
        if i >= len(b):
            raise ValueError("cut short in a number")
        c = b[i]
        i += 1
        n |= (c & 0x7F) << shift
        shift += 7
        if c < 0x80:
            return n, i


def name(b, i):
    n, i = leb(b, i)
    if i + n > len(b):
        raise ValueError("cut short in a name")
    return b[i:i + n].decode("utf-8", "replace"), i + n


def imports(b):
    """The module's imports, as "module.name"."""
    if b[:8] != b"\0asm\1\0\0\0":
        raise ValueError("not a WebAssembly module of version 1")
    i, got = 8, []
    while i < len(b):
        section, i = b[i], i + 1
        size, i = leb(b, i)
        end = i + size
        if end > len(b):
            raise ValueError("a section runs past the end")
        if section == 2:
            count, j = leb(b, i)
            for _ in range(count):
                module, j = name(b, j)
                field, j = name(b, j)
                got.append(module + "." + field)
                kind, j = b[j], j + 1
                # the rest of the entry: a function's type index, a table's
                # type and limits, a memory's limits, a global's type and
                # mutability
                if kind == 0:
                    _, j = leb(b, j)
                elif kind in (1, 2):
                    j += kind == 1
                    flags, j = leb(b, j)
                    _, j = leb(b, j)
                    if flags & 1:
                        _, j = leb(b, j)
                elif kind == 3:
                    j += 2
                else:
                    raise ValueError("an import of unknown kind %d" % kind)
        i = end
    return got


def main(path):
    with open(path, "rb") as f:
        try:
            got = imports(f.read())
        except (ValueError, IndexError) as e:
            print("%s: %s" % (path, e), file=sys.stderr)
            return 1
    if got:
        print("%s imports %s, which the page doesn't provide: the module must import nothing "
              "(a C or C++ library call that prints or opens files brings in WASI)" % (path, ", ".join(got)),
              file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))

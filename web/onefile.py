"""Writes the page as one HTML file that needs nothing beside it, so that it
opens from a double-click (file://, where browsers fetch nothing):

    python3 onefile.py INDEX.html SCRIPT.js OUT.html FAVICON.png NAME=FILE...

The page's script comes inline, after a script that carries each NAME=FILE
as base64 in window.brindlewockfiles, where the page's loader looks first;
the favicon becomes a data: address."""
import base64
import sys


def b64(path):
    with open(path, "rb") as f:
        return base64.b64encode(f.read()).decode()


def main(index, script, out, favicon, *files):
    with open(index, encoding="utf-8") as f:
        page = f.read()
    with open(script, encoding="utf-8") as f:
        code = f.read()
    tag = '<script src="brindlewock.js"></script>'
    icon = 'href="favicon.png"'
    assert page.count(tag) == 1 and page.count(icon) == 1, "index.html lacks its script or favicon tag"
    carried = ",\n".join('"%s": "%s"' % (name, b64(path))
                         for name, path in (f.split("=", 1) for f in files))
    # "</" never stands in base64 or in the script, so neither ends its element early
    assert "</script" not in code
    inline = "<script>window.brindlewockfiles = {\n%s\n};</script>\n<script>\n%s</script>" % (carried, code)
    page = page.replace(icon, 'href="data:image/png;base64,%s"' % b64(favicon))
    page = page.replace(tag, inline)
    with open(out, "w", encoding="utf-8") as f:
        f.write(page)


if __name__ == "__main__":
    main(*sys.argv[1:])

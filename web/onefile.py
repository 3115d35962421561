"""Writes the page as one HTML file that needs nothing beside it, so that it
opens from a double-click (file://, where browsers fetch nothing):

    python3 onefile.py INDEX.html OUT.html FAVICON.png ITEM...

Each ITEM, in the order given, takes the place of the page's script tags:
NAME=FILE a file carried as base64, script:FILE a script inline. A carried
file comes in parts of a script each, so that the page, whose menu is above
them, shows its progress as they arrive: each part tells
brindlewockpart(NAME, BASE64, AT, LAST) the bytes of the page up to its own
end, and a first small script shows them against the page's size and keeps
each file for the page's loader, in window.brindlewockfiles, as a promise of
its base64 text. The page's script comes after the files that Play needs and
before the rest, which go on arriving behind it. The favicon becomes a data:
address."""
import base64
import json
import sys

PART = 1 << 16     # base64 characters a part
WIDTH = 10         # characters of a byte count in the page, blank-padded

# what the page's loader finds before any part has come: the parts' keeper
# and the progress bar's filler, the page's size in place of %s
CARRIER = """<script>
(() => {
	const total = %s;
	const bar = document.getElementById('progress');
	const status = document.getElementById('status');
	const kb = n => Math.round(n / 1024);
	const parts = {}, done = {};
	window.brindlewockfiles = {};
	window.brindlewockloaded = { got: 0, total };
	for (const name of %s) {
		parts[name] = [];
		brindlewockfiles[name] = new Promise(r => { done[name] = r; });
	}
	const got = at => {
		brindlewockloaded.got = at;
		bar.value = at / total;
		status.textContent = `Loading: ${kb(at)} of ${kb(total)} KB`;
	};
	window.brindlewockpart = (name, text, at, last) => {
		parts[name].push(text);
		if (last)
			done[name](parts[name].join(''));
		got(at);
	};
	document.addEventListener('DOMContentLoaded', () => got(total));
})();
</script>
"""


def number(n):
    return str(n).rjust(WIDTH)


def read(path, mode="rb"):
    with open(path, mode) as f:
        return f.read()


def main(index, out, favicon, *items):
    page = read(index, "r")
    tags = '<script src="brindlewock.js"></script>\n<script src="save.js"></script>\n'
    icon = 'href="favicon.png"'
    assert page.count(tags) == 1 and page.count(icon) == 1, "index.html lacks its script or favicon tags"
    page = page.replace(icon, 'href="data:image/png;base64,%s"' % base64.b64encode(read(favicon)).decode())
    head, tail = page.split(tags)
    names = [item.split("=", 1)[0] for item in items if not item.startswith("script:")]
    # the pieces in order: text, or (name, base64, last) for a part, whose
    # length is known before the byte count it holds
    pieces = [head, CARRIER % (" " * WIDTH, json.dumps(names))]
    for item in items:
        if item.startswith("script:"):
            code = read(item[len("script:"):], "r")
            # "</" never stands in base64 or in a script, so neither ends its element early
            assert "</script" not in code.lower(), item
            pieces.append("<script>\n%s</script>\n" % code)
            continue
        name, path = item.split("=", 1)
        text = base64.b64encode(read(path)).decode()
        for i in range(0, max(len(text), 1), PART):
            pieces.append((name, text[i:i + PART], i + PART >= len(text)))
    pieces.append(tail)

    def part(piece, at):
        name, text, last = piece
        return '<script>brindlewockpart(%s, "%s", %s, %s)</script>\n' % (
            json.dumps(name), text, number(at), "true" if last else "false")

    size = lambda piece: len((piece if isinstance(piece, str) else part(piece, 0)).encode())
    total = sum(map(size, pieces))
    pieces[1] = CARRIER % (number(total), json.dumps(names))
    text, at = [], 0
    for piece in pieces:
        at += size(piece)
        text.append(piece if isinstance(piece, str) else part(piece, at))
    page = "".join(text).encode()
    assert len(page) == total
    with open(out, "wb") as f:
        f.write(page)


if __name__ == "__main__":
    main(*sys.argv[1:])

// Draws stills of the show with the web build's module, without a browser,
// and holds each against a PNG of the same still drawn natively:
//
//   node webstill.mjs MODULE.wasm PICTURE.png SEED MS:EXPECTED.png...
//
// The picture is decoded here, from the PNG file, as the page decodes its
// picture into RGBA bytes for the module; the stills come in order of time
// along one run of the still schedule, as tools/mkstill draws them. Prints
// a line per still and exits 1 when any pixel's red, green or blue differs.
import { readFileSync } from 'node:fs';
import { inflateSync } from 'node:zlib';

const scrw = 640, scrh = 480;

// an 8-bit, non-interlaced RGB or RGBA PNG as { w, h, rgba }
function pngread(file) {
	const b = readFileSync(file);
	if (b.readUInt32BE(0) !== 0x89504e47)
		throw new Error(`${file}: not a PNG`);
	let w = 0, h = 0, type = 0;
	const idat = [];
	for (let at = 8; at < b.length;) {
		const len = b.readUInt32BE(at), kind = b.toString('latin1', at + 4, at + 8);
		const data = b.subarray(at + 8, at + 8 + len);
		if (kind === 'IHDR') {
			w = data.readUInt32BE(0);
			h = data.readUInt32BE(4);
			type = data[9];
			if (data[8] !== 8 || (type !== 2 && type !== 6) || data[12] !== 0)
				throw new Error(`${file}: only 8-bit RGB or RGBA without interlace`);
		} else if (kind === 'IDAT')
			idat.push(data);
		at += 12 + len;
	}
	const bpp = type === 6 ? 4 : 3, stride = w * bpp;
	const raw = inflateSync(Buffer.concat(idat));
	const px = new Uint8Array(stride * h);
	for (let y = 0; y < h; y++) {
		const filter = raw[y * (stride + 1)], line = raw.subarray(y * (stride + 1) + 1, (y + 1) * (stride + 1));
		const row = px.subarray(y * stride, (y + 1) * stride), up = y ? px.subarray((y - 1) * stride, y * stride) : new Uint8Array(stride);
		for (let i = 0; i < stride; i++) {
			const a = i >= bpp ? row[i - bpp] : 0, c = i >= bpp ? up[i - bpp] : 0, u = up[i];
			let p;
			switch (filter) {
			case 0: p = 0; break;
			case 1: p = a; break;
			case 2: p = u; break;
			case 3: p = (a + u) >> 1; break;
			case 4: {
				const q = a + u - c, pa = Math.abs(q - a), pb = Math.abs(q - u), pc = Math.abs(q - c);
				p = pa <= pb && pa <= pc ? a : pb <= pc ? u : c;
				break;
			}
			default: throw new Error(`${file}: filter ${filter}`);
			}
			row[i] = (line[i] + p) & 0xff;
		}
	}
	const rgba = new Uint8Array(w * h * 4);
	for (let i = 0, j = 0; i < w * h; i++, j += bpp) {
		rgba[i * 4] = px[j];
		rgba[i * 4 + 1] = px[j + 1];
		rgba[i * 4 + 2] = px[j + 2];
		rgba[i * 4 + 3] = bpp === 4 ? px[j + 3] : 255;
	}
	return { w, h, rgba };
}

const [modfile, picfile, seedarg, ...stills] = process.argv.slice(2);
if (!stills.length) {
	console.error('usage: node webstill.mjs MODULE.wasm PICTURE.png SEED MS:EXPECTED.png...');
	process.exit(2);
}
const module = new WebAssembly.Module(readFileSync(modfile));
if (WebAssembly.Module.imports(module).length)
	throw new Error(`${modfile} imports ${JSON.stringify(WebAssembly.Module.imports(module))}`);
const wasm = new WebAssembly.Instance(module, {}).exports;
wasm._initialize();

const pic = pngread(picfile);
const p = wasm.webpicture(pic.w, pic.h);
if (!p)
	throw new Error(`no room for a ${pic.w} x ${pic.h} picture`);
new Uint8Array(wasm.memory.buffer, p, pic.w * pic.h * 4).set(pic.rgba);
if (!wasm.webstart(Number(seedarg)))
	throw new Error('webstart failed');

let failed = 0;
const todo = stills.map(s => [Number(s.slice(0, s.indexOf(':'))), s.slice(s.indexOf(':') + 1)]).sort((a, b) => a[0] - b[0]);
for (const [ms, file] of todo) {
	wasm.webstill(ms);
	const got = new Uint8Array(wasm.memory.buffer, wasm.webpresent(), scrw * scrh * 4);
	const want = pngread(file);
	if (want.w !== scrw || want.h !== scrh)
		throw new Error(`${file}: ${want.w} x ${want.h}`);
	let differ = 0, first = -1;
	for (let i = 0; i < scrw * scrh; i++)
		for (let c = 0; c < 3; c++)
			if (got[i * 4 + c] !== want.rgba[i * 4 + c]) {
				if (first < 0)
					first = i;
				differ++;
				break;
			}
	if (differ) {
		failed++;
		const x = first % scrw, y = Math.floor(first / scrw), g = got.subarray(first * 4, first * 4 + 3), n = want.rgba.subarray(first * 4, first * 4 + 3);
		console.log(`${ms} ms: ${differ} pixels differ, first at (${x}, ${y}): ${Array.from(g)} against ${Array.from(n)}`);
	} else
		console.log(`${ms} ms: all ${scrw * scrh} pixels equal`);
}
process.exit(failed ? 1 : 0);

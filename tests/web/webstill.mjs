// Draws stills of the show with the web build's module, without a browser,
// and holds each against a PNG of the same still drawn natively:
//
//   node webstill.mjs [--below] MODULE.wasm PICTURE.rgba W H SEED MS:EXPECTED.rgba...
//
// The picture and the stills are raw RGBA bytes, the picture's as the page
// hands them to the module; the stills come in order of time along one run
// of the still schedule, as tools/mkstill draws them. Prints a line per
// still and exits 1 when any pixel's red, green or blue differs. The module
// blends as the classic SDL 1.2 runtime does; with --below, the expected
// stills come from the SDL-2-based one, whose blend gives a byte one less
// here and there, and a byte one less than the module's counts as equal.
import { readFileSync } from 'node:fs';

const scrw = 640, scrh = 480;

const args = process.argv.slice(2);
const below = args[0] === '--below' ? (args.shift(), 1) : 0;
const [modfile, picfile, w, h, seedarg, ...stills] = args;
if (!stills.length) {
	console.error('usage: node webstill.mjs [--below] MODULE.wasm PICTURE.rgba W H SEED MS:EXPECTED.rgba...');
	process.exit(2);
}
const module = new WebAssembly.Module(readFileSync(modfile));
if (WebAssembly.Module.imports(module).length)
	throw new Error(`${modfile} imports ${JSON.stringify(WebAssembly.Module.imports(module))}`);
const wasm = new WebAssembly.Instance(module, {}).exports;
wasm._initialize();

const p = wasm.webpicture(Number(w), Number(h));
if (!p)
	throw new Error(`no room for a ${w} x ${h} picture`);
new Uint8Array(wasm.memory.buffer, p, w * h * 4).set(readFileSync(picfile));
if (!wasm.webstart(Number(seedarg)))
	throw new Error('webstart failed');

let failed = 0;
const todo = stills.map(s => [Number(s.slice(0, s.indexOf(':'))), s.slice(s.indexOf(':') + 1)]).sort((a, b) => a[0] - b[0]);
for (const [ms, file] of todo) {
	wasm.webstill(ms);
	const got = new Uint8Array(wasm.memory.buffer, wasm.webpresent(), scrw * scrh * 4);
	const want = readFileSync(file);
	if (want.length !== scrw * scrh * 4)
		throw new Error(`${file}: ${want.length} bytes`);
	let differ = 0, first = -1;
	for (let i = 0; i < scrw * scrh; i++)
		for (let c = 0; c < 3; c++)
			if (got[i * 4 + c] - want[i * 4 + c] > below || got[i * 4 + c] < want[i * 4 + c]) {
				if (first < 0)
					first = i;
				differ++;
				break;
			}
	if (differ) {
		failed++;
		const x = first % scrw, y = Math.floor(first / scrw), g = got.subarray(first * 4, first * 4 + 3), n = want.subarray(first * 4, first * 4 + 3);
		console.log(`${ms} ms: ${differ} pixels differ, first at (${x}, ${y}): ${Array.from(g)} against ${Array.from(n)}`);
	} else
		console.log(`${ms} ms: all ${scrw * scrh} pixels equal`);
}
process.exit(failed ? 1 : 0);

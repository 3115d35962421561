// Measures how much of the show flashes: draws the show's frames every 40 ms
// with the web build's module (the native frames, byte for byte) and counts,
// for each pixel and each 16 x 16 block's mean, the opposing changes of
// relative luminance by 0.1 or more of white with the darker side below 0.8
// (a flash is two of them, as the usual guidance on flashing counts them).
// A pixel or block flashes more than 3 times a second when more than six
// such changes fall in one second. Prints, per seed, the largest share of the
// screen's pixels and blocks that do so in any one second, and the share
// that ever does:
//
//   convert assets/galleri.jpg galleri.ppm
//   node tools/flashes.mjs build/web/brindlewock.wasm galleri.ppm SEED...
import { readFileSync } from 'node:fs';

const scrw = 640, scrh = 480;
const stepms = 40;                  // ms between frames, the still schedule's
const showlen = 75000;              // ms
const change = 0.1;                 // relative luminance a change must span ...
const dark = 0.8;                   // ... with its darker side below this
const persecond = 3;                // flashes a second that count as flashing
const block = 16;                   // pixels either way of a block

// a binary PPM (P6, 8 bits a channel, as convert PICTURE out.ppm writes it)
// as RGBA
function ppmread(file) {
	const b = readFileSync(file);
	const head = b.toString('latin1', 0, 64).match(/^P6\s+(\d+)\s+(\d+)\s+255\s/);
	if (!head)
		throw new Error(`${file}: not an 8-bit binary PPM`);
	const w = Number(head[1]), h = Number(head[2]), px = b.subarray(head[0].length);
	const rgba = new Uint8Array(w * h * 4).fill(255);
	for (let i = 0; i < w * h; i++)
		rgba.set(px.subarray(i * 3, i * 3 + 3), i * 4);
	return { w, h, rgba };
}

const linear = Float64Array.from({ length: 256 }, (_, v) => {
	const c = v / 255;
	return c <= 0.04045 ? c / 12.92 : ((c + 0.055) / 1.055) ** 2.4;
});

// per series (a pixel or a block): the last extreme, the direction of the
// last change, and the frames of the last changes, to find seven within a
// second
function tracker(n) {
	const keep = 2 * persecond + 1;
	return { ref: new Float64Array(n).fill(-1), dir: new Int8Array(n), at: new Int32Array(n * keep).fill(-1e9), keep, ever: new Uint8Array(n) };
}

// feeds one frame's luminances; returns how many series flash in the second ending here
function feed(t, lum, frame) {
	const window = 1000 / stepms;
	let flashing = 0;
	for (let i = 0; i < lum.length; i++) {
		const l = lum[i], r = t.ref[i];
		if (r < 0) {
			t.ref[i] = l;
			continue;
		}
		const d = t.dir[i];
		if ((d >= 0 && l > r) || (d <= 0 && l < r && d !== 0)) {
			t.ref[i] = l; // further the same way
		} else if (Math.abs(l - r) >= change && Math.min(l, r) < dark) {
			t.dir[i] = l > r ? 1 : -1;
			t.ref[i] = l;
			const a = t.at.subarray(i * t.keep, (i + 1) * t.keep);
			a.copyWithin(0, 1);
			a[t.keep - 1] = frame;
		}
		if (frame - t.at[i * t.keep] < window) {
			flashing++;
			t.ever[i] = 1;
		}
	}
	return flashing / lum.length;
}

const [module, picfile, ...seeds] = process.argv.slice(2);
const wasm = (await WebAssembly.instantiate(readFileSync(module), {})).instance.exports;
wasm._initialize();
const pic = ppmread(picfile);
for (const seed of seeds) {
	const at = wasm.webpicture(pic.w, pic.h);
	new Uint8Array(wasm.memory.buffer, at, pic.w * pic.h * 4).set(pic.rgba);
	wasm.webstart(Number(seed) >>> 0);
	const bw = scrw / block, bh = scrh / block;
	const px = tracker(scrw * scrh), bl = tracker(bw * bh);
	const lum = new Float64Array(scrw * scrh), blum = new Float64Array(bw * bh);
	let worstpx = 0, worstbl = 0, worstat = 0;
	for (let f = 0, ms = 0; ms <= showlen; f++, ms += stepms) {
		wasm.webframe(ms);
		const s = new Uint8Array(wasm.memory.buffer, wasm.webpresent(), scrw * scrh * 4);
		blum.fill(0);
		for (let i = 0; i < scrw * scrh; i++) {
			lum[i] = 0.2126 * linear[s[i * 4]] + 0.7152 * linear[s[i * 4 + 1]] + 0.0722 * linear[s[i * 4 + 2]];
			blum[((i / scrw | 0) / block | 0) * bw + ((i % scrw) / block | 0)] += lum[i] / (block * block);
		}
		const p = feed(px, lum, f), b = feed(bl, blum, f);
		if (p > worstpx)
			[worstpx, worstat] = [p, ms];
		worstbl = Math.max(worstbl, b);
	}
	const ever = t => t.ever.reduce((a, v) => a + v, 0) / t.ever.length;
	console.log(`seed ${seed}: flashing more than ${persecond} times a second in one second at most ` +
		`${(100 * worstpx).toFixed(3)} % of pixels (at ${worstat} ms), ${(100 * worstbl).toFixed(3)} % of ${block}-px blocks; ` +
		`ever ${(100 * ever(px)).toFixed(3)} % of pixels, ${(100 * ever(bl)).toFixed(3)} % of blocks`);
}

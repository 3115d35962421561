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
//   node tools/flashes.mjs build/web/brindlewock.wasm PICTURE.png SEED...
import { readFileSync } from 'node:fs';
import { inflateSync } from 'node:zlib';

const scrw = 640, scrh = 480;
const stepms = 40;                  // ms between frames, the still schedule's
const showlen = 75000;              // ms
const change = 0.1;                 // relative luminance a change must span ...
const dark = 0.8;                   // ... with its darker side below this
const persecond = 3;                // flashes a second that count as flashing
const block = 16;                   // pixels either way of a block

// an 8-bit RGB or RGBA PNG without interlace, filters undone, as RGBA
function pngread(file) {
	const b = readFileSync(file);
	let w = 0, h = 0, type = 0;
	const idat = [];
	for (let at = 8; at < b.length;) {
		const len = b.readUInt32BE(at), kind = b.toString('latin1', at + 4, at + 8);
		const data = b.subarray(at + 8, at + 8 + len);
		if (kind === 'IHDR') {
			w = data.readUInt32BE(0);
			h = data.readUInt32BE(4);
			type = data[9];
		} else if (kind === 'IDAT') {
			idat.push(data);
		}
		at += 12 + len;
	}
	const bpp = type === 6 ? 4 : 3, stride = w * bpp, raw = inflateSync(Buffer.concat(idat));
	const px = new Uint8Array(stride * h), rgba = new Uint8Array(w * h * 4);
	for (let y = 0; y < h; y++) {
		const f = raw[y * (stride + 1)], row = y * stride, src = y * (stride + 1) + 1;
		for (let i = 0; i < stride; i++) {
			const a = i >= bpp ? px[row + i - bpp] : 0, up = y ? px[row + i - stride] : 0;
			const c = i >= bpp && y ? px[row + i - stride - bpp] : 0;
			let p = raw[src + i];
			if (f === 1) p += a;
			else if (f === 2) p += up;
			else if (f === 3) p += (a + up) >> 1;
			else if (f === 4) {
				const q = a + up - c, pa = Math.abs(q - a), pb = Math.abs(q - up), pc = Math.abs(q - c);
				p += pa <= pb && pa <= pc ? a : pb <= pc ? up : c;
			}
			px[row + i] = p & 255;
		}
	}
	for (let i = 0; i < w * h; i++) {
		rgba.set(px.subarray(i * bpp, i * bpp + 3), i * 4);
		rgba[i * 4 + 3] = 255;
	}
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
const pic = pngread(picfile);
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

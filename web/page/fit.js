// A picture made ready for the show: a viewer's own read, upright and
// fitted, the default one decoded, either written into a module.
import { pictureheader } from './header.js';
import { page } from './states.js';

const stripbytes = 16 << 20;      // bytes of a viewer's picture's rows read at a time to be fitted
const picturekinds = 'JPEG, PNG, GIF, BMP, WebP, AVIF or HEIC, as far as this browser decodes them';

// The fitting rule for a picture of the viewer's own, the native
// command's too: the box is the default picture's size, which leaves the
// fire its room under the picture. A picture larger than the box either
// way is scaled down to fit it, its aspect ratio kept; one within it is
// used at its own size, never enlarged.
export function fit(w, h) {
	const { fitw, fith } = page.facts;
	if (w <= fitw && h <= fith)
		return { w, h };
	const s = Math.min(fitw / w, fith / h);
	return { w: Math.max(1, Math.round(w * s)), h: Math.max(1, Math.round(h * s)) };
}

// A picture's RGBA pixels w x h scaled down to nw x nh (neither larger)
// by averaging the area each new pixel covers, with the alpha
// premultiplied so that a transparent pixel gives no colour: the same
// arithmetic in every engine, where their own resampling differs (one
// aliases a picture of fine stripes into moiré). The rows come in
// strips, through rows(y0, y1), so that a large picture is never held
// twice; the result is premultiplied, as floats.
function areas(w, h, nw, nh) {
	// for each source index, the new pixel it falls in and its share of
	// that one; the rest goes to the next
	const cover = (n, nn) => {
		const into = new Int32Array(n), share = new Float32Array(n), s = n / nn;
		for (let i = 0; i < n; i++) {
			const o = Math.min(nn - 1, Math.floor(i / s));
			into[i] = o;
			share[i] = Math.min(1, (o + 1) * s - i) / s;
		}
		return { into, share, rest: 1 / s };
	};
	const cx = cover(w, nw), cy = cover(h, nh);
	const out = new Float32Array(nw * nh * 4), row = new Float32Array(nw * 4);
	return {
		out,
		add(y, px) {
			row.fill(0);
			for (let x = 0, i = 0; x < w; x++, i += 4) {
				const a = px[i + 3], m = a / 255, o = cx.into[x] * 4, s = cx.share[x];
				const r = px[i] * m, g = px[i + 1] * m, bl = px[i + 2] * m;
				row[o] += r * s;
				row[o + 1] += g * s;
				row[o + 2] += bl * s;
				row[o + 3] += a * s;
				const t = cx.rest - s;
				if (t > 1e-9 && o + 4 < nw * 4) {
					row[o + 4] += r * t;
					row[o + 5] += g * t;
					row[o + 6] += bl * t;
					row[o + 7] += a * t;
				}
			}
			const o = cy.into[y] * nw * 4, s = cy.share[y], t = cy.rest - s;
			for (let i = 0; i < nw * 4; i++)
				out[o + i] += row[i] * s;
			if (t > 1e-9 && o + nw * 4 < out.length)
				for (let i = 0; i < nw * 4; i++)
					out[o + nw * 4 + i] += row[i] * t;
		},
	};
}

// EXIF orientation o's pixel of the stored picture (w x h as stored)
// that lands at (x, y) of the upright one
function upright(o, x, y, w, h) {
	switch (o) {
	case 2: return [w - 1 - x, y];
	case 3: return [w - 1 - x, h - 1 - y];
	case 4: return [x, h - 1 - y];
	case 5: return [y, x];
	case 6: return [y, h - 1 - x];
	case 7: return [w - 1 - y, h - 1 - x];
	case 8: return [w - 1 - y, x];
	default: return [x, y];
	}
}

const mib = n => `${n / 1048576} MiB`;

// A viewer's own picture, fitted, upright and made ready for the show's
// colour key, as RGBA bytes; throws in words, naming the file, for one
// that can't be taken. Its size is read from its header and held to the
// native decoders' limits before anything decodes it. Its EXIF
// orientation is applied here rather than by the browser (its number in
// the bytes decoded is set to 1), so that every engine turns it alike;
// the rotation of an AVIF or HEIC picture is the decoder's. It is fitted
// by areas(), drawn in strips of rows; where its alpha is 0 it is
// black, which the show leaves out, and a black pixel of its own becomes
// (1, 1, 1), so that a photo's black is drawn rather than punching a
// hole. stale() says a later choice has replaced it.
export async function ownpicture(file, stale) {
	const name = file.name;
	if (file.size > page.facts.maxfile)
		throw new Error(`${name}: ${file.size} bytes is too large (at most ${mib(page.facts.maxfile)})`);
	const bytes = new Uint8Array(await file.arrayBuffer());
	let head;
	try {
		head = pictureheader(bytes);
	} catch (e) {
		throw new Error(`${name} is no picture of a kind the page reads (${picturekinds})`);
	}
	if (Math.min(head.w, head.h) < 1)
		throw new Error(`${name} can't be read as a picture: its ${head.kind} header gives no size`);
	if (Math.max(head.w, head.h) > page.facts.maxside)
		throw new Error(`${name}: ${head.w} x ${head.h} pixels is too large (at most ${page.facts.maxside} on its long side)`);
	if (head.orientat >= 0)
		bytes[head.orientat] = 1;
	let bitmap;
	try {
		bitmap = await createImageBitmap(new Blob([bytes]), { imageOrientation: 'from-image', colorSpaceConversion: 'none' });
	} catch (e) {
		throw new Error(`${name} can't be read as a picture (a ${head.kind} this browser can't decode, or a damaged one)`);
	}
	const { width: w0, height: h0 } = bitmap;
	if (Math.max(w0, h0) > page.facts.maxside) {
		bitmap.close();
		throw new Error(`${name}: ${w0} x ${h0} pixels is too large (at most ${page.facts.maxside} on its long side)`);
	}
	const o = head.orientation, turned = o >= 5;
	const { w, h } = turned ? fit(h0, w0) : fit(w0, h0);
	const sw = turned ? h : w, sh = turned ? w : h;
	const sum = areas(w0, h0, sw, sh);
	const strip = Math.max(1, Math.min(h0, Math.floor(stripbytes / 4 / w0)));
	const c = document.createElement('canvas');
	c.width = w0;
	c.height = strip;
	const g = c.getContext('2d', { willReadFrequently: true });
	try {
		for (let y0 = 0; y0 < h0; y0 += strip) {
			if (stale())
				return null;
			const rows = Math.min(strip, h0 - y0);
			g.clearRect(0, 0, w0, strip);
			g.drawImage(bitmap, 0, -y0);
			const px = g.getImageData(0, 0, w0, rows).data;
			for (let r = 0; r < rows; r++)
				sum.add(y0 + r, px.subarray(r * w0 * 4, (r + 1) * w0 * 4));
			await new Promise(r => setTimeout(r));
		}
	} finally {
		bitmap.close();
	}
	const rgba = new Uint8ClampedArray(w * h * 4);
	for (let y = 0, i = 0; y < h; y++)
		for (let x = 0; x < w; x++, i += 4) {
			const [sx, sy] = upright(o, x, y, sw, sh);
			const j = (sy * sw + sx) * 4, a = sum.out[j + 3];
			if (Math.round(a) === 0)
				continue;
			for (let k = 0; k < 3; k++)
				rgba[i + k] = Math.round(sum.out[j + k] * 255 / a);
			rgba[i + 3] = a;
			if (!rgba[i] && !rgba[i + 1] && !rgba[i + 2])
				rgba[i] = rgba[i + 1] = rgba[i + 2] = 1;
		}
	return { w, h, rgba, name };
}

// The default picture's pixels as decoded, without colour management, as
// RGBA bytes, byte for byte the native show's
export async function decodepicture(blob, name) {
	let bitmap;
	try {
		bitmap = await createImageBitmap(blob, { imageOrientation: 'from-image', colorSpaceConversion: 'none', premultiplyAlpha: 'none' });
	} catch (e) {
		throw new Error(`${name} can't be read as a picture`);
	}
	const { width: w, height: h } = bitmap;
	const c = document.createElement('canvas');
	c.width = w;
	c.height = h;
	const g = c.getContext('2d', { willReadFrequently: true });
	g.drawImage(bitmap, 0, 0);
	bitmap.close();
	return { w, h, rgba: g.getImageData(0, 0, w, h).data, name };
}

// the picture written into a module's room for it, for its next show
export function topicture(m, pic) {
	const p = m.webpicture(pic.w, pic.h);
	if (!p)
		throw new Error(`${pic.name}: ${pic.w} x ${pic.h} pixels can't be taken`);
	new Uint8Array(m.memory.buffer, p, pic.w * pic.h * 4).set(pic.rgba);
}

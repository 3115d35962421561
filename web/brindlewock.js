// The page's side of the web build: loads the show's module, the picture and
// the music, and is the show's clock, events, sound and display. Each frame
// is the module's: webframe() runs the show's own frame code for a clock
// reading, webpresent() hands back the screen for the canvas.
//
//   index.html                the show: a start screen, then 75 s with music
//   index.html?seed=N         the same with the fire's seed N
//   index.html?t=MS&seed=N    the still at show time MS, without sound
//   index.html?bench          the median time of a frame's work
//
// The page's state is in <html data-state>: loading, ready, waiting (for the
// music, after Play), starting, running, ended, still, benched or error; a
// video being saved in <html data-save>: saving, then saved, cancelled or
// failed.
'use strict';
(() => {
	const scrw = 640, scrh = 480;     // the show's screen
	const startdelay = 500;           // ms from the play request to the music and the clock starting
	const lastms = 75000;             // ms: the show's length; a later still asked for is drawn at its end
	const benchfps = 60;              // the bench draws the show's frames at this rate ...
	const benchrun = 10;              // ... timing this many at a time ...
	const benchslice = 10;            // ... and this many runs between looks at the page
	const benchpresent = 50;          // times the bench presents a frame, to time that too
	const idlems = 2000;              // ms without mouse moves before the pointer hides again
	const audiopoll = 10;             // ms between looks at a starting audio device ...
	const audioreport = 0.5;          // ... until it has played this many s without telling when
	const reportage = 1000;           // ms: the oldest report of the audio device's taken
	const audiogiveup = 3000;         // ms without a running audio device before the viewer is told
	const stillstep = 40;             // ms between the still schedule's frames
	const boxw = 544, boxh = 304;     // the box a viewer's picture is fitted into
	const stripbytes = 16 << 20;      // bytes of a viewer's picture's rows read at a time to be fitted
	const picturekinds = 'JPEG, PNG, GIF, BMP, WebP, AVIF or HEIC, as far as this browser decodes them';
	const musickinds = 'MP3, AAC (M4A), Opus, Vorbis, FLAC and WAV, as far as this browser decodes them';
	const musickeep = 77;             // s of a viewer's song decoded: the show's 75 and a little more
	const readstep = 1 << 20;         // bytes of a song read at a time while its frames are walked
	const mp3search = 65536;          // bytes searched for an MP3 frame past a tag or damage
	const maxmoov = 64 << 20;         // bytes of the largest MP4 index ('moov') read
	// an MP3 frame's bit rate in kbit/s by its index: MPEG-1 layers I, II
	// and III, then MPEG-2 and 2.5 layer I, and layers II and III
	const mp3rates = [
		[32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448],
		[32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384],
		[32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320],
		[32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256],
		[8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160],
	];
	const savefps = 30;               // frames a second of a saved video
	const revokeafter = 60000;        // ms a saved video's address is kept for the browser to save it

	const params = new URLSearchParams(location.search);
	// for tests: ?speed=N runs the show's clock and its music N times as
	// fast; ?step=MS makes the clock go on by MS a frame, silently
	const speed = Math.max(Number(params.get('speed')) || 1, 1);
	const step = Math.max(Math.round((Number(params.get('step')) || 0) / stillstep) * stillstep, 0);
	const root = document.documentElement;
	const canvas = document.getElementById('screen');
	const paint = canvas.getContext('2d', { alpha: false });
	const $ = id => document.getElementById(id);

	let wasmmodule;                   // the module, compiled
	let wasm;                         // the exports of the page's instance of it
	let limits;                       // the largest picture's long side and file's bytes, the module's
	let image;                        // the screen's RGBA bytes in the module's memory, as an ImageData
	let music = null;                 // the music the next show plays; null without it
	let musicname = '';               // its file's name; '' for the default music
	let defaultmusic = null;          // musa.ogg decoded
	let musicloaded = false;          // musa.ogg decoded or given up
	let picture = null;               // the picture the next show burns: { w, h, rgba, name }
	let inmodule = null;              // the picture written into the module
	let defaultpic = null;            // galleri.jpg decoded
	let reading = 0;                  // chosen files being decoded
	const chosen = { picture: 0, music: 0 }; // the number of the latest choice of each
	let saving = null;                // the AbortController of the video being made
	let saves = 0;                    // videos saved from this page, each named apart
	let shownseed = seed();           // the seed on the menu: the next video's, the last show's
	let playing = null;               // the files of the show running or last run: { picture, music }
	const loaded = { got: 0, total: 0 }; // the bytes of the files fetched beside the page
	let audio = null;                 // the AudioContext, made on the first play
	let voice = null;                 // the music playing
	let sound = 'none';               // the music: none, waiting (for the audio device) or started
	let musicat = 0;                  // the audio context's time when the music's start would be heard
	let showstart = 0;                // performance.now() when the show's clock started
	let elapsed = 0;                  // the show time of the last frame drawn
	let lastclock = 0;                // the show's clock at the last frame: it never goes back
	let idle = 0;
	let last = null;                  // lag() as the last show ended

	const state = s => { root.dataset.state = s; };

	// the seed: ?seed=N, else the time in seconds, as the native show seeds
	// its generator with time(NULL)
	function seed() {
		const v = params.get('seed');
		if (v !== null && /^\d+$/.test(v))
			return Number(BigInt(v) % 4294967296n);
		return Math.floor(Date.now() / 1000) >>> 0;
	}

	// a file's bytes: from the page itself when it carries them (the single
	// file, brindlewock.html, whose own script shows them arriving, as soon
	// as the last of them is in), else fetched beside it, reporting bytes as
	// they come; errors name the file
	async function load(name, progress) {
		if (window.brindlewockfiles && brindlewockfiles[name]) {
			const text = atob(await brindlewockfiles[name]);
			const bytes = new Uint8Array(text.length);
			for (let i = 0; i < text.length; i++)
				bytes[i] = text.charCodeAt(i);
			return bytes.buffer;
		}
		let r;
		try {
			r = await fetch(name);
		} catch (e) {
			throw new Error(location.protocol === 'file:'
				? `${name} can't be read from a page opened as a file in this browser: open brindlewock.html instead, or serve this folder`
				: `${name}: ${e.message}`);
		}
		if (!r.ok)
			throw new Error(`${name}: ${r.status} ${r.statusText}`);
		const size = Number(r.headers.get('content-length')) || 0;
		if (!r.body || !size) {
			const bytes = await r.arrayBuffer();
			loaded.got += bytes.byteLength;
			loaded.total += bytes.byteLength;
			return bytes;
		}
		loaded.total += size;
		const bytes = new Uint8Array(size);
		const reader = r.body.getReader();
		for (let got = 0;;) {
			const { done, value } = await reader.read();
			if (done)
				return bytes.buffer.slice(0, got);
			if (got + value.length > size)
				throw new Error(`${name}: more bytes than announced`);
			bytes.set(value, got);
			got += value.length;
			loaded.got += value.length;
			progress(name, got, size);
		}
	}

	// a new instance of the module, ready for its calls
	async function instance() {
		const m = (await WebAssembly.instantiate(wasmmodule, {})).exports;
		m._initialize();
		return m;
	}

	async function loadmodule() {
		wasmmodule = await WebAssembly.compile(await load('brindlewock.wasm', loading));
		wasm = await instance();
		limits = { side: wasm.webmaxside(), file: wasm.webmaxfile() };
	}

	// The fitting rule for a picture of the viewer's own, the native
	// command's too: the box is the default picture's size, which leaves the
	// fire its room under the picture. A picture larger than the box either
	// way is scaled down to fit it, its aspect ratio kept; one within it is
	// used at its own size, never enlarged.
	function fit(w, h) {
		if (w <= boxw && h <= boxh)
			return { w, h };
		const s = Math.min(boxw / w, boxh / h);
		return { w: Math.max(1, Math.round(w * s)), h: Math.max(1, Math.round(h * s)) };
	}

	// What a picture's header says, read before anything decodes it: its
	// kind, its size as stored, and its EXIF orientation (1 to 8) with the
	// place of that number in the file; a file of no kind the page reads,
	// or one whose header runs short, throws in words. Every field is the
	// file's own, so every offset is checked against its length.
	function pictureheader(b) {
		const n = b.length;
		const u16 = (at, le) => at + 2 <= n ? (le ? b[at] | b[at + 1] << 8 : b[at] << 8 | b[at + 1]) : -1;
		const u32 = (at, le) => at + 4 <= n ? (le ? (b[at] | b[at + 1] << 8 | b[at + 2] << 16 | b[at + 3] << 24) >>> 0
			: (b[at] << 24 | b[at + 1] << 16 | b[at + 2] << 8 | b[at + 3]) >>> 0) : -1;
		const text = (at, len) => at + len <= n ? String.fromCharCode(...b.subarray(at, at + len)) : '';
		const head = { kind: '', w: 0, h: 0, orientation: 1, orientat: -1 };
		// the orientation in a TIFF structure (EXIF's) from start to end
		const exif = (start, end) => {
			const le = text(start, 2) === 'II';
			if (!le && text(start, 2) !== 'MM')
				return;
			const ifd = start + u32(start + 4, le);
			const count = u16(ifd, le);
			for (let i = 0; ifd >= start && count > 0 && i < count; i++) {
				const e = ifd + 2 + 12 * i;
				if (e + 12 > end)
					return;
				if (u16(e, le) === 0x0112 && u16(e + 2, le) === 3) {
					const v = u16(e + 8, le);
					if (v >= 1 && v <= 8) {
						head.orientation = v;
						head.orientat = e + 8 + (le ? 0 : 1);
					}
					return;
				}
			}
		};
		if (u16(0) === 0xffd8) {
			head.kind = 'JPEG';
			for (let at = 2; at + 4 <= n;) {
				if (b[at] !== 0xff)
					break;
				const m = b[at + 1];
				if (m === 0xff || m === 0x01 || (m >= 0xd0 && m <= 0xd8)) {
					at += m === 0xff ? 1 : 2;
					continue;
				}
				if (m === 0xda || m === 0xd9)
					break;
				const len = u16(at + 2);
				if (m >= 0xc0 && m <= 0xcf && m !== 0xc4 && m !== 0xc8 && m !== 0xcc) {
					head.h = u16(at + 5);
					head.w = u16(at + 7);
					head.channels = at + 9 < n ? b[at + 9] : 0;
					break;
				}
				if (m === 0xe1 && text(at + 4, 6) === 'Exif\0\0' && head.orientat < 0)
					exif(at + 10, Math.min(n, at + 2 + len));
				if (m === 0xee && text(at + 4, 5) === 'Adobe')
					head.adobe = at + 15 < n ? b[at + 15] : -1;
				at += 2 + len;
			}
		} else if (text(0, 8) === '\x89PNG\r\n\x1a\n') {
			head.kind = 'PNG';
			if (text(12, 4) === 'IHDR') {
				head.w = u32(16);
				head.h = u32(20);
			}
			for (let at = 8; at + 8 <= n && text(at + 4, 4) !== 'IDAT';) {
				const len = u32(at);
				if (text(at + 4, 4) === 'eXIf')
					exif(at + 8, Math.min(n, at + 8 + len));
				at += len + 12;
			}
		} else if (/^GIF8[79]a$/.test(text(0, 6))) {
			head.kind = 'GIF';
			head.w = u16(6, true);
			head.h = u16(8, true);
		} else if (text(0, 2) === 'BM') {
			head.kind = 'BMP';
			const core = u32(14, true) === 12;
			head.w = core ? u16(18, true) : u32(18, true) | 0;
			head.h = Math.abs(core ? u16(20, true) : u32(22, true) | 0);
		} else if (text(0, 4) === 'RIFF' && text(8, 4) === 'WEBP') {
			head.kind = 'WebP';
			for (let at = 12; at + 8 <= n;) {
				const id = text(at, 4), len = u32(at + 4, true), d = at + 8;
				if (id === 'VP8 ' && u16(d + 3) === 0x9d01 && b[d + 5] === 0x2a) {
					head.w = u16(d + 6, true) & 0x3fff;
					head.h = u16(d + 8, true) & 0x3fff;
				} else if (id === 'VP8L' && b[d] === 0x2f) {
					const v = u32(d + 1, true);
					head.w = (v & 0x3fff) + 1;
					head.h = (v >>> 14 & 0x3fff) + 1;
				} else if (id === 'VP8X') {
					head.w = (b[d + 4] | b[d + 5] << 8 | b[d + 6] << 16) + 1;
					head.h = (b[d + 7] | b[d + 8] << 8 | b[d + 9] << 16) + 1;
				} else if (id === 'EXIF') {
					const start = text(d, 6) === 'Exif\0\0' ? d + 6 : d;
					exif(start, Math.min(n, d + len));
				}
				at = d + len + (len & 1);
			}
		} else if (text(4, 4) === 'ftyp') {
			// AVIF and HEIC: the largest image spatial extent ('ispe') of
			// the item properties in the 'meta' box, whose rotation the
			// decoder applies itself
			const brands = text(8, Math.min(u32(0), 64) - 8);
			head.kind = /avi[fs]/.test(brands) ? 'AVIF' : /hei[cxms]|hev[cx]|mif1|msf1/.test(brands) ? 'HEIC' : '';
			const boxes = (start, end, into) => {
				for (let at = start; at + 8 <= end;) {
					let len = u32(at);
					const id = text(at + 4, 4);
					if (len === 1)
						len = u32(at + 8) * 4294967296 + u32(at + 12);
					else if (len === 0)
						len = end - at;
					if (len < 8 || at + len > end)
						len = end - at;
					if (id === 'meta')
						boxes(at + 12, at + len, into);
					else if (id === 'iprp' || id === 'ipco')
						boxes(at + 8, at + len, into);
					else if (id === 'ispe' && at + 20 <= n) {
						const w = u32(at + 12), h = u32(at + 16);
						if (Math.max(w, h) > Math.max(head.w, head.h)) {
							head.w = w;
							head.h = h;
						}
					}
					at += len;
				}
			};
			if (head.kind)
				boxes(0, n);
		}
		if (!head.kind)
			throw new Error('no header of a picture');
		return head;
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
	async function ownpicture(file, stale) {
		const name = file.name;
		if (file.size > limits.file)
			throw new Error(`${name}: ${file.size} bytes is too large (at most ${mib(limits.file)})`);
		const bytes = new Uint8Array(await file.arrayBuffer());
		let head;
		try {
			head = pictureheader(bytes);
		} catch (e) {
			throw new Error(`${name} is no picture of a kind the page reads (${picturekinds})`);
		}
		if (Math.min(head.w, head.h) < 1)
			throw new Error(`${name} can't be read as a picture: its ${head.kind} header gives no size`);
		if (Math.max(head.w, head.h) > limits.side)
			throw new Error(`${name}: ${head.w} x ${head.h} pixels is too large (at most ${limits.side} on its long side)`);
		if (head.orientat >= 0)
			bytes[head.orientat] = 1;
		let bitmap;
		try {
			bitmap = await createImageBitmap(new Blob([bytes]), { imageOrientation: 'from-image', colorSpaceConversion: 'none' });
		} catch (e) {
			throw new Error(`${name} can't be read as a picture (a ${head.kind} this browser can't decode, or a damaged one)`);
		}
		const { width: w0, height: h0 } = bitmap;
		if (Math.max(w0, h0) > limits.side) {
			bitmap.close();
			throw new Error(`${name}: ${w0} x ${h0} pixels is too large (at most ${limits.side} on its long side)`);
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
	async function decodepicture(blob, name) {
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
	function topicture(m, pic) {
		const p = m.webpicture(pic.w, pic.h);
		if (!p)
			throw new Error(`${pic.name}: ${pic.w} x ${pic.h} pixels can't be taken`);
		new Uint8Array(m.memory.buffer, p, pic.w * pic.h * 4).set(pic.rgba);
	}

	async function loadpicture() {
		const bytes = await load('galleri.jpg', loading);
		picture = defaultpic = await decodepicture(new Blob([bytes]), 'galleri.jpg');
	}

	// A song's first bytes as far as the show plays it: a file's bytes read
	// in steps of readstep and cut after the frame or page that reaches
	// musickeep s, for the kinds whose frames can be walked without decoding
	// them (MP3, Ogg's Vorbis and Opus, FLAC and WAV), so that a two-hour
	// song costs what a short one does; any other kind is read whole.
	// Returns { kind, bytes } with the kind's name, '' for one not known.
	async function songbytes(file) {
		let b = new Uint8Array(0);
		// whether the bytes reach end, read on as needed
		const have = async end => {
			if (end > file.size)
				return false;
			while (b.length < end && b.length < file.size) {
				const more = new Uint8Array(await file.slice(b.length, Math.min(file.size, Math.max(end, b.length + readstep))).arrayBuffer());
				const grown = new Uint8Array(b.length + more.length);
				grown.set(b);
				grown.set(more, b.length);
				b = grown;
			}
			return b.length >= end;
		};
		const u16 = (at, le) => le ? b[at] | b[at + 1] << 8 : b[at] << 8 | b[at + 1];
		const u32 = (at, le) => (le ? b[at] | b[at + 1] << 8 | b[at + 2] << 16 | b[at + 3] << 24
			: b[at] << 24 | b[at + 1] << 16 | b[at + 2] << 8 | b[at + 3]) >>> 0;
		const text = (at, len) => String.fromCharCode(...b.subarray(at, at + len));
		const whole = async kind => ({ kind, bytes: await file.arrayBuffer() });
		const cut = end => ({ bytes: b.slice(0, Math.min(end, b.length)).buffer });
		await have(64);
		if (text(0, 4) === 'RIFF' && text(8, 4) === 'WAVE') {
			// the chunks up to the samples' one, cut after musickeep s of
			// whole sample frames, its length and the file's told again
			let rate = 0, align = 1;
			for (let at = 12; await have(at + 8);) {
				const len = u32(at + 4, true);
				if (text(at, 4) === 'fmt ' && await have(at + 24)) {
					rate = u32(at + 16, true);
					align = Math.max(1, u16(at + 20, true));
				} else if (text(at, 4) === 'data') {
					if (!rate)
						break;
					const keep = Math.min(len, file.size - at - 8, Math.ceil(rate * musickeep / align) * align);
					const head = b.slice(0, at + 8);
					const v = new DataView(head.buffer);
					v.setUint32(4, at + keep, true);
					v.setUint32(at + 4, keep, true);
					return { kind: 'WAV', bytes: await new Blob([head, file.slice(at + 8, at + 8 + keep)]).arrayBuffer() };
				}
				at += 8 + len + (len & 1);
			}
			return whole('WAV');
		}
		if (text(0, 4) === 'OggS') {
			// pages to the first whose granule position (in samples of its
			// stream's rate, after Opus's pre-skip) reaches musickeep s
			let kind = 'Ogg', rate = 0, skip = 0, serial = -1;
			for (let at = 0; await have(at + 27) && text(at, 4) === 'OggS';) {
				const segs = b[at + 26];
				if (!await have(at + 27 + segs))
					break;
				let len = 27 + segs;
				for (let i = 0; i < segs; i++)
					len += b[at + 27 + i];
				const body = at + 27 + segs;
				if (serial < 0 && await have(body + 19)) {
					serial = u32(at + 14, true);
					if (text(body, 7) === '\x01vorbis') {
						kind = 'Vorbis';
						rate = u32(body + 12, true);
					} else if (text(body, 8) === 'OpusHead') {
						kind = 'Opus';
						rate = 48000;
						skip = u16(body + 10, true);
					} else
						return whole(kind);
				} else if (u32(at + 14, true) === serial && !(u32(at + 6, true) === 0xffffffff && u32(at + 10, true) === 0xffffffff)) {
					const granule = u32(at + 10, true) * 4294967296 + u32(at + 6, true);
					if (granule - skip >= rate * musickeep)
						return { kind, ...cut(at + len) };
				}
				at += len;
			}
			return { kind, ...cut(file.size) };
		}
		if (text(0, 4) === 'fLaC') {
			// the metadata blocks, then frames, found by their sync code and
			// their header's CRC-8, to the first that starts at musickeep s
			let at = 4, rate = 0, block = 0, least = 1, last = false;
			while (!last && await have(at + 4)) {
				last = (b[at] & 0x80) !== 0;
				const len = b[at + 1] << 16 | b[at + 2] << 8 | b[at + 3];
				if ((b[at] & 0x7f) === 0 && await have(at + 4 + 18)) {
					block = u16(at + 4);
					least = Math.max(1, b[at + 8] << 16 | b[at + 9] << 8 | b[at + 10]);
					rate = b[at + 14] << 12 | b[at + 15] << 4 | b[at + 16] >> 4;
					// the song's length unknown, as the cut leaves it
					b[at + 17] &= 0xf0;
					b.fill(0, at + 18, at + 22);
				}
				at += 4 + len;
			}
			if (!rate)
				return whole('FLAC');
			const crc8 = (from, to) => {
				let c = 0;
				for (let i = from; i < to; i++) {
					c ^= b[i];
					for (let k = 0; k < 8; k++)
						c = c & 0x80 ? (c << 1 ^ 7) & 0xff : c << 1 & 0xff;
				}
				return c;
			};
			for (let p = at; await have(p + 16);) {
				if (b[p] !== 0xff || (b[p + 1] & 0xfe) !== 0xf8) {
					p++;
					continue;
				}
				// the frame's or sample's number, UTF-8 style
				let n = b[p + 4], more = 0;
				while (more < 7 && n & 0x80 >> more)
					more++;
				n &= 0xff >> (more + 1);
				if (more === 1 || more > 7) {
					p++;
					continue;
				}
				const cont = Math.max(0, more - 1);
				for (let i = 0; i < cont; i++)
					n = n * 64 + (b[p + 5 + i] & 0x3f);
				let end = p + 5 + cont;
				const bs = b[p + 2] >> 4, sr = b[p + 2] & 15;
				end += bs === 6 ? 1 : bs === 7 ? 2 : 0;
				end += sr === 12 ? 1 : sr === 13 || sr === 14 ? 2 : 0;
				if (crc8(p, end) !== b[end] || sr === 15 || bs === 0) {
					p++;
					continue;
				}
				const sample = b[p + 1] & 1 ? n : n * block;
				if (sample >= rate * musickeep)
					return { kind: 'FLAC', ...cut(p) };
				p = end + least;
			}
			return { kind: 'FLAC', ...cut(file.size) };
		}
		if (text(4, 4) === 'ftyp') {
			const adts = await mp4adts(file);
			return adts ? { kind: 'AAC (M4A)', ...adts } : whole('AAC (M4A)');
		}
		// MP3: after any ID3v2 tag, the frames by their headers' lengths
		let at = 0;
		if (text(0, 3) === 'ID3')
			at = 10 + ((b[6] & 0x7f) << 21 | (b[7] & 0x7f) << 14 | (b[8] & 0x7f) << 7 | (b[9] & 0x7f)) + (b[5] & 0x10 ? 10 : 0);
		const frame = p => {
			if (b[p] !== 0xff || (b[p + 1] & 0xe0) !== 0xe0)
				return null;
			const ver = b[p + 1] >> 3 & 3, layer = b[p + 1] >> 1 & 3, bri = b[p + 2] >> 4, sri = b[p + 2] >> 2 & 3;
			if (ver === 1 || layer === 0 || bri === 0 || bri === 15 || sri === 3)
				return null;
			const one = ver === 3;
			const rate = [44100, 48000, 32000][sri] >> (one ? 0 : ver === 2 ? 1 : 2);
			const kbps = mp3rates[one ? 3 - layer : layer === 3 ? 3 : 4][bri - 1];
			const pad = b[p + 2] >> 1 & 1;
			const len = layer === 3 ? (Math.floor(12000 * kbps / rate) + pad) * 4
				: Math.floor((layer === 1 && !one ? 72000 : 144000) * kbps / rate) + pad;
			return { len, samples: layer === 3 ? 384 : layer === 1 && !one ? 576 : 1152, rate };
		};
		// the first place from p on, within a little, where two frames follow
		// each other: past a tag's padding or a damaged stretch
		const sync = async p => {
			for (const end = p + mp3search; p < end && await have(p + 4); p++) {
				const f = frame(p);
				if (f && (!await have(p + f.len + 4) || frame(p + f.len)))
					return p;
			}
			return -1;
		};
		at = await sync(at);
		if (at < 0) {
			return whole((u16(0) & 0xfff6) === 0xfff0 ? 'AAC' : '');
		}
		for (let t = 0, f = frame(at); t < f.rate * musickeep;) {
			if (!await have(at + f.len + 4))
				return { kind: 'MP3', bytes: await file.arrayBuffer() };
			t += f.samples;
			at += f.len;
			if (!(f = frame(at))) {
				const p = await sync(at);
				if (p < 0)
					break;
				f = frame(at = p);
			}
		}
		return { kind: 'MP3', ...cut(at) };
	}

	// An MP4 (M4A) song's AAC as ADTS frames, as far as musickeep s: its
	// first sound track's samples found through its sample tables, each
	// given the header that lets a decoder take it alone. Null for what
	// this can't do (no AAC, an explicit rate, a missing table), which is
	// then read whole.
	async function mp4adts(file) {
		const read = async (at, len) => new Uint8Array(await file.slice(at, at + len).arrayBuffer());
		const u32 = (b, at) => (b[at] << 24 | b[at + 1] << 16 | b[at + 2] << 8 | b[at + 3]) >>> 0;
		const text = (b, at) => String.fromCharCode(...b.subarray(at, at + 4));
		// the top-level boxes to 'moov', read alone
		let moov = null;
		for (let at = 0; at + 8 <= file.size;) {
			const h = await read(at, 16);
			let len = u32(h, 0);
			if (len === 1)
				len = u32(h, 8) * 4294967296 + u32(h, 12);
			else if (len === 0)
				len = file.size - at;
			if (len < 8)
				return null;
			if (text(h, 4) === 'moov') {
				if (len > maxmoov)
					return null;
				moov = await read(at, len);
				break;
			}
			at += len;
		}
		if (!moov)
			return null;
		// the boxes inside b from start to end, by name
		const inside = (b, start, end) => {
			const out = {};
			for (let at = start; at + 8 <= end;) {
				const len = u32(b, at);
				if (len < 8 || at + len > end)
					break;
				(out[text(b, at + 4)] = out[text(b, at + 4)] || []).push([at + 8, at + len]);
				at += len;
			}
			return out;
		};
		const top = inside(moov, 8, moov.length);
		for (const [ts, te] of top.trak || []) {
			const mdia = (inside(moov, ts, te).mdia || [])[0];
			if (!mdia)
				continue;
			const md = inside(moov, ...mdia);
			if (!md.hdlr || text(moov, md.hdlr[0][0] + 8) !== 'soun' || !md.mdhd || !md.minf)
				continue;
			const mdhd = md.mdhd[0][0];
			const scale = moov[mdhd] === 1 ? u32(moov, mdhd + 20) : u32(moov, mdhd + 12);
			const stblat = (inside(moov, ...md.minf[0]).stbl || [])[0];
			if (!stblat || !scale)
				return null;
			const st = inside(moov, ...stblat);
			if (!st.stsd || !st.stsz || !st.stsc || !st.stts || !(st.stco || st.co64))
				return null;
			// the AudioSpecificConfig in stsd's mp4a entry's esds: its
			// descriptors, each a tag and a length of 1 to 4 bytes
			const [ds, de] = st.stsd[0];
			if (text(moov, ds + 12) !== 'mp4a')
				return null;
			const esds = (inside(moov, ds + 44, de).esds || [])[0];
			if (!esds)
				return null;
			let at = esds[0] + 4;
			const descriptor = tag => {
				if (moov[at] !== tag)
					return false;
				at++;
				for (let i = 0; i < 4 && moov[at++] & 0x80; i++)
					;
				return true;
			};
			if (!descriptor(3))
				return null;
			const flags = moov[at + 2];
			at += 3 + (flags & 0x80 ? 2 : 0) + (flags & 0x20 ? 2 : 0);
			if (flags & 0x40)
				at += 1 + moov[at];
			if (!descriptor(4))
				return null;
			at += 13;
			if (!descriptor(5) || at + 2 > esds[1])
				return null;
			const asc = at;
			let object = moov[asc] >> 3, rate = (moov[asc] & 7) << 1 | moov[asc + 1] >> 7;
			const channels = moov[asc + 1] >> 3 & 15;
			if (object === 5 || object === 29)
				object = 2; // HE-AAC: its core, whose doubled rate a decoder finds itself
			if (object < 1 || object > 4 || rate > 12)
				return null;
			// the samples' sizes, durations, chunks and chunks' places
			const [zs] = st.stsz[0];
			const fixed = u32(moov, zs + 4), count = u32(moov, zs + 8);
			const size = i => fixed || u32(moov, zs + 12 + 4 * i);
			const [ts0] = st.stts[0];
			const runs = [];
			for (let i = 0; i < u32(moov, ts0 + 4); i++)
				runs.push([u32(moov, ts0 + 8 + 8 * i), u32(moov, ts0 + 12 + 8 * i)]);
			const [cs] = st.stco ? st.stco[0] : st.co64[0];
			const chunks = u32(moov, cs + 4);
			const chunkat = c => st.stco ? u32(moov, cs + 8 + 4 * c) : u32(moov, cs + 8 + 8 * c) * 4294967296 + u32(moov, cs + 12 + 8 * c);
			const [ss] = st.stsc[0];
			const perchunk = [];
			for (let i = 0; i < u32(moov, ss + 4); i++)
				perchunk.push([u32(moov, ss + 8 + 12 * i) - 1, u32(moov, ss + 12 + 12 * i)]);
			// the samples to keep, by chunk
			const frames = [];
			let sample = 0, time = 0, run = 0, left = runs.length ? runs[0][0] : 0;
			for (let c = 0, k = 0; c < chunks && sample < count && time < musickeep * scale; c++) {
				while (k + 1 < perchunk.length && perchunk[k + 1][0] <= c)
					k++;
				let at = chunkat(c);
				for (let n = 0; n < perchunk[k][1] && sample < count && time < musickeep * scale; n++, sample++) {
					frames.push([at, size(sample)]);
					at += size(sample);
					while (run < runs.length && !left)
						left = runs[++run] ? runs[run][0] : 0;
					time += run < runs.length ? runs[run][1] : 0;
					left--;
				}
			}
			if (!frames.length || frames.some(([at, n]) => n > 8184 || at + n > file.size))
				return null;
			const from = frames[0][0], to = Math.max(...frames.map(([at, n]) => at + n));
			const data = await read(from, to - from);
			const out = new Uint8Array(frames.reduce((s, [, n]) => s + n + 7, 0));
			let o = 0;
			for (const [at, n] of frames) {
				const len = n + 7;
				out.set([0xff, 0xf1, (object - 1) << 6 | rate << 2 | channels >> 2, (channels & 3) << 6 | len >> 11,
					len >> 3 & 0xff, (len & 7) << 5 | 0x1f, 0xfc], o);
				out.set(data.subarray(at - from, at - from + n), o + 7);
				o += len;
			}
			// the edit list's start and length: the encoder's priming
			// samples left out, and its padding
			let skip = 0, length = Infinity;
			const edts = (inside(moov, ts, te).edts || [])[0], mvhd = (top.mvhd || [])[0];
			const elst = edts && (inside(moov, ...edts).elst || [])[0];
			if (elst && mvhd && u32(moov, elst[0] + 4) === 1) {
				const one = moov[elst[0]] === 1, e = elst[0] + 8;
				const movie = moov[mvhd[0]] === 1 ? u32(moov, mvhd[0] + 20) : u32(moov, mvhd[0] + 12);
				const start = one ? u32(moov, e + 12) : u32(moov, e + 4);
				skip = start < 0x80000000 ? start / scale : 0;
				const span = one ? u32(moov, e) * 4294967296 + u32(moov, e + 4) : u32(moov, e);
				if (movie && span)
					length = span / movie;
			}
			return { bytes: out.buffer, skip, length };
		}
		return null;
	}

	// decoded in a context that needs no gesture; an AudioBuffer plays in any
	// context
	async function decodemusic(bytes, name, kind, skip = 0, length = Infinity) {
		let m;
		try {
			m = await new OfflineAudioContext(2, 1, 48000).decodeAudioData(bytes);
		} catch (e) {
			throw new Error(kind ? `${name} can't be read as music (${kind} this browser can't decode, or a damaged file)`
				: `${name} can't be read as music: the page reads ${musickinds}`);
		}
		if (!skip && length >= m.duration)
			return m;
		// a part of it: from skip s, length s long
		const from = Math.min(m.length - 1, Math.round(skip * m.sampleRate));
		const n = Math.max(1, Math.min(m.length - from, Math.round(length * m.sampleRate)));
		const part = new AudioBuffer({ numberOfChannels: m.numberOfChannels, length: n, sampleRate: m.sampleRate });
		for (let c = 0; c < m.numberOfChannels; c++)
			part.copyToChannel(m.getChannelData(c).subarray(from, from + n), c);
		return part;
	}

	// the default music, loaded after the module and the picture so that
	// Play is ready without it; without it the show runs silently, as the
	// native one does
	async function loadmusic() {
		try {
			defaultmusic = await decodemusic(await load('musa.ogg', loading), 'musa.ogg');
			if (!music)
				music = defaultmusic;
			if ($('status').textContent.startsWith('Loading'))
				say('');
		} catch (e) {
			console.warn('brindlewock: no music:', e.message);
			say(`Without sound: ${e.message}.`);
		}
		musicloaded = true;
		controls();
		if (root.dataset.state === 'waiting')
			begin();
	}

	// the bytes loaded so far of the file loading, on the start screen;
	// null when all are in. The single file's own script shows its bytes
	// arriving until the page is whole.
	function loading(name, got, size) {
		const bar = $('progress');
		bar.style.visibility = name ? 'visible' : 'hidden';
		if (!name)
			return;
		bar.value = got / size;
		const kb = n => Math.round(n / 1024);
		say(`Loading ${name}: ${kb(got)} of ${kb(size)} KB`);
	}

	// The controls work once the module and the picture are in (Fullscreen
	// as soon as this script runs), and not while a chosen file is read or
	// a video made; Save video needs the music in, the part of the page that
	// makes videos, and the browser's video encoder.
	function controls() {
		const busy = !wasm || !picture || reading > 0 || saving !== null || root.dataset.state === 'waiting';
		for (const id of ['play', 'again', 'picchoose', 'musicchoose', 'picdefault', 'musicdefault'])
			$(id).disabled = busy;
		const saver = window.brindlewocksave && typeof VideoEncoder === 'function' && !brindlewocksave.unable;
		$('save').disabled = busy || !musicloaded || !saver;
		if (!window.brindlewocksave && document.readyState !== 'loading')
			$('save').textContent = 'Save video (not in this build of the page)';
		else if (typeof VideoEncoder !== 'function')
			$('save').textContent = 'Save video (this browser can\'t encode video)';
		else if (window.brindlewocksave && brindlewocksave.unable)
			$('save').textContent = `Save video (${brindlewocksave.unable})`;
	}

	function say(text) {
		$('status').textContent = text;
	}

	function present() {
		const p = wasm.webpresent();
		if (!image || image.data.buffer !== wasm.memory.buffer || image.data.byteOffset !== p)
			image = new ImageData(new Uint8ClampedArray(wasm.memory.buffer, p, scrw * scrh * 4), scrw, scrh);
		paint.putImageData(image, 0, 0);
	}

	function blank() {
		paint.fillStyle = '#000';
		paint.fillRect(0, 0, scrw, scrh);
	}

	// the device's latest report of which context time it played when, if it
	// is a recent one: some engines report on a clock of their own, and a
	// report from before a freeze is stale
	function report() {
		const o = audio.getOutputTimestamp ? audio.getOutputTimestamp() : {};
		if (o.performanceTime && audio.state === 'running' && Math.abs(performance.now() - o.performanceTime) < reportage)
			return o;
		return null;
	}

	// the audio context's time of the sound heard at performance.now() t,
	// from the device's report, never past what the context has rendered;
	// without one, as audiotime0 reckons it
	function audiotime(t) {
		const o = report();
		if (o)
			return Math.min(o.contextTime + (t - o.performanceTime) / 1000, audio.currentTime);
		return audiotime0(t);
	}

	// the same from the time the context renders less the latencies it
	// tells of on the way out
	function audiotime0(t = performance.now()) {
		const latency = (audio.baseLatency || 0) + (audio.outputLatency || 0);
		return audio.currentTime - latency + (audio.state === 'running' ? (t - performance.now()) / 1000 : 0);
	}

	// the show's clock in ms at performance.now() t: while the music plays,
	// the music's own position, so that the picture stays with it through
	// whatever stops the audio device (a hidden or frozen page, a suspended
	// context); else the page's clock, which a freeze also holds back
	function clock(t) {
		let ms;
		if (sound === 'started')
			ms = (audiotime(t) - musicat) * 1000 * speed;
		else
			ms = (t - showstart) * speed;
		return Math.max(lastclock, Math.floor(ms));
	}

	// the audio device running again when it stopped while the show runs
	function wake() {
		if (audio && voice && audio.state !== 'running' && audio.state !== 'closed')
			audio.resume().catch(() => {});
	}

	// the music heard from the moment the show's clock reads 0 (or from where
	// the clock already is, when the audio device came up late), scheduled
	// once the device plays and has told when; the viewer is told when the
	// device never comes up
	async function startmusic(v) {
		const silent = setTimeout(() => {
			if (voice === v && sound === 'waiting')
				notice('No sound: the audio device did not start. The show goes on silently.');
		}, audiogiveup);
		try {
			await audio.resume();
			while (voice === v && !report() && audio.currentTime < audioreport)
				await new Promise(r => setTimeout(r, audiopoll));
		} catch (e) {
			return;
		}
		if (voice !== v)
			return; // the show ended meanwhile
		clearTimeout(silent);
		notice('');
		const shown = Math.max(lastclock, (performance.now() - showstart) * speed);
		v.playbackRate.value = speed;
		if (shown <= 0) {
			v.startat = audiotime(showstart);
			v.offset = 0;
		} else {
			v.startat = audio.currentTime;
			v.offset = shown / 1000;
		}
		v.start(v.startat, v.offset);
		musicat = v.startat - v.offset / speed;
		sound = 'started';
	}

	function stopmusic() {
		if (voice) {
			try {
				voice.stop();
			} catch (e) {
				// never started
			}
			voice.disconnect();
		}
		voice = null;
		sound = 'none';
	}

	function notice(text) {
		$('notice').textContent = text;
	}

	// said to a screen reader alone
	function announce(text) {
		$('announce').textContent = text;
	}

	// the play request: the audio context made in the gesture, then the show
	// begins at once when the music is in, or as soon as it is
	function play() {
		if (!picture || reading || saving)
			return;
		$('menu').hidden = true;
		blank();
		if (!step && (music || !musicloaded)) {
			try {
				audio = audio || new AudioContext({ latencyHint: 'interactive' });
				audio.resume().catch(() => {});
			} catch (e) {
				console.warn('brindlewock: no sound:', e.message);
				notice(`No sound: ${e.message}`);
			}
		}
		if (!musicloaded && !step) {
			state('waiting');
			$('menu').hidden = false;
			controls();
			return;
		}
		begin();
	}

	// the show's clock starts startdelay ms from now, and the music with it
	function begin() {
		$('menu').hidden = true;
		if (inmodule !== picture) {
			topicture(wasm, picture);
			inmodule = picture;
		}
		shownseed = seed();
		$('seed').textContent = shownseed;
		if (!wasm.webstart(shownseed))
			return;
		playing = { picture: picture.name, music: music ? musicname || 'musa.ogg' : null };
		showstart = performance.now() + startdelay;
		elapsed = 0;
		lastclock = step ? -stillstep : 0;
		notice('');
		root.classList.remove('moved');
		state('starting');
		controls();
		announce('The show has begun: 75 seconds. Escape ends it.');
		if (music && audio && !step) {
			try {
				voice = audio.createBufferSource();
				voice.buffer = music;
				voice.connect(audio.destination);
				sound = 'waiting';
				startmusic(voice);
			} catch (e) {
				console.warn('brindlewock: no sound:', e.message);
				voice = null;
			}
		}
		requestAnimationFrame(tick);
	}

	// one frame: the clock read once, the frame drawn and shown; the frame at
	// the show's length is the last. With ?step=MS (for tests) the clock
	// instead goes on by MS each frame, drawing the frames of the still
	// schedule on the way, up to brindlewock.hold.
	function tick() {
		const st = root.dataset.state;
		if (st !== 'starting' && st !== 'running')
			return;
		const t = performance.now();
		if (t < showstart) {
			requestAnimationFrame(tick);
			return;
		}
		if (st === 'starting')
			state('running');
		if (step) {
			const to = Math.min(lastclock + step, window.brindlewock.hold);
			for (let ms = lastclock + stillstep; ms <= to && !wasm.webover(elapsed); ms += stillstep) {
				elapsed = wasm.webframe(ms);
				lastclock = ms;
			}
		} else {
			lastclock = clock(t);
			elapsed = wasm.webframe(lastclock);
		}
		present();
		if (wasm.webover(elapsed))
			return end();
		requestAnimationFrame(tick);
	}

	// the show's clock now, and the music's position heard by the audio
	// context's own clock and latencies, both in ms of show time
	function lag() {
		const t = performance.now();
		return {
			clock: clock(t),
			music: sound === 'started' ? ((audiotime0() - voice.startat) * speed + voice.offset) * 1000 : null,
			state: audio ? audio.state : null,
		};
	}

	// the show's end, by itself or asked for; the end screen offers the
	// choices again
	function end() {
		const st = root.dataset.state;
		if (st !== 'starting' && st !== 'running')
			return;
		last = lag();
		stopmusic();
		state('ended');
		$('menu').hidden = false;
		controls();
		announce('The show has ended.');
		$('again').focus();
	}

	// Fullscreen toggled by the page; one left otherwise (Escape, which the
	// browser takes for itself, or the browser's own controls) ends a
	// running show as Escape's release does, so that one Escape leaves
	// fullscreen and ends the show in every engine
	let leaving = false;
	function togglefull() {
		if (document.fullscreenElement) {
			leaving = true;
			document.exitFullscreen().catch(() => { leaving = false; });
		} else if (root.requestFullscreen)
			root.requestFullscreen().catch(() => {});
	}

	function fullchange() {
		const full = !!document.fullscreenElement;
		for (const id of ['full', 'showfull'])
			$(id).textContent = full ? 'Exit fullscreen' : 'Fullscreen';
		if (!full && !leaving)
			end();
		leaving = false;
	}

	// The viewer's own picture or music, from the file controls or a drop: a
	// file that can't be decoded leaves the choice as it was, and while one
	// is decoded the status says so and the show waits, Play disabled; of
	// two choices of one kind, the later one stands.
	async function choose(file, audiofile) {
		if (!file)
			return;
		const kind = audiofile ? 'music' : 'picture';
		const n = ++chosen[kind];
		reading++;
		controls();
		say(`Reading ${kind}…`);
		try {
			if (audiofile) {
				const song = await songbytes(file);
				const m = n === chosen.music ? await decodemusic(song.bytes, file.name, song.kind, song.skip, song.length) : null;
				if (n === chosen.music) {
					music = m;
					musicname = file.name;
					$('musicname').textContent = file.name;
					$('musicdefault').hidden = false;
					say(`Music: ${file.name}`);
				}
			} else {
				const pic = await ownpicture(file, () => n !== chosen.picture);
				if (n === chosen.picture) {
					picture = pic;
					const img = $('picpreview');
					if (img.src)
						URL.revokeObjectURL(img.src);
					img.src = URL.createObjectURL(file);
					img.alt = `your picture: ${file.name}`;
					img.hidden = $('picdefault').hidden = false;
					say(`Picture: ${file.name}`);
				}
			}
		} catch (e) {
			say(`${e.message}; the show keeps ${audiofile ? 'its music' : 'its picture'}.`);
		}
		reading--;
		controls();
	}

	// The show rendered into a video file, frame k at k * 1000 / savefps ms
	// up to the first frame at or after the show's end, as the native
	// capture draws it, with the picture, the music and the seed of the
	// menu: drawn by an instance of the module of its own, encoded and put in
	// its file in a worker of save.js's, where a hidden tab doesn't slow it,
	// and handed to the browser to save, each save under a name of its own.
	// The progress bar follows every report; the status, which a screen
	// reader announces, changes at each quarter. Nothing leaves the viewer's
	// machine.
	async function save() {
		if (saving || !picture || reading || !window.brindlewocksave || brindlewocksave.unable)
			return;
		saving = new AbortController();
		controls();
		root.dataset.save = 'saving';
		$('save').hidden = true;
		$('cancel').hidden = false;
		$('cancel').focus();
		const bar = $('progress');
		bar.value = 0;
		bar.style.visibility = 'visible';
		bar.setAttribute('aria-label', 'Video made');
		say('Making the video…');
		const t0 = performance.now();
		const seedof = shownseed;
		let making = '', said = 0;
		try {
			const made = await brindlewocksave.save({
				module: wasmmodule, picture, seed: seedof, music, fps: savefps, until: lastms, signal: saving.signal,
				file(format) {
					making = format;
					say(`Making the video (${format})…`);
				},
				progress(k, n) {
					bar.value = k / n;
					const quarter = Math.floor(4 * k / n);
					if (quarter > said && k < n) {
						said = quarter;
						say(`Making the video (${making}): ${25 * quarter} %`);
					}
				},
			});
			saves++;
			const name = `brindlewock-${seedof}${saves > 1 ? `-${saves}` : ''}.${made.ext}`;
			const a = document.createElement('a');
			a.href = URL.createObjectURL(made.blob);
			a.download = name;
			document.body.append(a);
			a.click();
			a.remove();
			setTimeout(() => URL.revokeObjectURL(a.href), revokeafter);
			const seconds = (performance.now() - t0) / 1000;
			window.brindlewock.saved = { name, format: made.format, bytes: made.blob.size, seconds };
			say(`Saved ${name}: ${made.format}, ${(made.blob.size / 1e6).toFixed(1)} MB, made in ${seconds.toFixed(1)} s.`);
			root.dataset.save = 'saved';
		} catch (e) {
			if (saving.signal.aborted) {
				say('The video was cancelled.');
				root.dataset.save = 'cancelled';
			} else {
				console.error('brindlewock: no video:', e);
				say(`The video can't be made: ${e.message}`);
				root.dataset.save = 'failed';
			}
		}
		saving = null;
		bar.style.visibility = 'hidden';
		bar.setAttribute('aria-label', 'Loaded');
		$('save').hidden = false;
		$('cancel').hidden = true;
		controls();
		$('save').focus();
	}

	function listen() {
		$('play').addEventListener('click', play);
		$('again').addEventListener('click', play);
		$('retry').addEventListener('click', () => location.reload());
		$('stop').addEventListener('click', end);
		$('full').addEventListener('click', togglefull);
		$('showfull').addEventListener('click', togglefull);
		$('save').addEventListener('click', save);
		$('cancel').addEventListener('click', () => saving && saving.abort());
		$('picchoose').addEventListener('click', () => $('picfile').click());
		$('musicchoose').addEventListener('click', () => $('musicfile').click());
		for (const id of ['picfile', 'musicfile'])
			$(id).addEventListener('change', e => {
				choose(e.target.files[0], id === 'musicfile');
				e.target.value = '';
			});
		$('picdefault').addEventListener('click', () => {
			picture = defaultpic;
			chosen.picture++;
			$('picpreview').hidden = $('picdefault').hidden = true;
			say('Picture: the default one');
			$('picchoose').focus();
		});
		$('musicdefault').addEventListener('click', () => {
			music = defaultmusic;
			musicname = '';
			chosen.music++;
			$('musicname').textContent = '';
			$('musicdefault').hidden = true;
			say('Music: the default one');
			$('musicchoose').focus();
		});
		// files dropped on the menu: the files themselves are in
		// dataTransfer.files (its items are the dragged things' kinds)
		addEventListener('dragover', e => e.preventDefault());
		addEventListener('drop', e => {
			e.preventDefault();
			const st = root.dataset.state;
			if ((st === 'ready' || st === 'ended') && !saving)
				for (const f of e.dataTransfer.files)
					choose(f, f.type.startsWith('audio/') || /\.(ogg|oga|opus|mp3|wav|flac|m4a|aac|weba)$/i.test(f.name));
		});
		addEventListener('keydown', e => {
			if ((e.key === 'f' || e.key === 'F') && !e.repeat && !e.ctrlKey && !e.metaKey && !e.altKey) {
				e.preventDefault();
				togglefull();
			}
		});
		// the native show ends on the release of Escape, not its press
		addEventListener('keyup', e => {
			if (e.key === 'Escape')
				end();
		});
		addEventListener('mousemove', () => {
			root.classList.add('moved');
			clearTimeout(idle);
			idle = setTimeout(() => root.classList.remove('moved'), idlems);
		});
		document.addEventListener('fullscreenchange', fullchange);
		document.addEventListener('DOMContentLoaded', controls);
		// back from a hidden or frozen page, the audio device is woken, and
		// the clock, which follows the music, catches up with it
		document.addEventListener('visibilitychange', wake);
		document.addEventListener('resume', wake);
		addEventListener('pageshow', wake);
		addEventListener('focus', wake);
	}

	// the still at show time ?t= of a new show with the seed, alone on the page
	async function still() {
		root.dataset.mode = 'still';
		const v = params.get('t');
		const ms = /^\d+$/.test(v) ? Math.min(Number(v), lastms) : 0;
		await loadmodule();
		await loadpicture();
		topicture(wasm, picture);
		wasm.webstart(seed());
		wasm.webstill(ms);
		present();
		state('still');
	}

	// the show's frames on a clock of benchfps frames a second from a cold
	// fire and seed 1, as bench/showframes draws them natively, timed in runs
	// of benchrun frames (the browser's clock ticks in steps too coarse for
	// one); the median and the mean time of a frame go to the title and to
	// window.brindlewock.bench
	async function bench() {
		$('play').hidden = true;
		await loadmodule();
		await loadpicture();
		topicture(wasm, picture);
		loading(null);
		say('Measuring…');
		wasm.webstart(1);
		const runs = [];
		let frames = 0, total = 0, over = false;
		while (!over) {
			const t0 = performance.now();
			let n = 0;
			for (; n < benchrun && !over; n++)
				over = wasm.webover(wasm.webframe(Math.floor(frames++ * 1000 / benchfps)));
			const t = performance.now() - t0;
			total += t;
			runs.push(t / n);
			if (runs.length % benchslice === 0) {
				present();
				await new Promise(r => setTimeout(r));
			}
		}
		present();
		const sorted = runs.slice().sort((a, b) => a - b);
		const median = sorted[sorted.length >> 1];
		const mean = total / frames;
		const p0 = performance.now();
		for (let i = 0; i < benchpresent; i++)
			present();
		const presenting = (performance.now() - p0) / benchpresent;
		window.brindlewock.bench = { median, mean, frames, presenting };
		const text = `a frame's work: median ${median.toFixed(3)} ms, mean ${mean.toFixed(3)} ms over ${frames} frames; presenting it ${presenting.toFixed(3)} ms`;
		document.title = `brindlewock bench: ${text}`;
		say(text);
		state('benched');
	}

	// Play is ready once the module and the picture are in; the music goes
	// on loading behind it
	async function show() {
		$('seed').textContent = shownseed;
		if (!window.brindlewockfiles)
			say('Loading…');
		listen();
		$('full').disabled = false;
		await loadmodule();
		await loadpicture();
		if (!window.brindlewockfiles)
			loading(null);
		const musicdone = loadmusic();
		if (!window.brindlewockfiles)
			say('');
		state('ready');
		controls();
		$('play').focus();
		await musicdone;
		if (window.brindlewockfiles)
			await new Promise(r => document.readyState === 'loading' ? document.addEventListener('DOMContentLoaded', r) : r());
		loading(null);
		if ($('status').textContent.startsWith('Loading'))
			say('');
	}

	// for tests and the curious: the show time of the frame on the screen,
	// the music's state, a time the stepped clock stops at, the files of the
	// show, the bytes of the page's files loaded, and the last video saved
	window.brindlewock = {
		get elapsed() { return elapsed; },
		get sound() { return sound; },
		hold: Infinity,
		lag,
		get last() { return last; },
		get playing() { return playing; },
		get picture() { return picture; },
		get music() { return music && { name: musicname || 'musa.ogg', seconds: music.duration }; },
		get loaded() { return window.brindlewockloaded || loaded; },
		saved: null,
	};
	const run = params.has('t') ? still : params.has('bench') ? bench : show;
	run().catch(e => {
		console.error('brindlewock:', e);
		root.dataset.mode = '';
		$('menu').hidden = false;
		$('play').hidden = true;
		$('retry').hidden = false;
		$('retry').focus();
		loading(null);
		say(`The show can't start: ${e.message}`);
		state('error');
	});
})();

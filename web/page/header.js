// What a picture's header says, read before anything decodes it: its
// kind, its size as stored, and its EXIF orientation (1 to 8) with the
// place of that number in the file; a file of no kind the page reads,
// or one whose header runs short, throws in words. Every field is the
// file's own, so every offset is checked against its length.
export function pictureheader(b) {
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

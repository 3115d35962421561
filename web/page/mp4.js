// An MP4 (M4A) song's AAC, as frames a decoder takes alone.

const maxmoov = 64 << 20;         // bytes of the largest MP4 index ('moov') read

// An MP4 (M4A) song's AAC as ADTS frames, as far as musickeep s: its
// first sound track's samples found through its sample tables, each
// given the header that lets a decoder take it alone. Null for what
// this can't do (no AAC, an explicit rate, a missing table), which is
// then read whole.
export async function mp4adts(file, musickeep) {
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

// A song's first bytes as far as the show plays it, and its decoding.
import { mp4adts } from './mp4.js';

const musickinds = 'MP3, AAC (M4A), Opus, Vorbis, FLAC and WAV, as far as this browser decodes them';
const readstep = 1 << 20;         // bytes of a song read at a time while its frames are walked
const mp3search = 65536;          // bytes searched for an MP3 frame past a tag or damage
// an MP3 frame's bit rate in kbit/s by its index: MPEG-1 layers I, II and
// III, then MPEG-2 and 2.5 layer I, and layers II and III
const mp3rates = [
	[32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448],
	[32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384],
	[32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320],
	[32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256],
	[8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160],
];

// A song's first bytes as far as the show plays it: a file's bytes read
// in steps of readstep and cut after the frame or page that reaches
// musickeep s, for the kinds whose frames can be walked without decoding
// them (MP3, Ogg's Vorbis and Opus, FLAC and WAV), so that a two-hour
// song costs what a short one does; any other kind is read whole.
// Returns { kind, bytes } with the kind's name, '' for one not known.
export async function songbytes(file, musickeep) {
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
		const adts = await mp4adts(file, musickeep);
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

// decoded in a context that needs no gesture; an AudioBuffer plays in any
// context
export async function decodemusic(bytes, name, kind, skip = 0, length = Infinity) {
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

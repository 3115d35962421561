// The files beside the page, or inside it, and the progress of their loading.
import { $, say } from './states.js';

export const loaded = { got: 0, total: 0 }; // the bytes of the files fetched beside the page

// a file's bytes: from the page itself when it carries them (the single
// file, brindlewock.html, whose own script shows them arriving, as soon as
// the last of them is in), else fetched beside it, reporting bytes as they
// come; errors name the file
export async function load(name, progress = loading) {
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

// the bytes loaded so far of the file loading, on the start screen; null
// when all are in. The single file's own script shows its bytes arriving
// until the page is whole.
export function loading(name, got, size) {
	const bar = $('progress');
	bar.style.visibility = name ? 'visible' : 'hidden';
	if (!name)
		return;
	bar.value = got / size;
	const kb = n => Math.round(n / 1024);
	say(`Loading ${name}: ${kb(got)} of ${kb(size)} KB`);
}

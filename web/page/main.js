// The page's side of the web build: loads the show's module, the picture and
// the music, and is the show's clock, events, sound and display. esbuild
// bundles this file and its parts into the page's script, brindlewock.js.
//
//   index.html                the show: a start screen, then the show with music
//   index.html?seed=N         the same with the fire's seed N
//   index.html?t=MS&seed=N    the still at show time MS, without sound
//   index.html?bench          the median time of a frame's work
//
// The page's state is in <html data-state>, its moves in states.js; a video
// being saved in <html data-save>: saving, then saved, cancelled or failed.
//
//   states.js    the states and their moves, what the next show plays, the controls' state
//   controls.js  the buttons, keys and drops, a viewer's own files chosen
//   player.js    the module, the music, the clock, a show from Play to its end
//   load.js      the page's files, with their progress
//   header.js    a picture's header; fit.js its fitting
//   song.js      a song's cutting and decoding; mp4.js an M4A's
//   saving.js    Save video's button (save.js and saveworker.js make the video)
import { $, root, params, page, go, seed, controls, say } from './states.js';
import { load, loaded, loading } from './load.js';
import { player, loadmodule, usepicture, present, begin, lag } from './player.js';
import { decodepicture } from './fit.js';
import { decodemusic } from './song.js';
import { listen } from './controls.js';

const benchfps = 60;              // the bench draws the show's frames at this rate ...
const benchrun = 10;              // ... timing this many at a time ...
const benchslice = 10;            // ... and this many runs between looks at the page
const benchpresent = 50;          // times the bench presents a frame, to time that too

async function loadpicture() {
	const bytes = await load('galleri.jpg');
	page.picture = page.defaultpic = await decodepicture(new Blob([bytes]), 'galleri.jpg');
}

// the default music, loaded after the module and the picture so that Play is
// ready without it; without it the show runs silently, as the native one does
async function loadmusic() {
	try {
		page.defaultmusic = await decodemusic(await load('musa.ogg'), 'musa.ogg');
		if (!page.music)
			page.music = page.defaultmusic;
		if ($('status').textContent.startsWith('Loading'))
			say('');
	} catch (e) {
		console.warn('brindlewock: no music:', e.message);
		say(`Without sound: ${e.message}.`);
	}
	page.musicloaded = true;
	controls();
	if (root.dataset.state === 'waiting')
		begin();
}

// the still at show time ?t= of a new show with the seed, alone on the page;
// a later time than the show's length is its end
async function still() {
	root.dataset.mode = 'still';
	const wasm = await loadmodule();
	const v = params.get('t');
	const ms = /^\d+$/.test(v) ? Math.min(Number(v), page.facts.showlen) : 0;
	await loadpicture();
	usepicture(page.picture);
	wasm.webstart(seed());
	wasm.webstill(ms);
	present();
	go('still');
}

// the show's frames on a clock of benchfps frames a second from a cold fire
// and seed 1, as bench/showframes draws them natively, timed in runs of
// benchrun frames (the browser's clock ticks in steps too coarse for one);
// the median and the mean time of a frame go to the title and to
// window.brindlewock.bench
async function bench() {
	$('play').hidden = true;
	const wasm = await loadmodule();
	await loadpicture();
	usepicture(page.picture);
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
	go('benched');
}

// Play is ready once the module and the picture are in; the music goes on
// loading behind it
async function show() {
	$('seed').textContent = page.shownseed;
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
	go('ready');
	controls();
	$('play').focus();
	await musicdone;
	if (window.brindlewockfiles)
		await new Promise(r => document.readyState === 'loading' ? document.addEventListener('DOMContentLoaded', r) : r());
	loading(null);
	if ($('status').textContent.startsWith('Loading'))
		say('');
}

// for tests and the curious: the show time of the frame on the screen, the
// music's state, a time the stepped clock stops at, the files of the show,
// the bytes of the page's files loaded, and the last video saved
window.brindlewock = {
	get elapsed() { return player.elapsed; },
	get sound() { return player.sound; },
	hold: Infinity,
	lag,
	get last() { return player.last; },
	get playing() { return player.playing; },
	get picture() { return page.picture; },
	get music() { return page.music && { name: page.musicname || 'musa.ogg', seconds: page.music.duration }; },
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
	go('error');
});

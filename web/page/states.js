// The page's states, in <html data-state>, and the moves between them; what
// the next show plays and what the page is busy with; the controls, enabled
// by them; and the lines the page speaks to the viewer.
export const $ = id => document.getElementById(id);
export const root = document.documentElement;
export const params = new URLSearchParams(location.search);

// from each state, the states the page may go to: loading (the module and
// the picture), ready, waiting (for the music, after Play), starting (the
// clock's start delay), running, ended; a still or the bench alone on the
// page; error, when the show can't start
const moves = {
	loading: ['ready', 'still', 'benched', 'error'],
	ready: ['waiting', 'starting', 'error'],
	waiting: ['starting', 'error'],
	starting: ['running', 'ended'],
	running: ['ended'],
	ended: ['starting'],
	still: [],
	benched: [],
	error: [],
};

export const state = () => root.dataset.state;
export const can = s => moves[state()].includes(s);

// a move not in the table is a fault of the page's own
export function go(s) {
	if (!can(s))
		throw new Error(`the page can't go from ${state()} to ${s}`);
	root.dataset.state = s;
}

// The seed: ?seed=N, else the time in seconds, as the native show seeds its
// generator with time(NULL)
export function seed() {
	const v = params.get('seed');
	if (v !== null && /^\d+$/.test(v))
		return Number(BigInt(v) % 4294967296n);
	return Math.floor(Date.now() / 1000) >>> 0;
}

// what the page holds between its parts
export const page = {
	facts: null,                  // the show's facts, the module's (player.js)
	picture: null,                // the picture the next show burns: { w, h, rgba, name }
	defaultpic: null,             // galleri.jpg decoded
	music: null,                  // the music the next show plays; null without it
	musicname: '',                // its file's name; '' for the default music
	defaultmusic: null,           // musa.ogg decoded
	musicloaded: false,           // musa.ogg decoded or given up
	reading: 0,                   // chosen files being decoded
	chosen: { picture: 0, music: 0 }, // the number of the latest choice of each
	saving: null,                 // the AbortController of the video being made
	shownseed: seed(),            // the seed on the menu: the next video's, the last show's
};

// The controls work once the module and the picture are in (Fullscreen as
// soon as the script runs), and not while a chosen file is read or a video
// made; Save video needs the music in, the part of the page that makes
// videos, and the browser's video encoder.
export function controls() {
	const busy = !page.facts || !page.picture || page.reading > 0 || page.saving !== null || state() === 'waiting';
	for (const id of ['play', 'again', 'picchoose', 'musicchoose', 'picdefault', 'musicdefault'])
		$(id).disabled = busy;
	const saver = window.brindlewocksave && typeof VideoEncoder === 'function' && !brindlewocksave.unable;
	$('save').disabled = busy || !page.musicloaded || !saver;
	if (!window.brindlewocksave && document.readyState !== 'loading')
		$('save').textContent = 'Save video (not in this build of the page)';
	else if (typeof VideoEncoder !== 'function')
		$('save').textContent = 'Save video (this browser can\'t encode video)';
	else if (window.brindlewocksave && brindlewocksave.unable)
		$('save').textContent = `Save video (${brindlewocksave.unable})`;
}

export function say(text) {
	$('status').textContent = text;
}

export function notice(text) {
	$('notice').textContent = text;
}

// said to a screen reader alone
export function announce(text) {
	$('announce').textContent = text;
}

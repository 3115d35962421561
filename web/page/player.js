// The player: the show's module, its screen on the canvas, the music (Web
// Audio) and the show's clock, which follows the music while it plays. Each
// frame is the module's: webframe() runs the show's own frame code for a
// clock reading, webpresent() hands back the screen for the canvas.
import { $, root, params, page, state, can, go, seed, controls, notice, announce } from './states.js';
import { load } from './load.js';
import { topicture } from './fit.js';

const audiopoll = 10;             // ms between looks at a starting audio device ...
const audioreport = 0.5;          // ... until it has played this many s without telling when
const reportage = 1000;           // ms: the oldest report of the audio device's taken
const audiogiveup = 3000;         // ms without a running audio device before the viewer is told

// for tests: ?speed=N runs the show's clock and its music N times as fast;
// ?step=MS makes the clock go on by MS a frame, silently (in whole steps of
// the show, once the module has told them)
const speed = Math.max(Number(params.get('speed')) || 1, 1);
const canvas = $('screen');
const paint = canvas.getContext('2d', { alpha: false });

let wasm;                         // the exports of the page's instance of the module
let image;                        // the screen's RGBA bytes in the module's memory, as an ImageData
let inmodule = null;              // the picture written into the module
let audio = null;                 // the AudioContext, made on the first play
let voice = null;                 // the music playing
let musicat = 0;                  // the audio context's time when the music's start would be heard
let showstart = 0;                // performance.now() when the show's clock started
let lastclock = 0;                // the show's clock at the last frame: it never goes back
let step = 0;                     // ms the stepped clock goes on by a frame; 0 for the real one

// what the tests and the curious read (window.brindlewock)
export const player = {
	module: null,                 // the module, compiled, for Save video's own instance
	elapsed: 0,                   // the show time of the last frame drawn
	sound: 'none',                // the music: none, waiting (for the audio device) or started
	last: null,                   // lag() as the last show ended
	playing: null,                // the files of the show running or last run: { picture, music }
};

// a new instance of the module, ready for its calls
async function instance() {
	const m = (await WebAssembly.instantiate(player.module, {})).exports;
	m._initialize();
	return m;
}

// the module, and with it the show's facts, which it alone knows
export async function loadmodule() {
	player.module = await WebAssembly.compile(await load('brindlewock.wasm'));
	wasm = await instance();
	const facts = {};
	for (const name of ['scrw', 'scrh', 'showlen', 'steplen', 'startdelay', 'fitw', 'fith', 'maxside', 'maxfile', 'maxmusic'])
		facts[name] = wasm[`web${name}`]();
	page.facts = facts;
	canvas.width = facts.scrw;
	canvas.height = facts.scrh;
	step = Math.max(Math.round((Number(params.get('step')) || 0) / facts.steplen) * facts.steplen, 0);
	return wasm;
}

// the picture of the next show into the module, when it is another one
export function usepicture(pic) {
	if (inmodule !== pic) {
		topicture(wasm, pic);
		inmodule = pic;
	}
}

export function present() {
	const { scrw, scrh } = page.facts;
	const p = wasm.webpresent();
	if (!image || image.data.buffer !== wasm.memory.buffer || image.data.byteOffset !== p)
		image = new ImageData(new Uint8ClampedArray(wasm.memory.buffer, p, scrw * scrh * 4), scrw, scrh);
	paint.putImageData(image, 0, 0);
}

function blank() {
	paint.fillStyle = '#000';
	paint.fillRect(0, 0, canvas.width, canvas.height);
}

// the device's latest report of which context time it played when, if it is
// a recent one: some engines report on a clock of their own, and a report
// from before a freeze is stale
function report() {
	const o = audio.getOutputTimestamp ? audio.getOutputTimestamp() : {};
	if (o.performanceTime && audio.state === 'running' && Math.abs(performance.now() - o.performanceTime) < reportage)
		return o;
	return null;
}

// the audio context's time of the sound heard at performance.now() t, from
// the device's report, never past what the context has rendered; without
// one, as audiotime0 reckons it
function audiotime(t) {
	const o = report();
	if (o)
		return Math.min(o.contextTime + (t - o.performanceTime) / 1000, audio.currentTime);
	return audiotime0(t);
}

// the same from the time the context renders less the latencies it tells of
// on the way out
function audiotime0(t = performance.now()) {
	const latency = (audio.baseLatency || 0) + (audio.outputLatency || 0);
	return audio.currentTime - latency + (audio.state === 'running' ? (t - performance.now()) / 1000 : 0);
}

// the show's clock in ms at performance.now() t: while the music plays, the
// music's own position, so that the picture stays with it through whatever
// stops the audio device (a hidden or frozen page, a suspended context);
// else the page's clock, which a freeze also holds back
function clock(t) {
	let ms;
	if (player.sound === 'started')
		ms = (audiotime(t) - musicat) * 1000 * speed;
	else
		ms = (t - showstart) * speed;
	return Math.max(lastclock, Math.floor(ms));
}

// the audio device running again when it stopped while the show runs
export function wake() {
	if (audio && voice && audio.state !== 'running' && audio.state !== 'closed')
		audio.resume().catch(() => {});
}

// the music heard from the moment the show's clock reads 0 (or from where
// the clock already is, when the audio device came up late), scheduled once
// the device plays and has told when; the viewer is told when the device
// never comes up
async function startmusic(v) {
	const silent = setTimeout(() => {
		if (voice === v && player.sound === 'waiting')
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
	player.sound = 'started';
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
	player.sound = 'none';
}

// the play request: the audio context made in the gesture, then the show
// begins at once when the music is in, or as soon as it is
export function play() {
	if (!page.picture || page.reading || page.saving)
		return;
	$('menu').hidden = true;
	blank();
	if (!step && (page.music || !page.musicloaded)) {
		try {
			audio = audio || new AudioContext({ latencyHint: 'interactive' });
			audio.resume().catch(() => {});
		} catch (e) {
			console.warn('brindlewock: no sound:', e.message);
			notice(`No sound: ${e.message}`);
		}
	}
	if (!page.musicloaded && !step) {
		go('waiting');
		$('menu').hidden = false;
		controls();
		return;
	}
	begin();
}

// the show's clock starts the module's start delay from now, and the music
// with it
export function begin() {
	const { showlen, steplen, startdelay } = page.facts;
	$('menu').hidden = true;
	usepicture(page.picture);
	page.shownseed = seed();
	$('seed').textContent = page.shownseed;
	if (!wasm.webstart(page.shownseed))
		return;
	player.playing = { picture: page.picture.name, music: page.music ? page.musicname || 'musa.ogg' : null };
	showstart = performance.now() + startdelay;
	player.elapsed = 0;
	lastclock = step ? -steplen : 0;
	notice('');
	root.classList.remove('moved');
	go('starting');
	controls();
	announce(`The show has begun: ${showlen / 1000} seconds. Escape ends it.`);
	if (page.music && audio && !step) {
		try {
			voice = audio.createBufferSource();
			voice.buffer = page.music;
			voice.connect(audio.destination);
			player.sound = 'waiting';
			startmusic(voice);
		} catch (e) {
			console.warn('brindlewock: no sound:', e.message);
			voice = null;
		}
	}
	requestAnimationFrame(tick);
}

// one frame: the clock read once, the frame drawn and shown; the frame at the
// show's length is the last. With ?step=MS (for tests) the clock instead goes
// on by MS each frame, drawing the frames of the still schedule on the way,
// up to brindlewock.hold.
function tick() {
	const st = state();
	if (st !== 'starting' && st !== 'running')
		return;
	const t = performance.now();
	if (t < showstart) {
		requestAnimationFrame(tick);
		return;
	}
	if (st === 'starting')
		go('running');
	if (step) {
		const steplen = page.facts.steplen;
		const to = Math.min(lastclock + step, window.brindlewock.hold);
		for (let ms = lastclock + steplen; ms <= to && !wasm.webover(player.elapsed); ms += steplen) {
			player.elapsed = wasm.webframe(ms);
			lastclock = ms;
		}
	} else {
		lastclock = clock(t);
		player.elapsed = wasm.webframe(lastclock);
	}
	present();
	if (wasm.webover(player.elapsed))
		return end();
	requestAnimationFrame(tick);
}

// the show's clock now, and the music's position heard by the audio
// context's own clock and latencies, both in ms of show time
export function lag() {
	const t = performance.now();
	return {
		clock: clock(t),
		music: player.sound === 'started' ? ((audiotime0() - voice.startat) * speed + voice.offset) * 1000 : null,
		state: audio ? audio.state : null,
	};
}

// the show's end, by itself or asked for; the end screen offers the choices
// again
export function end() {
	if (!can('ended'))
		return;
	player.last = lag();
	stopmusic();
	go('ended');
	$('menu').hidden = false;
	controls();
	announce('The show has ended.');
	$('again').focus();
}

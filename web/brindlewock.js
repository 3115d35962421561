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
// The page's state is in <html data-state>: loading, ready, starting,
// running, ended, still, benched or error.
'use strict';
(() => {
	const scrw = 640, scrh = 480;     // the show's screen
	const startdelay = 500;           // ms from the play request to the music and the clock starting
	const lastms = 75000;             // ms: the latest still asked for is drawn at the show's end
	const benchfps = 60;              // the bench draws the show's frames at this rate ...
	const benchrun = 10;              // ... timing this many at a time ...
	const benchslice = 10;            // ... and this many runs between looks at the page
	const benchpresent = 50;          // times the bench presents a frame, to time that too
	const idlems = 2000;              // ms without mouse moves before the pointer hides again
	const audiopoll = 10;             // ms between looks at a starting audio device ...
	const audioreport = 0.5;          // ... until it has played this many s without telling when

	const params = new URLSearchParams(location.search);
	const root = document.documentElement;
	const canvas = document.getElementById('screen');
	const paint = canvas.getContext('2d', { alpha: false });
	const $ = id => document.getElementById(id);

	let wasm;                         // the module's exports
	let image;                        // the screen's RGBA bytes in the module's memory, as an ImageData
	let music = null;                 // the decoded music; null without it
	let audio = null;                 // the AudioContext, made on the first play
	let voice = null;                 // the music playing
	let sound = 'none';               // the music: none, waiting (for the audio device) or started
	let musicat = 0;                  // the audio device's time when the music's first sample is heard
	let showstart = 0;                // performance.now() when the show's clock started
	let elapsed = 0;                  // the show time of the last frame drawn
	let idle = 0;

	const state = s => { root.dataset.state = s; };

	// the seed: ?seed=N, else the time in seconds, as the native show seeds
	// its generator with time(NULL)
	function seed() {
		const v = params.get('seed');
		if (v !== null && /^\d+$/.test(v))
			return Number(BigInt(v) % 4294967296n);
		return Math.floor(Date.now() / 1000) >>> 0;
	}

	async function fetched(name) {
		const r = await fetch(name);
		if (!r.ok)
			throw new Error(`${name}: ${r.status} ${r.statusText}`);
		return r;
	}

	async function loadmodule() {
		const bytes = await (await fetched('brindlewock.wasm')).arrayBuffer();
		wasm = (await WebAssembly.instantiate(bytes, {})).instance.exports;
		wasm._initialize();
	}

	// the picture's pixels as decoded, without colour management, into the
	// module's picture
	async function loadpicture() {
		const blob = await (await fetched('galleri.jpg')).blob();
		const bitmap = await createImageBitmap(blob, { colorSpaceConversion: 'none', premultiplyAlpha: 'none' });
		const { width: w, height: h } = bitmap;
		const c = document.createElement('canvas');
		c.width = w;
		c.height = h;
		const g = c.getContext('2d', { willReadFrequently: true });
		g.drawImage(bitmap, 0, 0);
		const rgba = g.getImageData(0, 0, w, h).data;
		const p = wasm.webpicture(w, h);
		if (!p)
			throw new Error(`galleri.jpg: ${w} x ${h} pixels is too large`);
		new Uint8Array(wasm.memory.buffer, p, w * h * 4).set(rgba);
	}

	// decoded ahead of the first play, in a context that needs no gesture;
	// an AudioBuffer plays in any context
	async function loadmusic() {
		try {
			const bytes = await (await fetched('musa.ogg')).arrayBuffer();
			music = await new OfflineAudioContext(2, 1, 48000).decodeAudioData(bytes);
		} catch (e) {
			music = null; // as the native show: without its music it runs silently
			console.warn('brindlewock: no music:', e.message);
		}
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

	// the audio context's time of the sound heard at performance.now() t,
	// from the device's report of what it played when; without such reports,
	// from the time the context renders less the latencies on the way out
	function audiotime(t) {
		const o = audio.getOutputTimestamp ? audio.getOutputTimestamp() : {};
		if (o.performanceTime)
			return o.contextTime + (t - o.performanceTime) / 1000;
		const latency = (audio.baseLatency || 0) + (audio.outputLatency || 0);
		return audio.currentTime - latency + (t - performance.now()) / 1000;
	}

	// the music heard from the moment the show's clock reads 0 (or from where
	// the clock already is, when the audio device came up late), scheduled
	// once the device plays and has told when
	async function startmusic(v) {
		try {
			await audio.resume();
			while (voice === v && !(audio.getOutputTimestamp && audio.getOutputTimestamp().performanceTime) && audio.currentTime < audioreport)
				await new Promise(r => setTimeout(r, audiopoll));
		} catch (e) {
			return;
		}
		if (voice !== v)
			return; // the show ended meanwhile
		musicat = audiotime(showstart);
		if (musicat >= audio.currentTime)
			v.start(musicat);
		else
			v.start(0, audio.currentTime - musicat);
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

	// the play request: the show's clock starts startdelay ms later, and the
	// music with it
	function play() {
		if (!wasm.webstart(seed()))
			return;
		$('start').hidden = $('end').hidden = true;
		blank();
		showstart = performance.now() + startdelay;
		elapsed = 0;
		state('starting');
		if (music) {
			try {
				audio = audio || new AudioContext({ latencyHint: 'interactive' });
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
	// the show's length is the last
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
		elapsed = wasm.webframe(Math.floor(t - showstart));
		present();
		if (wasm.webover(elapsed))
			return end();
		requestAnimationFrame(tick);
	}

	function end() {
		stopmusic();
		state('ended');
		$('end').hidden = false;
		$('again').focus();
	}

	function togglefull() {
		if (document.fullscreenElement)
			document.exitFullscreen().catch(() => {});
		else if (root.requestFullscreen)
			root.requestFullscreen().catch(() => {});
	}

	function listen() {
		$('play').addEventListener('click', play);
		$('again').addEventListener('click', play);
		$('full').addEventListener('click', togglefull);
		addEventListener('keydown', e => {
			if ((e.key === 'f' || e.key === 'F') && !e.repeat && !e.ctrlKey && !e.metaKey && !e.altKey) {
				e.preventDefault();
				togglefull();
			}
		});
		// the native show ends on the release of Escape, not its press
		addEventListener('keyup', e => {
			const st = root.dataset.state;
			if (e.key === 'Escape' && (st === 'starting' || st === 'running'))
				end();
		});
		addEventListener('mousemove', () => {
			root.classList.add('moved');
			clearTimeout(idle);
			idle = setTimeout(() => root.classList.remove('moved'), idlems);
		});
	}

	// the still at show time ?t= of a new show with the seed, alone on the page
	async function still() {
		root.dataset.mode = 'still';
		const v = params.get('t');
		const ms = /^\d+$/.test(v) ? Math.min(Number(v), lastms) : 0;
		await loadmodule();
		await loadpicture();
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
		$('status').textContent = 'Measuring…';
		await loadmodule();
		await loadpicture();
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
		$('status').textContent = text;
		state('benched');
	}

	async function show() {
		listen();
		const musicdone = loadmusic();
		await loadmodule();
		await loadpicture();
		await musicdone;
		$('status').textContent = music ? '' : 'Without sound: the music could not be loaded.';
		$('play').disabled = false;
		$('play').focus();
		state('ready');
	}

	// for tests and the curious: the show time of the frame on the screen, and the music's state
	window.brindlewock = {
		get elapsed() { return elapsed; },
		get sound() { return sound; },
		// ms since the show's clock started, and ms of music heard by then
		lag() {
			const t = performance.now();
			return { clock: t - showstart, music: sound === 'started' ? (audiotime(t) - musicat) * 1000 : null };
		},
	};
	const run = params.has('t') ? still : params.has('bench') ? bench : show;
	run().catch(e => {
		console.error('brindlewock:', e);
		root.dataset.mode = '';
		$('start').hidden = false;
		$('play').hidden = true;
		$('status').textContent = `The show can't start: ${e.message}`;
		state('error');
	});
})();

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
	const maxpic = 8192;              // pixels either way of the largest picture decoded
	const boxw = 544, boxh = 304;     // the box a viewer's picture is fitted into
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

	// A picture's pixels as decoded, without colour management, as RGBA
	// bytes; throws with the name for one that can't be decoded. A viewer's
	// own picture is fitted, scaled by the browser's own high-quality
	// resampling, and made ready for the show's colour key: where its alpha
	// is 0 it is black, which the show leaves out, and a black pixel of its
	// own becomes (1, 1, 1), so that a photo's black is drawn rather than
	// punching a hole. The default picture is taken as it is, byte for byte
	// the native show's.
	async function decodepicture(blob, name, own) {
		// a viewer's picture with its alpha premultiplied, as the canvas
		// keeps it anyway: Firefox 153 loses the alpha of one taken without
		// and then scaled
		const raw = own ? { colorSpaceConversion: 'none' } : { colorSpaceConversion: 'none', premultiplyAlpha: 'none' };
		let bitmap;
		try {
			bitmap = await createImageBitmap(blob, raw);
		} catch (e) {
			throw new Error(`${name} can't be read as a picture`);
		}
		const { width: w0, height: h0 } = bitmap;
		if (w0 > maxpic || h0 > maxpic)
			throw new Error(`${name}: ${w0} x ${h0} pixels is too large (${maxpic} at most either way)`);
		const { w, h } = own ? fit(w0, h0) : { w: w0, h: h0 };
		if (w !== w0 || h !== h0)
			bitmap = await createImageBitmap(bitmap, { ...raw, resizeWidth: w, resizeHeight: h, resizeQuality: 'high' });
		const c = document.createElement('canvas');
		c.width = w;
		c.height = h;
		const g = c.getContext('2d', { willReadFrequently: true });
		g.drawImage(bitmap, 0, 0);
		const rgba = g.getImageData(0, 0, w, h).data;
		if (own)
			for (let i = 0; i < rgba.length; i += 4)
				if (rgba[i + 3] === 0)
					rgba[i] = rgba[i + 1] = rgba[i + 2] = 0;
				else if (!rgba[i] && !rgba[i + 1] && !rgba[i + 2])
					rgba[i] = rgba[i + 1] = rgba[i + 2] = 1;
		return { w, h, rgba, name };
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
		picture = defaultpic = await decodepicture(new Blob([bytes]), 'galleri.jpg', false);
	}

	// decoded in a context that needs no gesture; an AudioBuffer plays in any
	// context
	async function decodemusic(bytes, name) {
		try {
			return await new OfflineAudioContext(2, 1, 48000).decodeAudioData(bytes);
		} catch (e) {
			throw new Error(`${name} can't be read as music`);
		}
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
				const m = await decodemusic(await file.arrayBuffer(), file.name);
				if (n === chosen.music) {
					music = m;
					musicname = file.name;
					$('musicname').textContent = file.name;
					$('musicdefault').hidden = false;
					say(`Music: ${file.name}`);
				}
			} else {
				const pic = await decodepicture(file, file.name, true);
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

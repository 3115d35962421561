// Save video's button: the video made by save.js's worker, its progress,
// and the file handed to the browser to save.
import { $, root, page, controls, say } from './states.js';

const savefps = 30;               // frames a second of a saved video
const revokeafter = 60000;        // ms a saved video's address is kept for the browser to save it
let saves = 0;                    // videos saved from this page, each named apart

// The show rendered into a video file, frame k at k * 1000 / savefps ms
// up to the first frame at or after the show's end, as the native
// capture draws it, with the picture, the music and the seed of the
// menu: drawn by an instance of the module of its own, encoded and put in
// its file in a worker of save.js's, where a hidden tab doesn't slow it,
// and handed to the browser to save, each save under a name of its own.
// The progress bar follows every report; the status, which a screen
// reader announces, changes at each quarter. Nothing leaves the viewer's
// machine.
export async function save(module) {
	if (page.saving || !page.picture || page.reading || !window.brindlewocksave || brindlewocksave.unable)
		return;
	page.saving = new AbortController();
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
	const seedof = page.shownseed;
	let making = '', said = 0;
	try {
		const made = await brindlewocksave.save({
			module, picture: page.picture, seed: seedof, music: page.music, fps: savefps, until: page.facts.showlen,
			signal: page.saving.signal,
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
		if (page.saving.signal.aborted) {
			say('The video was cancelled.');
			root.dataset.save = 'cancelled';
		} else {
			console.error('brindlewock: no video:', e);
			say(`The video can't be made: ${e.message}`);
			root.dataset.save = 'failed';
		}
	}
	page.saving = null;
	bar.style.visibility = 'hidden';
	bar.setAttribute('aria-label', 'Loaded');
	$('save').hidden = false;
	$('cancel').hidden = true;
	controls();
	$('save').focus();
}

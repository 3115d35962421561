// What the viewer does: the buttons, the keys, the mouse, a drop of files,
// fullscreen, and the choice of a picture or music of one's own.
import { $, root, page, state, controls, say } from './states.js';
import { player, play, end, wake } from './player.js';
import { ownpicture } from './fit.js';
import { songbytes, decodemusic } from './song.js';
import { save } from './saving.js';

const idlems = 2000;              // ms without mouse moves before the pointer hides again
const musickeep = 2;              // s of a viewer's song decoded past the show's length
let idle = 0;

// Fullscreen toggled by the page; one left otherwise (Escape, which the
// browser takes for itself, or the browser's own controls) ends a running
// show as Escape's release does, so that one Escape leaves fullscreen and
// ends the show in every engine
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
// file that can't be decoded leaves the choice as it was, and while one is
// decoded the status says so and the show waits, Play disabled; of two
// choices of one kind, the later one stands.
async function choose(file, audiofile) {
	if (!file)
		return;
	const kind = audiofile ? 'music' : 'picture';
	const n = ++page.chosen[kind];
	page.reading++;
	controls();
	say(`Reading ${kind}…`);
	try {
		if (audiofile) {
			const song = await songbytes(file, page.facts.showlen / 1000 + musickeep);
			const m = n === page.chosen.music ? await decodemusic(song.bytes, file.name, song.kind, song.skip, song.length) : null;
			if (n === page.chosen.music) {
				page.music = m;
				page.musicname = file.name;
				$('musicname').textContent = file.name;
				$('musicdefault').hidden = false;
				say(`Music: ${file.name}`);
			}
		} else {
			const pic = await ownpicture(file, () => n !== page.chosen.picture);
			if (n === page.chosen.picture) {
				page.picture = pic;
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
	page.reading--;
	controls();
}

export function listen() {
	$('play').addEventListener('click', play);
	$('again').addEventListener('click', play);
	$('retry').addEventListener('click', () => location.reload());
	$('stop').addEventListener('click', end);
	$('full').addEventListener('click', togglefull);
	$('showfull').addEventListener('click', togglefull);
	$('save').addEventListener('click', () => save(player.module));
	$('cancel').addEventListener('click', () => page.saving && page.saving.abort());
	$('picchoose').addEventListener('click', () => $('picfile').click());
	$('musicchoose').addEventListener('click', () => $('musicfile').click());
	for (const id of ['picfile', 'musicfile'])
		$(id).addEventListener('change', e => {
			choose(e.target.files[0], id === 'musicfile');
			e.target.value = '';
		});
	$('picdefault').addEventListener('click', () => {
		page.picture = page.defaultpic;
		page.chosen.picture++;
		$('picpreview').hidden = $('picdefault').hidden = true;
		say('Picture: the default one');
		$('picchoose').focus();
	});
	$('musicdefault').addEventListener('click', () => {
		page.music = page.defaultmusic;
		page.musicname = '';
		page.chosen.music++;
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
		const st = state();
		if ((st === 'ready' || st === 'ended') && !page.saving)
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
	// back from a hidden or frozen page, the audio device is woken, and the
	// clock, which follows the music, catches up with it
	document.addEventListener('visibilitychange', wake);
	document.addEventListener('resume', wake);
	addEventListener('pageshow', wake);
	addEventListener('focus', wake);
}

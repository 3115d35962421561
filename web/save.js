// The page's "Save video": the show's frames drawn by an instance of its
// module of its own and encoded with the music by the browser's own encoders
// (WebCodecs) into a video file by mediabunny, the muxer from npm, all in a
// dedicated worker (saveworker.js), where a hidden tab's throttling of its
// timers doesn't reach; nothing is sent anywhere. The build bundles this
// file, the worker's part and mediabunny into build/web/save.js (esbuild),
// which the page loads after its own script and the single file carries
// inline. The same script is the worker: started from its own address, or
// in the single file, where it has none, from a blob: address made of its
// own text. The page calls
//
//   brindlewocksave.save({ module, picture, seed, music, fps, until, progress, file, signal })
//
// module is the show's compiled WebAssembly.Module, picture { w, h, rgba },
// music an AudioBuffer or null; progress(k, n) is told of frames done, and
// file(format) of what is made once the worker knows; signal (an
// AbortSignal) cancels, ending the worker at once. It resolves to
// { blob, ext, format }. brindlewocksave.settings, for measurements, are
// what the worker encodes with (saveworker.js); brindlewocksave.unable says
// why this browser can't make a video, or is null.
import { work, settings } from './saveworker.js';

const maxchannels = 2;             // channels of music handed over at most

// the script's own source, for the worker: its address, else its text
const me = typeof document !== 'undefined' ? document.currentScript : null;
let source = null;
function workersource() {
	if (!source)
		source = me.src || URL.createObjectURL(new Blob([me.textContent], { type: 'text/javascript' }));
	return source;
}

function save({ module, picture, seed, music, fps, until, progress, file, signal }) {
	return new Promise((resolve, reject) => {
		signal.throwIfAborted();
		const worker = new Worker(workersource());
		const stop = () => {
			worker.terminate();
			reject(signal.reason);
		};
		signal.addEventListener('abort', stop, { once: true });
		const finish = () => {
			signal.removeEventListener('abort', stop);
			worker.terminate();
		};
		worker.onmessage = e => {
			const d = e.data;
			if (d.file)
				file(d.file);
			else if (d.done)
				progress(d.done, d.of);
			else if (d.buffer) {
				finish();
				resolve({ blob: new Blob([d.buffer], { type: d.type }), ext: d.ext, format: d.format });
			} else if (d.error) {
				finish();
				reject(new Error(d.error));
			}
		};
		worker.onerror = e => {
			finish();
			reject(new Error(e.message || 'the worker making the video failed'));
		};
		// the music's samples, copied: the page keeps its own for the show
		const channels = music ? Array.from({ length: Math.min(music.numberOfChannels, maxchannels) },
			(_, c) => music.getChannelData(c).slice()) : null;
		const rgba = picture.rgba.slice();
		worker.postMessage({
			module, picture: { w: picture.w, h: picture.h, rgba }, seed, fps, until, settings,
			music: channels && { rate: music.sampleRate, channels },
		}, [rgba.buffer, ...(channels || []).map(c => c.buffer)]);
	});
}

// Why this browser can't save a video true to the show, or null. WebKitGTK
// (and WPE; 2.50 with GStreamer's encoders): its page's process dies as
// soon as the muxer's audio encoding starts, in the page or in a worker
// alike, and its VP8 and VP9 encoders take no bitrate, giving 0.03 to
// 0.45 Mbit/s and 19 to 21 dB where the show's frames need 25 to 28: the
// page says so instead of offering it. Its user agent is WebKit's on Linux.
const ua = typeof navigator === 'undefined' ? '' : navigator.userAgent;
const unable = /AppleWebKit/.test(ua) && /Linux/.test(ua) && !/Chrom|Android|Edg|Firefox/.test(ua)
	? 'this browser\'s encoders lose the music and most of the picture' : null;

if (typeof document === 'undefined')
	work();
else
	window.brindlewocksave = { save, settings, unable };

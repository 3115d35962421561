// "Save video"'s work, in a dedicated worker of its own: an instance of the
// show's module draws the frames, the browser's encoders (WebCodecs, which
// workers have) encode them and the music, and mediabunny puts them into a
// file. A hidden tab throttles its page's timers and frames, not this: the
// loop here waits only on the encoders, never on a timer. save.js starts it
// and relays what it says; nothing is sent anywhere.
//
// The page posts one message:
//
//   { module, picture: { w, h, rgba }, seed, music: { rate, channels } | null,
//     fps, until, settings }
//
// module is the show's compiled WebAssembly.Module, channels the music's
// samples (Float32Arrays, at most two); frame k is the show at
// k * 1000 / fps ms, up to the first at or after until ms. The worker answers
// { file } once it knows what it makes, { done: k, of: n } now and then,
// and at last { buffer, ext, type, format } or { error }.
import {
	Output, Mp4OutputFormat, WebMOutputFormat, BufferTarget, VideoSampleSource, AudioSampleSource,
	VideoSample, AudioSample, Quality, canEncodeVideo, canEncodeAudio,
} from 'mediabunny';

// What each video codec is encoded at: the smallest bitrate measured whose
// frames at 10, 30 and 50 s keep within 2 dB of what 4:2:0 colour alone
// allows against the native frames (27.6, 27.4 and 24.4 dB PSNR, seed 7)
// in each engine that encodes the codec, with room for another machine's
// encoder (README: Save video). WebCodecs' latencyMode "quality": its
// "realtime" was no faster for Chromium's H.264; VP8, the last resort,
// stays real-time, where Chromium's "quality" took 408 s on a loaded
// machine.
export const settings = {
	avc: { bitrate: 1.5e6 },
	vp9: { bitrate: 1.5e6 },
	vp8: { bitrate: 4e6, latency: 'realtime' },
	latency: 'quality',
	codecs: ['avc', 'vp9', 'vp8'], // the video codecs tried, in this order
	keyframes: 2,                 // s between key frames
	audiobitrate: 160e3,          // bits a second of music
	progress: 100,                // reports of progress over the whole video
};
const maxchannels = 2;            // channels of music encoded at most

// the files, best first: MP4 with H.264 wherever the browser encodes it
// (with AAC where it encodes that, else Opus), else WebM with VP9 or VP8
// and Opus
const files = [
	{ ext: 'mp4', type: 'video/mp4', video: 'avc', audio: ['aac', 'opus'], muxer: () => new Mp4OutputFormat({ fastStart: 'in-memory' }) },
	{ ext: 'webm', type: 'video/webm', video: 'vp9', audio: ['opus'], muxer: () => new WebMOutputFormat() },
	{ ext: 'webm', type: 'video/webm', video: 'vp8', audio: ['opus'], muxer: () => new WebMOutputFormat() },
];
const names = { avc: 'H.264', vp9: 'VP9', vp8: 'VP8', aac: 'AAC', opus: 'Opus' };

function quality(codec) {
	const s = settings[codec];
	return s.quantizer !== undefined ? new Quality({ quantizer: s.quantizer, bitrate: s.bitrate }) : s.bitrate;
}

// the first file whose video the browser encodes, with the first audio
// codec of it that the browser encodes, or silent; its name for the viewer
// says what it holds
async function choose(width, height, fps, channels) {
	for (const f of settings.codecs.map(c => files.find(f => f.video === c))) {
		if (!await canEncodeVideo(f.video, { width, height, bitrate: quality(f.video), frameRate: fps }))
			continue;
		let audio = null;
		if (channels)
			for (const a of f.audio)
				if (await canEncodeAudio(a, { numberOfChannels: channels, sampleRate: 48000, bitrate: settings.audiobitrate })) {
					audio = a;
					break;
				}
		const format = `${f.ext === 'mp4' ? 'MP4' : 'WebM'}, ${names[f.video]}${audio ? ` and ${names[audio]}` : channels ? ', without sound (this browser encodes no audio for it)' : ', without sound'}`;
		return { ...f, audio, format };
	}
	throw new Error('this browser can encode none of H.264, VP9 and VP8');
}

// the module's instance, its picture written and its show started
async function start(module, picture, seed) {
	const m = (await WebAssembly.instantiate(module, {})).exports;
	m._initialize();
	const p = m.webpicture(picture.w, picture.h);
	if (!p)
		throw new Error(`a picture of ${picture.w} x ${picture.h} pixels can't be taken`);
	new Uint8Array(m.memory.buffer, p, picture.w * picture.h * 4).set(picture.rgba);
	if (!m.webstart(seed))
		throw new Error('the show would not start');
	return m;
}

// the music's samples from a to b, its channels one after another
function samples(music, channels, a, b) {
	const out = new Float32Array((b - a) * channels);
	for (let c = 0; c < channels; c++)
		out.set(music.channels[c].subarray(a, b), c * (b - a));
	return new AudioSample({ data: out, format: 'f32-planar', numberOfChannels: channels, sampleRate: music.rate, timestamp: a / music.rate });
}

async function make({ module, picture, seed, music, fps, until }) {
	const width = 640, height = 480;
	const m = await start(module, picture, seed);
	const channels = music ? Math.min(music.channels.length, maxchannels) : 0;
	const file = await choose(width, height, fps, channels);
	postMessage({ file: file.format });
	const output = new Output({ format: file.muxer(), target: new BufferTarget() });
	const video = new VideoSampleSource({
		codec: file.video, bitrate: quality(file.video), keyFrameInterval: settings.keyframes,
		latencyMode: settings[file.video].latency || settings.latency,
	});
	output.addVideoTrack(video, { frameRate: fps });
	let audio = null;
	if (file.audio) {
		audio = new AudioSampleSource({ codec: file.audio, bitrate: settings.audiobitrate });
		output.addAudioTrack(audio);
	}
	await output.start();
	// frame k at k * 1000 / fps ms up to the first at or after until, as the
	// native capture draws them; the music from the show's start, each
	// frame's time of it with the frame
	const frames = Math.ceil(until * fps / 1000) + 1;
	const every = Math.max(1, Math.floor(frames / settings.progress));
	let heard = 0;
	for (let k = 0, last = false; !last; k++) {
		const elapsed = m.webframe(Math.floor(k * 1000 / fps));
		last = m.webover(elapsed);
		// the VideoFrame copies the pixels, which the next frame overwrites
		const picture = new VideoFrame(new Uint8Array(m.memory.buffer, m.webpresent(), width * height * 4), {
			format: 'RGBX', codedWidth: width, codedHeight: height,
			timestamp: Math.round(k * 1e6 / fps), duration: Math.round(1e6 / fps),
		});
		const sample = new VideoSample(picture);
		await video.add(sample);
		sample.close();
		picture.close();
		if (audio) {
			const upto = Math.min(Math.round((k + 1) * music.rate / fps), music.channels[0].length);
			if (upto > heard) {
				const s = samples(music, channels, heard, upto);
				await audio.add(s);
				s.close();
				heard = upto;
			}
		}
		if ((k + 1) % every === 0 || last)
			postMessage({ done: k + 1, of: frames });
	}
	video.close();
	if (audio)
		audio.close();
	await output.finalize();
	const buffer = output.target.buffer;
	postMessage({ buffer, ext: file.ext, type: file.type, format: file.format }, [buffer]);
}

export function work() {
	onmessage = async e => {
		Object.assign(settings, e.data.settings || {});
		try {
			await make(e.data);
		} catch (err) {
			postMessage({ error: err && err.message ? err.message : String(err) });
		}
	};
}

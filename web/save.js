// The page's "Save video": frames and music encoded by the browser's own
// encoders (WebCodecs) and put into a video file by mediabunny, the muxer
// from npm, all in the page; nothing is sent anywhere. The build bundles this
// file with mediabunny into build/web/save.js (esbuild), which the page loads
// after its own script and the single file carries. The page draws the
// frames with the show's own module and calls
//
//   brindlewocksave.save({ width, height, fps, frame, music, progress, signal })
//
// frame(k) gives frame k's RGBA pixels and whether it is the last; music is an
// AudioBuffer or null; progress(k) is told of each frame done; signal (an
// AbortSignal) cancels. It resolves to { blob, ext, format }.
import {
	Output, Mp4OutputFormat, WebMOutputFormat, BufferTarget, VideoSampleSource, AudioSampleSource,
	VideoSample, AudioSample, canEncodeVideo, canEncodeAudio,
} from 'mediabunny';

const videobitrate = 4e6;             // bits a second of video
const audiobitrate = 160e3;           // bits a second of music
const keyframes = 2;                  // s between key frames
const maxchannels = 2;                // channels of music encoded at most
const yieldms = 40;                   // ms of work at most before the page gets a turn

// the files, best first: H.264 and AAC in MP4 where the browser encodes
// both, else VP8 or VP9 with Opus in WebM. VP8 comes first: in real-time
// mode both Chromium's and Firefox's encoders make it several times as fast
// as the show plays, where Firefox's VP9 is slower than the show.
const files = [
	{ format: 'MP4, H.264 and AAC', ext: 'mp4', type: 'video/mp4', video: 'avc', audio: 'aac', muxer: () => new Mp4OutputFormat({ fastStart: 'in-memory' }) },
	{ format: 'WebM, VP8 and Opus', ext: 'webm', type: 'video/webm', video: 'vp8', audio: 'opus', muxer: () => new WebMOutputFormat() },
	{ format: 'WebM, VP9 and Opus', ext: 'webm', type: 'video/webm', video: 'vp9', audio: 'opus', muxer: () => new WebMOutputFormat() },
];

// the first file whose video (and, with music, whose audio) the browser
// encodes; with music no file's audio can hold, the first it encodes the
// video of, silent
async function choosefile(width, height, fps, channels) {
	const video = async f => canEncodeVideo(f.video, { width, height, bitrate: videobitrate, frameRate: fps });
	const audio = async f => canEncodeAudio(f.audio, { numberOfChannels: channels, sampleRate: 48000, bitrate: audiobitrate });
	for (const f of files)
		if (await video(f) && (!channels || await audio(f)))
			return { ...f, silent: !channels };
	for (const f of files)
		if (await video(f))
			return { ...f, format: f.format.replace(/ and \w+$/, ', without sound'), silent: true };
	throw new Error('this browser can encode none of H.264, VP9 and VP8');
}

// the music's samples from a to b, its channels one after another
function samples(music, channels, a, b) {
	const out = new Float32Array((b - a) * channels);
	for (let c = 0; c < channels; c++)
		out.set(music.getChannelData(c).subarray(a, b), c * (b - a));
	return new AudioSample({ data: out, format: 'f32-planar', numberOfChannels: channels, sampleRate: music.sampleRate, timestamp: a / music.sampleRate });
}

async function save({ width, height, fps, frame, music, progress, signal }) {
	const channels = music ? Math.min(music.numberOfChannels, maxchannels) : 0;
	const file = await choosefile(width, height, fps, channels);
	const output = new Output({ format: file.muxer(), target: new BufferTarget() });
	const video = new VideoSampleSource({ codec: file.video, bitrate: videobitrate, keyFrameInterval: keyframes, latencyMode: 'realtime' });
	output.addVideoTrack(video, { frameRate: fps });
	let audio = null;
	if (!file.silent) {
		audio = new AudioSampleSource({ codec: file.audio, bitrate: audiobitrate });
		output.addAudioTrack(audio);
	}
	await output.start();
	try {
		// the music from the show's start, as the native show's starts with
		// its clock, each frame's time of it with the frame, up to the
		// video's end
		let heard = 0;
		let turn = performance.now();
		for (let k = 0, last = false; !last; k++) {
			signal.throwIfAborted();
			const f = frame(k);
			last = f.last;
			// a VideoFrame copies the pixels, which the next frame overwrites
			const picture = new VideoFrame(f.pixels, {
				format: 'RGBX', codedWidth: width, codedHeight: height,
				timestamp: Math.round(k * 1e6 / fps), duration: Math.round(1e6 / fps),
			});
			const sample = new VideoSample(picture);
			await video.add(sample);
			sample.close();
			picture.close();
			if (audio) {
				const upto = Math.min(Math.round((k + 1) * music.sampleRate / fps), music.length);
				if (upto > heard) {
					const s = samples(music, channels, heard, upto);
					await audio.add(s);
					s.close();
					heard = upto;
				}
			}
			progress(k + 1);
			if (performance.now() - turn > yieldms) {
				await new Promise(r => setTimeout(r));
				turn = performance.now();
			}
		}
		video.close();
		if (audio)
			audio.close();
		await output.finalize();
	} catch (e) {
		await output.cancel();
		throw e;
	}
	return { blob: new Blob([output.target.buffer], { type: file.type }), ext: file.ext, format: file.format };
}

window.brindlewocksave = { save };

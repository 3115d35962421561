// The score: the chords, the melodies and the parts that play them along
// the show's time line.
#include "score.h"

#include <vector>

// the chords, one a bar: three pad notes, the bass root
struct chord {
	int pad[3], root;
};
const chord am{ { 57, 60, 64 }, 45 }, ff{ { 57, 60, 65 }, 41 }, cc{ { 55, 60, 64 }, 48 },
	gg{ { 55, 59, 62 }, 43 }, dm{ { 57, 62, 65 }, 38 }, ee{ { 56, 59, 64 }, 40 };
const chord *const bars[38] = {
	&am, &am, &ff, &ff, &gg,                     // 0-10 s: calm
	&am, &ff, &cc, &gg, &am, &ff, &cc, &gg,      // 10-26 s: rising
	&ee,                                         // 26-28 s: held dominant
	&am, &ff, &dm, &ee, &ff, &ee,                // 28-40 s: the fire
	&am, &ff, &cc, &gg, &am, &ff, &cc, &gg,      // 40-56 s: driving
	&ff, &gg, &ee, &ee,                          // 56-64 s: build
	&am, &ff, &dm, &ee,                          // 64-72 s: the picture is gone
	&am, &am,                                    // 72 s: the end
};

// melody notes: start and length in sixteenths from the bar, MIDI note
struct mnote {
	int start, len, midi;
};
const std::vector<std::vector<mnote>> tune = {
	{ { 0, 4, 69 }, { 4, 2, 72 }, { 6, 2, 76 }, { 8, 6, 74 }, { 14, 2, 72 } },
	{ { 0, 6, 72 }, { 6, 2, 69 }, { 8, 4, 77 }, { 12, 4, 76 } },
	{ { 0, 4, 79 }, { 4, 4, 76 }, { 8, 6, 72 }, { 14, 2, 74 } },
	{ { 0, 6, 74 }, { 6, 2, 71 }, { 8, 4, 71 }, { 12, 4, 74 } },
	{ { 0, 4, 81 }, { 4, 2, 79 }, { 6, 2, 76 }, { 8, 4, 74 }, { 12, 2, 76 }, { 14, 2, 72 } },
	{ { 0, 6, 72 }, { 6, 2, 74 }, { 8, 4, 77 }, { 12, 4, 81 } },
	{ { 0, 4, 79 }, { 4, 4, 84 }, { 8, 6, 79 }, { 14, 2, 76 } },
	{ { 0, 8, 74 }, { 8, 4, 79 }, { 12, 4, 76 } },
};
const std::vector<std::vector<mnote>> firetune = {
	{ { 0, 8, 76 }, { 8, 4, 72 }, { 12, 4, 69 } },
	{ { 0, 12, 72 }, { 12, 4, 77 } },
	{ { 0, 8, 77 }, { 8, 4, 74 }, { 12, 4, 69 } },
	{ { 0, 8, 71 }, { 8, 8, 68 } },
	{ { 0, 8, 69 }, { 8, 8, 72 } },
	{ { 0, 16, 71 } },
};

// plays a melody from t0, a list of notes a bar, shifted by semitones
static void playtune(buses &bus, double t0, const std::vector<std::vector<mnote>> &t, int shift, double vel)
{
	for (size_t b = 0; b < t.size(); b++)
		for (const mnote &n : t[b])
			lead(bus, t0 + b * bar + n.start * six, n.len * six * 0.92, n.midi + shift, vel);
}

// the arpeggio of bar b's chord, a note every step sixteenths
static void arpeggio(buses &bus, int b, int step, double vel, int from = 0, int to = 16)
{
	static const int order[8] = { 0, 1, 2, 3, 2, 1, 3, 2 };
	const chord &c = *bars[b];
	for (int k = from; k < to; k += step) {
		int i = order[(k / step) % 8], m = i == 3 ? c.pad[0] + 24 : c.pad[i] + 12;
		pluck(bus, b * bar + k * six, six * step * 0.8, m, vel * (k % 4 == 0 ? 1 : 0.75), (k / step) % 2 ? 0.4 : -0.4);
	}
}

// the pad holds bar b's chord through the bar
static void chordpad(buses &bus, int b, double vel)
{
	for (int m : bars[b]->pad)
		pad(bus, b * bar, bar, m, vel);
}

// the hit that marks a change of section: a full kick that ducks the synth
// bus by ducking, and a boom and a crash at vel
static void impact(buses &bus, double t0, double ducking, double vel)
{
	kick(bus, t0, 1.0, ducking);
	boom(bus, t0, vel);
	crash(bus, t0, vel);
}

void compose(buses &bus)
{
	// calm: pad swells and a few bell notes
	for (int b = 0; b < 5; b++)
		chordpad(bus, b, 0.5 + 0.05 * b);
	const int bells[][2] = { { 0, 69 }, { 2, 76 }, { 6, 72 }, { 9, 79 }, { 13, 76 }, { 16, 81 }, { 18, 79 }, { 19, 74 } };
	for (auto &n : bells)
		bell(bus, n[0] * 0.5, n[1], 0.8, (n[1] % 5 - 2) * 0.3);

	// rising, 10 to 26 s
	for (int b = 5; b < 13; b++) {
		double g = (b - 5) / 8.0;
		chordpad(bus, b, 0.6 + 0.4 * g);
		int root = bars[b]->root;
		for (int q = 0; q < 4; q++)
			if (b < 9)
				bass(bus, b * bar + q * 4 * six, 3.5 * six, root, 0.6 + 0.3 * g);
			else
				for (int h = 0; h < 2; h++)
					bass(bus, b * bar + (q * 4 + h * 2) * six, 1.7 * six, root, 0.8 + 0.2 * g);
		arpeggio(bus, b, b < 9 ? 2 : 1, 0.5 + 0.5 * g);
		if (b >= 9) {
			kick(bus, b * bar, 0.7, 0.2);
			kick(bus, b * bar + 8 * six, 0.6, 0.2);
		}
		if (b >= 11)
			for (int k = 2; k < 16; k += 4)
				hat(bus, b * bar + k * six, 0.5, 0.03, 0.3);
	}
	bell(bus, 10, 81, 0.6, 0.4);
	bell(bus, 18, 84, 0.6, -0.4);

	// 26 to 28 s: the held dominant, a snare roll and a riser
	for (int m : ee.pad)
		pad(bus, 26, 1.8, m, 1.0);
	bass(bus, 26, 1.8, ee.root, 0.9);
	for (int k = 0; k < 16; k++)
		snare(bus, 26 + k * six, 0.2 + 0.6 * k / 16.0);
	for (int k = 0; k < 8; k++)
		snare(bus, 26 + 1 + k * six / 2, 0.5 + 0.4 * k / 8.0);
	riser(bus, 24, 4, 1.0);

	// 28 s: the fire starts
	impact(bus, 28, 0.3, 1.0);
	for (int b = 14; b < 20; b++) {
		chordpad(bus, b, 0.7);
		int root = bars[b]->root;
		for (int k = 0; k < 16; k += 2)
			bass(bus, b * bar + k * six, 1.6 * six, root + (k == 6 || k == 14 ? 12 : 0), k % 8 == 0 ? 1.0 : 0.7);
		arpeggio(bus, b, 1, 0.35);
		kick(bus, b * bar, 0.9, 0.3);
		kick(bus, b * bar + 6 * six, 0.6, 0.2);
		snare(bus, b * bar + 8 * six, 0.9);
		for (int k = 0; k < 16; k += 2)
			hat(bus, b * bar + k * six, k % 4 == 2 ? 0.7 : 0.4, 0.03, 0.3);
	}
	for (int k = 12; k < 16; k++)
		snare(bus, 19 * bar + k * six, 0.5 + 0.1 * (k - 12));
	playtune(bus, 28, firetune, 0, 0.9);
	riser(bus, 37, 3, 0.9);

	// 40 s: driving
	for (int b = 20; b < 32; b++) {
		chordpad(bus, b, 0.9);
		int root = bars[b]->root;
		for (int k = 0; k < 16; k += 2)
			bass(bus, b * bar + k * six, 1.5 * six, root + (k % 4 == 2 ? 12 : 0), k % 4 == 0 ? 1.0 : 0.8);
		arpeggio(bus, b, 1, 0.7);
		for (int q = 0; q < 4; q++)
			kick(bus, b * bar + q * 4 * six, 1.0, 0.45);
		snare(bus, b * bar + 4 * six, 1.0);
		snare(bus, b * bar + 12 * six, 1.0);
		for (int k = 0; k < 16; k++)
			if (k % 4 != 2)
				hat(bus, b * bar + k * six, k % 2 ? 0.35 : 0.55, 0.025, 0.35);
		for (int k = 2; k < 16; k += 4)
			hat(bus, b * bar + k * six, 0.5, 0.12, -0.3);
	}
	for (int c = 0; c < 3; c++)
		crash(bus, 40 + c * 4 * bar, 0.8);
	playtune(bus, 40, tune, 0, 1.0);
	playtune(bus, 56, { tune[4], tune[5], { { 0, 8, 79 }, { 8, 8, 80 } }, { { 0, 16, 83 } } }, 0, 1.0);
	for (int k = 8; k < 16; k++)
		snare(bus, 31 * bar + k * six, 0.4 + 0.08 * (k - 8));
	riser(bus, 60, 4, 1.0);

	// 64 s: the picture is gone; the drums fall away and the tune comes home
	impact(bus, 64, 0.3, 0.9);
	for (int b = 32; b < 36; b++) {
		chordpad(bus, b, 0.9 - 0.1 * (b - 32));
		bass(bus, b * bar, bar * 0.95, bars[b]->root, 0.8);
		arpeggio(bus, b, 2, 0.6 - 0.08 * (b - 32));
	}
	playtune(bus, 64, { { { 0, 8, 76 }, { 8, 8, 72 } }, { { 0, 8, 77 }, { 8, 8, 72 } }, { { 0, 8, 74 }, { 8, 8, 77 } }, { { 0, 8, 76 }, { 8, 8, 71 } } }, 0, 0.8);
	for (int k = 0; k < 8; k++)
		snare(bus, 70 + k * six * 2, 0.2 + 0.08 * k);

	// 72 s: the last chord
	impact(bus, 72, 0.0, 1.0);
	for (int m : { 45, 57, 60, 64, 69 })
		pad(bus, 72, 1.0, m, 1.0);
	bass(bus, 72, 1.6, 33, 1.0);
	bell(bus, 72, 81, 1.0, -0.3);
	bell(bus, 72.02, 76, 0.8, 0.3);
}

// The cost of each stage of a frame, of a whole frame, and of the plain
// per-pixel effects of tests/lib/reference.h, beside the floor: clearing and
// copying the screen and copying the heat field. Every benchmark runs several
// times; at the end the medians are set against the floor and against each
// other in one table. The screen is SDL's, on the dummy video driver.
//
//   bench/bench                          all, 7 repetitions, medians
//   bench/bench --benchmark_filter=fire  only some
#include "background.h"
#include "blit.h"
#include "brindlewock.h"
#include "fire.h"
#include "picture.h"
#include "reference.h"
#include <benchmark/benchmark.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

constexpr int benchpicw = 400;        // the picture drawn: pixels wide ...
constexpr int benchpich = 300;        // ... and high
constexpr int32_t benchburn = 40000;  // ms: show time of the burning field
constexpr int benchwarm = 300;        // fire steps that bring the field to a steady burn
constexpr const char *benchreps = "--benchmark_repetitions=7"; // unless given otherwise

static std::vector<int32_t> field;    // the heat field
static std::vector<int32_t> burnt;    // the field after benchwarm steps of the show's fire
static std::vector<int32_t> mixed;    // heat drawn evenly from flame, fringe, smoke and neither
static std::vector<uint32_t> spare;   // source and target of the floor's copies

// the show's screen on the dummy driver, its heat field and a picture
static void setup()
{
	setenv("SDL_VIDEODRIVER", "dummy", 1);
	if (SDL_Init(SDL_INIT_VIDEO) < 0 || !(s = SDL_SetVideoMode(scrw, scrh, scrbpp, SDL_FULLSCREEN))) {
		fprintf(stderr, "bench: no dummy video: %s\n", SDL_GetError());
		exit(1);
	}
	std::mt19937 r(1);
	uint32_t *px = (uint32_t *)s->pixels;
	for (int i = 0; i < s->w * s->h; i++)
		px[i] = r();

	SDL_Surface *pic = SDL_CreateRGBSurface(SDL_SWSURFACE, benchpicw, benchpich, 32, 0xff0000, 0xff00, 0xff, 0);
	uint32_t *pp = (uint32_t *)pic->pixels;
	for (int i = 0; i < benchpicw * benchpich; i++)
		pp[i] = r() % 10 ? r() & 0xffffff : 0; // a tenth black, where the colour key shows through
	ims[0] = SDL_ConvertSurface(pic, s->format, 0);
	SDL_SetColorKey(ims[0], SDL_SRCCOLORKEY, SDL_MapRGB(ims[0]->format, 0, 0, 0));
	SDL_FreeSurface(pic);

	firew = s->w;
	fireh = s->h + firebelow;
	field.assign((size_t)firew * fireh, 0);
	firekg = field.data();
	SDL_Rect imsrc, imdst;
	imgeom(benchburn, benchpicw, benchpich, s->w, imsrc, imdst);
	imdraw(benchburn, imsrc, imdst);
	for (int i = 0; i < benchwarm; i++) {
		firekl();
		firels(benchburn, imdst);
	}
	burnt = field;

	mixed.resize(field.size());
	const int32_t lo[] = { 601, 501, -57344, -6 }, hi[] = { 73727, 600, -7, 500 };
	for (auto &a : mixed) {
		int k = r() % 4;
		a = lo[k] + (int32_t)(r() % (uint32_t)(hi[k] - lo[k] + 1));
	}
	spare.resize(field.size());
}

static size_t screenbytes() { return (size_t)s->w * s->h * 4; }

static void floormemset(benchmark::State &st)
{
	for (auto _ : st) {
		memset(s->pixels, 0, screenbytes());
		benchmark::ClobberMemory();
	}
}

static void floorscreen(benchmark::State &st)
{
	for (auto _ : st) {
		memcpy(s->pixels, spare.data(), screenbytes());
		benchmark::ClobberMemory();
	}
}

static void floorfield(benchmark::State &st)
{
	for (auto _ : st) {
		memcpy(spare.data(), field.data(), field.size() * 4);
		benchmark::ClobberMemory();
	}
}

// the benchmark's path: the widest this processor runs, or the plain loops
static void onpath(benchmark::State &st, bool widest)
{
	static const int bk = bksimd, fire = firesimd;
	static const char *name[] = { "baseline", "avx2", "avx-512" };
	bksimd = widest ? bk : 0;
	firesimd = widest ? fire : 0;
	st.SetLabel(std::string("background ") + name[bksimd] + ", fire " + name[firesimd]);
}

static void bkgeat(benchmark::State &st, int32_t elapsed, bool widest)
{
	onpath(st, widest);
	int32_t ph = bkphase(elapsed);
	for (auto _ : st) {
		bkge(ph);
		benchmark::ClobberMemory();
	}
}

static void firegkover(benchmark::State &st, const std::vector<int32_t> *heat, bool widest)
{
	onpath(st, widest);
	if (heat)
		field = *heat;
	else
		field.assign(field.size(), 0);
	firekg = field.data();
	for (auto _ : st) {
		firegk();
		benchmark::ClobberMemory();
	}
}

static void fireklburning(benchmark::State &st, bool widest)
{
	onpath(st, widest);
	field = burnt;
	firekg = field.data();
	for (auto _ : st) {
		firekl();
		benchmark::ClobberMemory();
	}
}

// the plain versions of the three effects, on the same data as the fast ones
enum { plainbkge, plainfiregk, plainfirekl };
static void plainstage(benchmark::State &st, int stage)
{
	st.SetLabel("plain");
	field = stage == plainfiregk ? mixed : burnt;
	firekg = field.data();
	int32_t ph = bkphase(70000);
	for (auto _ : st) {
		if (stage == plainbkge)
			refbkge(ph);
		else if (stage == plainfiregk)
			reffiregk();
		else
			reffirekl();
		benchmark::ClobberMemory();
	}
}

static void firegfedge(benchmark::State &st)
{
	for (auto _ : st) {
		firegf(120, benchpicw, 300, 1);
		benchmark::ClobberMemory();
	}
}

// the picture's draw at a show time, with SDL's blit or with imblit
static void blitat(benchmark::State &st, int32_t elapsed, bool own)
{
	SDL_Rect imsrc, imdst;
	for (auto _ : st) {
		imgeom(elapsed, ims[0]->w, ims[0]->h, s->w, imsrc, imdst);
		if (own) {
			SDL_SetAlpha(ims[0], SDL_SRCALPHA, imfade(elapsed, imdst));
			imblit(ims[0], &imsrc, s, &imdst);
		} else
			imdraw(elapsed, imsrc, imdst);
		benchmark::ClobberMemory();
	}
}

static void flip(benchmark::State &st)
{
	for (auto _ : st)
		SDL_Flip(s);
}

// show times of the burning frames: from the edge line's start to just before
// the picture is gone, one 40 ms fire step per frame
static int32_t nextburn(int32_t e)
{
	e += steplen;
	return e < fireedge + (int32_t)fireedgelen - 1000 ? e : fireedge;
}

// stages 1 to 7 of a frame as the show runs them, each frame running one fire step
static void showframe(benchmark::State &st)
{
	onpath(st, true);
	field = burnt;
	firekg = field.data();
	framestate f;
	int32_t e = fireedge;
	for (auto _ : st) {
		f.nexttick = e;
		frame(e, 0, f);
		SDL_Flip(s);
		e = nextburn(e);
	}
}

// the effects of a frame without the picture and the flip, with one fire step,
// fast or plain; the edge line under a fixed picture keeps the fire burning
static void effects(benchmark::State &st, bool plain)
{
	onpath(st, true);
	if (plain)
		st.SetLabel("plain");
	field = burnt;
	firekg = field.data();
	SDL_Rect imdst = { 120, 18, benchpicw, benchpich / 2 };
	int32_t e = fireedge;
	for (auto _ : st) {
		if (plain) {
			refbkge(bkphase(e));
			reffiregk();
			reffirekl();
		} else {
			bkge(bkphase(e));
			firegk();
			firekl();
		}
		firels(e, imdst);
		benchmark::ClobberMemory();
		e = nextburn(e);
	}
}

// the console's report, and the medians kept for the tables at the end. The
// ratios are of CPU time: the other processes of a busy machine stretch the
// wall-clock time of whatever they interrupt, not the CPU time.
struct ratioreporter : benchmark::ConsoleReporter {
	std::vector<std::string> order;
	std::map<std::string, std::pair<double, double>> med; // real and CPU time, us
	void ReportRuns(const std::vector<Run> &runs) override
	{
		ConsoleReporter::ReportRuns(runs);
		for (auto &r : runs) {
			std::string n = r.run_name.function_name;
			bool median = r.run_type == Run::RT_Aggregate && r.aggregate_name == "median";
			if (!median && !(r.run_type == Run::RT_Iteration && r.repetitions <= 1))
				continue;
			if (!med.count(n))
				order.push_back(n);
			med[n] = { r.GetAdjustedRealTime(), r.GetAdjustedCPUTime() };
		}
	}
	double cpu(const std::string &n) { return med.count(n) ? med[n].second : 0; }
	void target(const char *what, const char *over, double bound, bool atleast)
	{
		if (!cpu(what) || !cpu(over))
			return;
		double q = atleast ? cpu(over) / cpu(what) : cpu(what) / cpu(over);
		printf("| %s | %s | %.2f | %s %g | %s |\n", what, over, q, atleast ? ">=" : "<=", bound,
			(atleast ? q >= bound : q <= bound) ? "met" : "missed");
	}
	void Finalize() override
	{
		printf("\nmedians (us) and ratios of CPU time to the floor:\n\n");
		printf("| benchmark | real | CPU | / memset screen | / memcpy screen | / memcpy field |\n");
		printf("|---|---:|---:|---:|---:|---:|\n");
		double f0 = cpu("floor/memset-screen"), f1 = cpu("floor/memcpy-screen"), f2 = cpu("floor/memcpy-field");
		for (auto &n : order) {
			auto [real, c] = med[n];
			printf(real < 1 ? "| %s | %.3f | %.3f |" : "| %s | %.1f | %.1f |", n.c_str(), real, c);
			for (double f : { f0, f1, f2 })
				f ? printf(" %.2f |", c / f) : printf(" |");
			printf("\n");
		}
		printf("\n| target | against | ratio | bound | |\n|---|---|---:|---|---|\n");
		target("bkge/early", "floor/memset-screen", 2, false);
		target("bkge/late", "floor/memset-screen", 2, false);
		target("firegk/burning", "floor/memcpy-screen", 3, false);
		target("firekl", "floor/memcpy-field", 2, false);
		target("effects/fast", "effects/plain", 6, true);
	}
};

int main(int argc, char **argv)
{
	std::vector<char *> args(argv, argv + argc);
	char reps[64], aggr[] = "--benchmark_report_aggregates_only=true";
	snprintf(reps, sizeof reps, "%s", benchreps);
	args.insert(args.begin() + 1, { reps, aggr });
	int n = (int)args.size();
	benchmark::Initialize(&n, args.data());
	if (benchmark::ReportUnrecognizedArguments(n, args.data()))
		return 1;
	setup();

	auto us = [](benchmark::internal::Benchmark *b) { b->Unit(benchmark::kMicrosecond); };
	us(benchmark::RegisterBenchmark("floor/memset-screen", floormemset));
	us(benchmark::RegisterBenchmark("floor/memcpy-screen", floorscreen));
	us(benchmark::RegisterBenchmark("floor/memcpy-field", floorfield));
	us(benchmark::RegisterBenchmark("bkge/early", bkgeat, 5000, true));
	us(benchmark::RegisterBenchmark("bkge/late", bkgeat, 70000, true));
	us(benchmark::RegisterBenchmark("bkge/late/baseline", bkgeat, 70000, false));
	us(benchmark::RegisterBenchmark("bkge/late/plain", plainstage, plainbkge));
	us(benchmark::RegisterBenchmark("firegk/cold", firegkover, nullptr, true));
	us(benchmark::RegisterBenchmark("firegk/burning", firegkover, &mixed, true));
	us(benchmark::RegisterBenchmark("firegk/burning/baseline", firegkover, &mixed, false));
	us(benchmark::RegisterBenchmark("firegk/burning/plain", plainstage, plainfiregk));
	us(benchmark::RegisterBenchmark("firegk/show", firegkover, &burnt, true));
	us(benchmark::RegisterBenchmark("firekl", fireklburning, true));
	us(benchmark::RegisterBenchmark("firekl/baseline", fireklburning, false));
	us(benchmark::RegisterBenchmark("firekl/plain", plainstage, plainfirekl));
	us(benchmark::RegisterBenchmark("firegf/edge", firegfedge));
	us(benchmark::RegisterBenchmark("blit/fading", blitat, 18000, false));
	us(benchmark::RegisterBenchmark("blit/opaque", blitat, 30000, false));
	us(benchmark::RegisterBenchmark("imblit/fading", blitat, 18000, true));
	us(benchmark::RegisterBenchmark("imblit/opaque", blitat, 30000, true));
	us(benchmark::RegisterBenchmark("flip", flip));
	us(benchmark::RegisterBenchmark("frame", showframe));
	us(benchmark::RegisterBenchmark("effects/fast", effects, false));
	us(benchmark::RegisterBenchmark("effects/plain", effects, true));

	ratioreporter rep;
	benchmark::RunSpecifiedBenchmarks(&rep);
	benchmark::Shutdown();
	SDL_Quit();
	return 0;
}

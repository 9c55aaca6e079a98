// Benchmarks of the Final-mode repaint and of the region build on generated subtitles.
//
// For every scenario, on the same frame and regions:
//   <scenario>/reference   copy + the straightforward repaint loop
//   <scenario>/final       RenderFrame in Final mode (vectorised, best instruction set)
//   <scenario>/repaint_avx2, /repaint_sse2   copy + the vectorised repaint, lower instruction sets
//   <scenario>/ratio       reference and RenderFrame timed alternately (thread CPU time); counters
//                          give both times, the speed-up, and whether the two outputs are
//                          identical (1) or not (0); ratio_avx2 and ratio_sse2 at those levels
//   <scenario>/build       one region build (widening, labels, samples, weights, repaint plan)
//   <scenario>/build_reference   the straightforward build (tests/support) plus the same plan
//   <scenario>/build_ratio the two builds timed alternately; counters give both times, the
//                          speed-up, and whether regions, work plane and weights are identical
//   <scenario>/plan        the repaint plan alone (mirrored rows, weight sums, geometry copy)
// Times are CPU times: the machine the numbers come from is shared.
//   film/sample_threads1, film/sample_threads2   the command-line host on the sample clip
//                          (samples/sample, 100 frames at 720 x 576): wall time and frames/s
//   film/sample_threads_ratio   --threads 1 and 2 run alternately, nine times; counters give the
//                          median wall times and speed-up, and whether the output files were
//                          identical (1) or not
//   film/long_threads_ratio     the same, five times, on a 400-frame film made from the sample
//                          with sixteen subtitles (start-up weighs less, as in a feature film)
// `--smoke` runs every scenario once at a quarter of its size, without the film (what ctest does).
// Other arguments go to Google Benchmark (for example --benchmark_filter=text720).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "engine/regions.h"
#include "engine/render.h"
#include "engine/render_repaint.h"
#include "host/instance.h"
#include "host/memory.h"
#include "host/params.h"
#include "support/reference_engine.h"

namespace {

enum SubtitleKind { TEXT, SPECKLES };

struct Scenario {
    const char *name;
    int32_t width, height;
    SubtitleKind kind;
    int32_t radius, depth, power, pixelAspect;
    bool interlaced;
};

const Scenario kScenarios[] = {
    {"text720", 720, 576, TEXT, 5, 15, 40, 0, false},
    {"text1080", 1920, 1080, TEXT, 5, 15, 40, 0, false},
    {"interlaced720", 720, 576, TEXT, 5, 15, 40, 0, true},
    {"aspect720", 720, 576, TEXT, 5, 15, 40, -30, false},
    {"speckles720", 720, 576, SPECKLES, 0, 15, 40, 0, false},
};

bool g_smoke = false;
bool g_mismatch = false;  // any ratio run whose outputs differed: the program then fails

// One filter instance with its activation and a pair of host-like frames (bottom-up, padded rows,
// separate output), holding one subtitle's graymap and its built regions.
class Stage {
public:
    explicit Stage(const Scenario &s) : scenario_(s) {
        const int32_t divisor = g_smoke ? 4 : 1;
        const int32_t w = s.width / divisor, h = s.height / divisor;
        const ptrdiff_t pitch = (ptrdiff_t)w * 4 + 16;
        srcBuffer_.assign((size_t)(pitch * h), 0);
        dstBuffer_.assign((size_t)(pitch * h), 0);
        for (VFBitmap *b : {&src_, &dst_}) {
            b->w = w;
            b->h = h;
            b->depth = 32;
            b->pitch = pitch;
            b->modulo = 16;
            b->size = pitch * h;
        }
        src_.data = reinterpret_cast<uint32_t *>(srcBuffer_.data());
        dst_.data = reinterpret_cast<uint32_t *>(dstBuffer_.data());
        activation_.filter_data = &instance_;
        activation_.src = &src_;
        activation_.dst = &dst_;
        activation_.pfsi = &state_;
        initProc(&activation_, nullptr);
        instance_.activation = &activation_;
        instance_.radius = s.radius;
        instance_.depth = s.depth;
        instance_.power = s.power;
        instance_.pixelAspect = s.pixelAspect;
        instance_.interlaced = s.interlaced;
        instance_.mode = MODE_FINAL;
        FillPicture();
        // One subtitle covering every frame, already current: RenderFrame then only renders.
        instance_.subtitles.entries = static_cast<SubtitleEntry *>(AllocateArray(1, sizeof(SubtitleEntry)));
        instance_.subtitles.entries[0] = {0, 1 << 30, 0, 0};
        instance_.subtitles.count = 1;
        instance_.currentSubtitle = 0;
        PlaceSubtitle();
        Build();
    }
    ~Stage() { deinitProc(&activation_, nullptr); }

    // Rebuilds the regions from the placed graymap, as a change of subtitle does.
    void Build() {
        BuildRemovalRegions(&instance_, &activation_);
        // The build narrows the bounds by the radius; restore them so every build is the same.
        instance_.maskLeft = bounds_[0];
        instance_.maskTop = bounds_[1];
        instance_.maskRight = bounds_[2];
        instance_.maskBottom = bounds_[3];
    }
    // The straightforward build, with the repaint plan the module's build also prepares.
    void BuildReference() {
        ReferenceBuildRemovalRegions(&instance_, &activation_);
        PrepareRepaintPlan(&instance_);
        instance_.maskLeft = bounds_[0];
        instance_.maskTop = bounds_[1];
        instance_.maskRight = bounds_[2];
        instance_.maskBottom = bounds_[3];
    }
    void Reference() {
        CopySourceToOutput(&activation_);
        RepaintRegionsReference(&activation_, &instance_);
    }
    void Final() { RenderFrame(&activation_, nullptr); }
    void Repaint() {
        CopySourceToOutput(&activation_);
        RepaintRegions(&activation_, &instance_);
    }
    bool Plan() { return PrepareRepaintPlan(&instance_); }
    const std::vector<uint8_t> &Output() const { return dstBuffer_; }

    int64_t Pixels() const {
        int64_t n = 0;
        for (int32_t r = 0; r < instance_.regions.count; ++r) n += instance_.regions.items[r].pixelCount;
        return n;
    }
    int64_t PixelSamplePairs() const {
        int64_t n = 0;
        for (int32_t r = 0; r < instance_.regions.count; ++r)
            n += (int64_t)instance_.regions.items[r].pixelCount * instance_.regions.items[r].sampleCount;
        return n;
    }
    int32_t RegionCount() const { return instance_.regions.count; }
    const RemovalInstance &Instance() const { return instance_; }
    bool Planned() const { return RepaintPlanMatches(&instance_); }

private:
    // A smooth picture with some texture, so repainted values vary.
    void FillPicture() {
        std::mt19937 random(7);
        for (int32_t row = 0; row < src_.h; ++row)
            for (int32_t x = 0; x < src_.w; ++x) {
                const uint32_t r = (uint32_t)(x * 255 / src_.w) ^ (random() & 15);
                const uint32_t g = (uint32_t)(row * 255 / src_.h) ^ (random() & 15);
                const uint32_t b = (uint32_t)((x + row) & 255);
                const uint32_t pixel = (r << 16) | (g << 8) | b | 0xFF000000u;
                std::memcpy(srcBuffer_.data() + row * src_.pitch + 4 * x, &pixel, 4);
            }
    }

    void Set(int32_t x, int32_t pictureRow) {
        MaskImage &g = instance_.graymap;
        if (x < 0 || x >= g.width || pictureRow < 0 || pictureRow >= g.height) return;
        g.pixels[(size_t)(g.height - pictureRow - 1) * (size_t)g.width + (size_t)x] = MASK_SET;
    }
    void Box(int32_t x0, int32_t y0, int32_t w, int32_t h) {
        for (int32_t y = y0; y < y0 + h; ++y)
            for (int32_t x = x0; x < x0 + w; ++x) Set(x, y);
    }

    // Two lines of glyph-like strokes (about 600 x 100 at 720 x 576, scaled with the frame), or
    // a field of small speckles.
    void PlaceSubtitle() {
        PrepareMaskImage(&instance_, &instance_.graymap);
        const int32_t w = src_.w, h = src_.h;
        const double sx = w / 720.0, sy = h / 576.0;
        const int32_t boxW = (int32_t)(600 * sx), boxH = (int32_t)(100 * sy);
        const int32_t left = (w - boxW) / 2, top = h - boxH - (int32_t)(40 * sy);
        std::mt19937 random(11);
        auto pick = [&](int32_t lo, int32_t hi) { return std::uniform_int_distribution<int32_t>(lo, hi)(random); };
        if (scenario_.kind == TEXT) {
            const int32_t glyphW = (int32_t)(30 * sx), glyphH = (int32_t)(40 * sy);
            const int32_t t = std::max(1, (int32_t)(3 * std::min(sx, sy)));
            for (int32_t line = 0; line < 2; ++line) {
                const int32_t gy = top + line * (boxH / 2) + (int32_t)(5 * sy);
                for (int32_t glyph = 0; glyph < 20; ++glyph) {
                    const int32_t gx = left + glyph * glyphW + (int32_t)(3 * sx);
                    const int32_t gw = glyphW - (int32_t)(8 * sx), gh = glyphH;
                    if (pick(0, 9) == 0) continue;  // a blank between words
                    const int strokes = pick(2, 4);
                    for (int k = 0; k < strokes; ++k) switch (pick(0, 6)) {
                        case 0: Box(gx, gy, t, gh); break;
                        case 1: Box(gx + gw - t, gy, t, gh); break;
                        case 2: Box(gx + gw / 2 - t / 2, gy, t, gh); break;
                        case 3: Box(gx, gy, gw, t); break;
                        case 4: Box(gx, gy + gh / 2 - t / 2, gw, t); break;
                        case 5: Box(gx, gy + gh - t, gw, t); break;
                        default:
                            for (int32_t i = 0; i < gh; ++i) Box(gx + i * (gw - t) / gh, gy + i, t, 1);
                    }
                }
            }
        } else {
            for (int n = 0; n < 400; ++n) Box(left + pick(0, boxW - 3), top + pick(0, boxH - 3), pick(1, 3), pick(1, 3));
        }
        bounds_[0] = instance_.maskLeft = left;
        bounds_[1] = instance_.maskTop = top;
        bounds_[2] = instance_.maskRight = left + boxW;
        bounds_[3] = instance_.maskBottom = top + boxH;
    }

    Scenario scenario_;
    RemovalInstance instance_{};
    FilterActivation activation_{};
    FilterStateInfo state_{};
    VFBitmap src_{}, dst_{};
    std::vector<uint8_t> srcBuffer_, dstBuffer_;
    int32_t bounds_[4]{};
};

void Describe(benchmark::State &state, const Stage &stage) {
    state.counters["regions"] = stage.RegionCount();
    state.counters["pixels"] = (double)stage.Pixels();
    state.counters["pairs"] = (double)stage.PixelSamplePairs();
    state.counters["planned"] = stage.Planned() ? 1 : 0;
}

void RunReference(benchmark::State &state, const Scenario *s) {
    Stage stage(*s);
    for (auto _ : state) {
        stage.Reference();
        benchmark::DoNotOptimize(stage.Output().data());
    }
    Describe(state, stage);
}

void RunFinal(benchmark::State &state, const Scenario *s) {
    Stage stage(*s);
    for (auto _ : state) {
        stage.Final();
        benchmark::DoNotOptimize(stage.Output().data());
    }
    Describe(state, stage);
}

void RunRepaint(benchmark::State &state, const Scenario *s, RepaintLevel level) {
    const RepaintLevel saved = UseRepaintLevel(level);
    Stage stage(*s);
    stage.Plan();
    for (auto _ : state) {
        stage.Repaint();
        benchmark::DoNotOptimize(stage.Output().data());
    }
    Describe(state, stage);
    UseRepaintLevel(saved);
}

double CpuMilliseconds() {
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return (double)t.tv_sec * 1e3 + (double)t.tv_nsec * 1e-6;
}

void RunRatio(benchmark::State &state, const Scenario *s, RepaintLevel level) {
    const RepaintLevel saved = UseRepaintLevel(level);
    Stage stage(*s);
    double reference = 0, final = 0;
    bool identical = true;
    stage.Final();  // the first frame of a build makes the repaint plan; time the frames after it
    for (auto _ : state) {
        const double t0 = CpuMilliseconds();
        stage.Reference();
        const double t1 = CpuMilliseconds();
        const std::vector<uint8_t> expected = stage.Output();
        const double t2 = CpuMilliseconds();
        stage.Final();
        const double t3 = CpuMilliseconds();
        identical = identical && stage.Output() == expected;
        reference += t1 - t0;
        final += t3 - t2;
    }
    const double n = (double)state.iterations();
    state.counters["reference_ms"] = reference / n;
    state.counters["final_ms"] = final / n;
    state.counters["speedup"] = final > 0 ? reference / final : 0;
    state.counters["identical"] = identical ? 1 : 0;
    Describe(state, stage);
    UseRepaintLevel(saved);
    if (!identical) {
        g_mismatch = true;
        state.SkipWithError("optimised output differs from the reference");
    }
}

void RunBuild(benchmark::State &state, const Scenario *s) {
    Stage stage(*s);
    for (auto _ : state) stage.Build();
    Describe(state, stage);
}

void RunBuildReference(benchmark::State &state, const Scenario *s) {
    Stage stage(*s);
    for (auto _ : state) stage.BuildReference();
    Describe(state, stage);
}

// Regions, pixel and sample lists, work plane and the filled rows of the weight table are equal.
bool SameBuild(const RemovalInstance &a, const RemovalInstance &b) {
    if (a.regions.count != b.regions.count || a.workMask.width != b.workMask.width ||
        a.workMask.height != b.workMask.height || (a.weights == nullptr) != (b.weights == nullptr) ||
        a.weightStride != b.weightStride)
        return false;
    if (std::memcmp(a.workMask.pixels, b.workMask.pixels, (size_t)a.workMask.width * a.workMask.height * 4)) return false;
    int32_t maxDy = 0;
    for (int32_t i = 0; i < a.regions.count; ++i) {
        const Region &x = a.regions.items[i], &y = b.regions.items[i];
        if (x.pixelCount != y.pixelCount || x.sampleCount != y.sampleCount) return false;
        if (x.pixelCount && std::memcmp(x.pixels, y.pixels, sizeof(RegionPixel) * x.pixelCount)) return false;
        if (x.sampleCount && std::memcmp(x.samples, y.samples, sizeof(BorderSample) * x.sampleCount)) return false;
        int32_t pMin = INT32_MAX, pMax = INT32_MIN, sMin = INT32_MAX, sMax = INT32_MIN;
        for (int32_t k = 0; k < x.pixelCount; ++k) pMin = std::min(pMin, x.pixels[k].y), pMax = std::max(pMax, x.pixels[k].y);
        for (int32_t k = 0; k < x.sampleCount; ++k) sMin = std::min(sMin, x.samples[k].y), sMax = std::max(sMax, x.samples[k].y);
        if (x.pixelCount && x.sampleCount) maxDy = std::max(maxDy, std::max(sMax - pMin, pMax - sMin));
    }
    if (!a.weights) return true;
    const size_t rowLength = (size_t)(a.interlaced ? 2 * a.weightStride : a.weightStride);
    const size_t rows = (size_t)(a.interlaced ? maxDy / 2 + 1 : maxDy + 1);
    return std::memcmp(a.weights, b.weights, rowLength * rows * sizeof(float)) == 0;
}

void RunBuildRatio(benchmark::State &state, const Scenario *s) {
    Stage fast(*s), slow(*s);
    double reference = 0, module = 0;
    bool identical = true;
    for (auto _ : state) {
        const double t0 = CpuMilliseconds();
        slow.BuildReference();
        const double t1 = CpuMilliseconds();
        fast.Build();
        const double t2 = CpuMilliseconds();
        identical = identical && SameBuild(fast.Instance(), slow.Instance());
        reference += t1 - t0;
        module += t2 - t1;
    }
    const double n = (double)state.iterations();
    state.counters["reference_ms"] = reference / n;
    state.counters["build_ms"] = module / n;
    state.counters["speedup"] = module > 0 ? reference / module : 0;
    state.counters["identical"] = identical ? 1 : 0;
    Describe(state, fast);
    if (!identical) {
        g_mismatch = true;
        state.SkipWithError("region build differs from the straightforward build");
    }
}

void RunPlan(benchmark::State &state, const Scenario *s) {
    Stage stage(*s);
    for (auto _ : state) benchmark::DoNotOptimize(stage.Plan());
    Describe(state, stage);
}

#if defined(SR_SUBREMOVE_PATH)
const std::string kSampleDirectory = std::string(SR_SOURCE_DIR) + "/samples/sample";

std::string g_longFilmDirectory;  // removed when the benchmarks end

// A film to run: its video, its index, and its length.
struct Film {
    std::string video;
    std::string index;
    int frames = 0;
};

bool FileExists(const std::string &path) {
    FILE *f = std::fopen(path.c_str(), "rb");
    if (f) std::fclose(f);
    return f != nullptr;
}

Film SampleFilm() { return {kSampleDirectory + "/sample.mkv", kSampleDirectory + "/subs/sample.bms", 100}; }

// The sample four times over (its packets copied, 400 frames, 16 s) with its four subtitles
// repeated at the same places: sixteen subtitles, so that the film is cut into many runs as a
// feature film is, and start-up is a small share. Made once per benchmark run in a fresh folder.
Film LongFilm() {
    static Film film;
    static bool tried = false;
    if (tried) return film;
    tried = true;
    char folder[] = "/tmp/bench_render_film_XXXXXX";
    if (!mkdtemp(folder)) return film;
    const std::string dir = folder;
    g_longFilmDirectory = dir;
    const int copies = 4;
    std::string list, lines;
    std::string copy = "mkdir -p '" + dir + "/subs'";
    FILE *in = std::fopen((kSampleDirectory + "/subs/sample.bms").c_str(), "r");
    if (!in) return film;
    int count = 0, number, first, last, x, y;
    std::vector<std::vector<int>> entries;
    if (std::fscanf(in, "%d", &count) == 1)
        while (std::fscanf(in, "%d,%d,%d,%d,%d", &number, &first, &last, &x, &y) == 5) entries.push_back({first, last, x, y});
    std::fclose(in);
    if (entries.empty()) return film;
    for (int c = 0; c < copies; ++c) {
        list += "file '" + kSampleDirectory + "/sample.mkv'\n";
        for (size_t e = 0; e < entries.size(); ++e) {
            const int n = c * (int)entries.size() + (int)e;
            lines += std::to_string(n + 1) + "," + std::to_string(entries[e][0] + 100 * c) + "," +
                     std::to_string(entries[e][1] + 100 * c) + "," + std::to_string(entries[e][2]) + "," +
                     std::to_string(entries[e][3]) + "\n";
            copy += " && cp '" + kSampleDirectory + "/subs/image_" + std::to_string(e) + ".pgm' '" + dir + "/subs/image_" +
                    std::to_string(n) + ".pgm'";
        }
    }
    const std::string index = std::to_string(copies * (int)entries.size()) + "\n" + lines;
    FILE *out = std::fopen((dir + "/list.txt").c_str(), "w");
    if (!out) return film;
    std::fputs(list.c_str(), out);
    std::fclose(out);
    if (std::system(copy.c_str()) != 0) return film;
    out = std::fopen((dir + "/subs/film.bms").c_str(), "w");
    if (!out) return film;
    std::fputs(index.c_str(), out);
    std::fclose(out);
    const std::string concat = std::string("\"") + SR_FFMPEG + "\" -v error -y -f concat -safe 0 -i '" + dir +
                               "/list.txt' -c copy '" + dir + "/film.mkv'";
    if (std::system(concat.c_str()) != 0) return film;
    film = {dir + "/film.mkv", dir + "/subs/film.bms", 100 * copies};
    return film;
}

std::string FilmCommand(const Film &film, int threads, const std::string &output) {
    return std::string("\"") + SR_SUBREMOVE_PATH + "\" -q -y --threads " + std::to_string(threads) + " -i \"" + film.index +
           "\" \"" + film.video + "\" \"" + output + "\"";
}

std::string FilmOutput(int threads) { return "/tmp/bench_render_film_" + std::to_string(threads) + ".mkv"; }

std::string ReadWhole(const std::string &path) {
    std::string bytes;
    if (FILE *f = std::fopen(path.c_str(), "rb")) {
        char buffer[1 << 16];
        size_t n;
        while ((n = std::fread(buffer, 1, sizeof(buffer), f)) > 0) bytes.append(buffer, n);
        std::fclose(f);
    }
    return bytes;
}

double WallMilliseconds() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

void RunFilm(benchmark::State &state, Film (*make)(), int threads) {
    const Film film = make();
    if (film.frames == 0) {
        state.SkipWithError("the film could not be made");
        return;
    }
    const std::string output = FilmOutput(threads);
    const std::string command = FilmCommand(film, threads, output);
    for (auto _ : state)
        if (std::system(command.c_str()) != 0) {
            state.SkipWithError("subremove failed");
            break;
        }
    std::remove(output.c_str());
    state.counters["frames_per_s"] =
        benchmark::Counter((double)film.frames * (double)state.iterations(), benchmark::Counter::kIsRate);
}

// One thread and two, run alternately so that both see the same machine. The counters give the
// median wall times, the median of the runs' speed-ups (a neighbour's burst on this shared
// machine skews a mean), and whether every pair of output files was identical byte for byte.
void RunFilmRatio(benchmark::State &state, Film (*make)()) {
    const Film film = make();
    if (film.frames == 0) {
        state.SkipWithError("the film could not be made");
        return;
    }
    std::vector<double> one, two, speedups;
    bool identical = true;
    for (auto _ : state) {
        const double t0 = WallMilliseconds();
        const int a = std::system(FilmCommand(film, 1, FilmOutput(1)).c_str());
        const double t1 = WallMilliseconds();
        const int b = std::system(FilmCommand(film, 2, FilmOutput(2)).c_str());
        const double t2 = WallMilliseconds();
        if (a != 0 || b != 0) {
            state.SkipWithError("subremove failed");
            break;
        }
        const std::string first = ReadWhole(FilmOutput(1));
        identical = identical && !first.empty() && first == ReadWhole(FilmOutput(2));
        one.push_back(t1 - t0);
        two.push_back(t2 - t1);
        speedups.push_back((t1 - t0) / (t2 - t1));
    }
    std::remove(FilmOutput(1).c_str());
    std::remove(FilmOutput(2).c_str());
    auto median = [](std::vector<double> v) {
        if (v.empty()) return 0.0;
        std::sort(v.begin(), v.end());
        return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
    };
    state.counters["threads1_ms"] = median(one);
    state.counters["threads2_ms"] = median(two);
    state.counters["speedup"] = median(speedups);
    state.counters["identical"] = identical ? 1 : 0;
    if (!identical) {
        g_mismatch = true;
        state.SkipWithError("--threads 2 wrote another file than --threads 1");
    }
}
#endif

}  // namespace

int main(int argc, char **argv) {
    std::vector<char *> args;
    for (int i = 0; i < argc; ++i) {
        if (std::strcmp(argv[i], "--smoke") == 0)
            g_smoke = true;
        else
            args.push_back(argv[i]);
    }
    for (const Scenario &s : kScenarios) {
        const std::string name = s.name;
        std::vector<benchmark::internal::Benchmark *> registered = {
            benchmark::RegisterBenchmark((name + "/reference").c_str(), RunReference, &s),
            benchmark::RegisterBenchmark((name + "/final").c_str(), RunFinal, &s),
            benchmark::RegisterBenchmark((name + "/repaint_avx2").c_str(), RunRepaint, &s, REPAINT_AVX2),
            benchmark::RegisterBenchmark((name + "/repaint_sse2").c_str(), RunRepaint, &s, REPAINT_SSE2),
            benchmark::RegisterBenchmark((name + "/ratio").c_str(), RunRatio, &s, BestRepaintLevel()),
            benchmark::RegisterBenchmark((name + "/ratio_avx2").c_str(), RunRatio, &s, REPAINT_AVX2),
            benchmark::RegisterBenchmark((name + "/ratio_sse2").c_str(), RunRatio, &s, REPAINT_SSE2),
            benchmark::RegisterBenchmark((name + "/build").c_str(), RunBuild, &s),
            benchmark::RegisterBenchmark((name + "/build_reference").c_str(), RunBuildReference, &s),
            benchmark::RegisterBenchmark((name + "/build_ratio").c_str(), RunBuildRatio, &s),
            benchmark::RegisterBenchmark((name + "/plan").c_str(), RunPlan, &s),
        };
        for (benchmark::internal::Benchmark *b : registered) {
            b->Unit(benchmark::kMillisecond);
            if (g_smoke) b->Iterations(1);
        }
    }
#if defined(SR_SUBREMOVE_PATH)
    if (!g_smoke && FileExists(SampleFilm().video)) {
        for (int threads : {1, 2})
            benchmark::RegisterBenchmark(("film/sample_threads" + std::to_string(threads)).c_str(), RunFilm, SampleFilm, threads)
                ->Unit(benchmark::kMillisecond)
                ->UseRealTime();
        benchmark::RegisterBenchmark("film/sample_threads_ratio", RunFilmRatio, SampleFilm)
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime()
            ->Iterations(9);
        benchmark::RegisterBenchmark("film/long_threads_ratio", RunFilmRatio, LongFilm)
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime()
            ->Iterations(5);
    }
#endif
    int count = (int)args.size();
    benchmark::Initialize(&count, args.data());
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
#if defined(SR_SUBREMOVE_PATH)
    if (!g_longFilmDirectory.empty()) std::system(("rm -rf '" + g_longFilmDirectory + "'").c_str());
#endif
    return g_mismatch ? 1 : 0;
}

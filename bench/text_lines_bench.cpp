// The learned text detector (detect/text_lines): its speed, and what a smaller network input costs
// in lines found.
//
//   text_lines_bench [--rounds N] [--threads N] [--long-sides A,B,...] [WxH ...]
//   text_lines_bench --frames FILE WxH [--every K] [--threads N] [--long-sides A,B,...]
//
// Speed (the first form): milliseconds per frame for frames of several sizes, each with its
// finder's fixed input size, for each long side (TextLineSettings::longSide, default 960). The
// finders take turns, one frame each, so that whatever else the machine does falls on all of them
// alike; the medians and their ratios to the first are printed, with the process's CPU time per
// frame (all threads), which another program on the same cores inflates far less than the wall
// time. Defaults: 20 rounds, 1280x720 and 960x540. The pictures are textured noise with a few
// light lines of text drawn on; the network's cost does not depend on what the picture shows.
//
// Lines (the second form): every K-th frame (default 9) of raw RGB frames, as
// `ffmpeg -i film -f rawvideo -pix_fmt rgb24 FILE` writes them, through a finder per long side.
// The first long side's lines are the reference: per long side, the lines found, and how many of
// the reference's it found (a line overlapping it by half of the smaller box), by the reference
// line's height in frame pixels, so that it shows which text a smaller input loses.
//
// --threads sets OpenCV's thread count (0: no worker threads, as subremove's optical flow sets).
#include <algorithm>
#include <chrono>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include "detect/text_lines.h"

namespace {

struct Options {
    int rounds = 20, threads = -1, every = 9;
    std::vector<int> longSides;
    std::vector<std::pair<int, int>> sizes;
    std::string frames;  // raw RGB frames for the second form
};

cv::Mat Picture(int width, int height) {
    cv::Mat picture(height, width, CV_8UC3);
    cv::theRNG().state = 12345;
    cv::randu(picture, cv::Scalar::all(0), cv::Scalar::all(255));
    cv::GaussianBlur(picture, picture, cv::Size(0, 0), 3);
    const double scale = height / 400.0;
    for (int i = 0; i < 3; ++i) {
        const cv::Point at((int)(width * 0.2), (int)(height * (0.3 + 0.25 * i)));
        cv::putText(picture, "Where were you last night?", at, cv::FONT_HERSHEY_DUPLEX, scale, cv::Scalar::all(10), 6);
        cv::putText(picture, "Where were you last night?", at, cv::FONT_HERSHEY_DUPLEX, scale, cv::Scalar::all(240), 2);
    }
    return picture;
}

double CpuMs() {
    timespec t;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

std::unique_ptr<TextLineFinder> Finder(const std::string &model, int width, int height, int longSide) {
    TextLineSettings settings;
    settings.longSide = longSide;
    return std::make_unique<TextLineFinder>(model, width, height, settings);
}

int Speed(const Options &o, const std::string &model) {
    struct Case {
        int width = 0, height = 0, longSide = 0;
        std::unique_ptr<TextLineFinder> finder;
        cv::Mat picture;
        std::vector<double> ms, cpu;
        size_t lines = 0;
    };
    std::vector<Case> cases;
    for (const auto &s : o.sizes)
        for (int longSide : o.longSides) {
            Case c;
            c.width = s.first, c.height = s.second, c.longSide = longSide;
            c.finder = Finder(model, s.first, s.second, longSide);
            c.picture = Picture(s.first, s.second);
            cases.push_back(std::move(c));
        }
    for (int r = 0; r < o.rounds; ++r)
        for (Case &c : cases) {
            const auto start = std::chrono::steady_clock::now();
            const double cpuStart = CpuMs();
            c.lines = c.finder->Find(c.picture.data, (std::ptrdiff_t)c.picture.step).size();
            c.cpu.push_back(CpuMs() - cpuStart);
            c.ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
        }
    std::printf("OpenCV threads: %s, %d rounds\n", o.threads < 0 ? "default" : std::to_string(o.threads).c_str(), o.rounds);
    for (const Case &c : cases)
        std::printf("%dx%d, long side %d -> %dx%d: median %.1f ms (min %.1f), %.2f of the first; CPU %.1f ms; %zu lines\n",
                    c.width, c.height, c.longSide, c.finder->InputWidth(), c.finder->InputHeight(), Median(c.ms),
                    *std::min_element(c.ms.begin(), c.ms.end()), Median(c.ms) / Median(cases[0].ms), Median(c.cpu), c.lines);
    return 0;
}

// A reference line counts as found when a line overlaps it by half of the smaller of the two boxes.
bool Found(const TextLine &line, const std::vector<TextLine> &in) {
    const cv::Rect a(line.x, line.y, line.width, line.height);
    return std::any_of(in.begin(), in.end(), [&](const TextLine &l) {
        const cv::Rect b(l.x, l.y, l.width, l.height);
        return 2 * (a & b).area() >= std::min(a.area(), b.area());
    });
}

int Lines(const Options &o, const std::string &model) {
    const int width = o.sizes[0].first, height = o.sizes[0].second;
    FILE *file = std::fopen(o.frames.c_str(), "rb");
    if (!file) {
        std::fprintf(stderr, "text_lines_bench: cannot read %s\n", o.frames.c_str());
        return 1;
    }
    std::vector<std::unique_ptr<TextLineFinder>> finders;
    for (int longSide : o.longSides) finders.push_back(Finder(model, width, height, longSide));
    // Reference lines by height: under 20, 20 to 29, 30 to 44, 45 and more frame pixels.
    const int bands[] = {20, 30, 45};
    const size_t sides = finders.size();
    std::vector<size_t> lines(sides), reference(4), found(sides * 4);
    std::vector<std::vector<double>> cpu(sides);
    cv::Mat frame(height, width, CV_8UC3);
    int samples = 0;
    for (long n = 0; std::fread(frame.data, 3, (size_t)width * height, file) == (size_t)width * height; ++n) {
        if (n % o.every) continue;
        ++samples;
        std::vector<std::vector<TextLine>> all(sides);
        for (size_t i = 0; i < sides; ++i) {
            const double start = CpuMs();
            all[i] = finders[i]->Find(frame.data, (std::ptrdiff_t)frame.step);
            cpu[i].push_back(CpuMs() - start);
            lines[i] += all[i].size();
        }
        for (const TextLine &l : all[0]) {
            const size_t band = std::upper_bound(std::begin(bands), std::end(bands), l.height) - std::begin(bands);
            ++reference[band];
            for (size_t i = 0; i < sides; ++i) found[i * 4 + band] += Found(l, all[i]);
        }
    }
    std::fclose(file);
    std::printf("%d frames of %dx%d; reference lines by height <20/20-29/30-44/45+ px: %zu/%zu/%zu/%zu\n", samples, width,
                height, reference[0], reference[1], reference[2], reference[3]);
    for (size_t i = 0; i < sides; ++i)
        std::printf("long side %d -> %dx%d: CPU %.1f ms a frame; %zu lines; of the reference's found: %zu/%zu/%zu/%zu\n",
                    o.longSides[i], finders[i]->InputWidth(), finders[i]->InputHeight(), Median(cpu[i]), lines[i],
                    found[i * 4], found[i * 4 + 1], found[i * 4 + 2], found[i * 4 + 3]);
    return 0;
}

bool Parse(int argc, char **argv, Options *o) {
    for (int i = 1; i < argc; ++i) {
        int w, h;
        const bool value = i + 1 < argc;
        if (!std::strcmp(argv[i], "--rounds") && value) {
            o->rounds = std::max(1, std::atoi(argv[++i]));
        } else if (!std::strcmp(argv[i], "--threads") && value) {
            o->threads = std::atoi(argv[++i]);
        } else if (!std::strcmp(argv[i], "--every") && value) {
            o->every = std::max(1, std::atoi(argv[++i]));
        } else if (!std::strcmp(argv[i], "--frames") && value) {
            o->frames = argv[++i];
        } else if (!std::strcmp(argv[i], "--long-sides") && value) {
            for (const char *p = argv[++i]; *p;) {
                char *end = nullptr;
                const long side = std::strtol(p, &end, 10);
                if (end == p || side < 32) return false;
                o->longSides.push_back((int)side);
                p = *end == ',' ? end + 1 : end;
            }
        } else if (std::sscanf(argv[i], "%dx%d", &w, &h) == 2 && w > 0 && h > 0) {
            o->sizes.emplace_back(w, h);
        } else {
            return false;
        }
    }
    return o->frames.empty() || o->sizes.size() == 1;
}

}  // namespace

int main(int argc, char **argv) {
    Options o;
    if (!Parse(argc, argv, &o)) {
        std::fprintf(stderr,
                     "usage: text_lines_bench [--rounds N] [--threads N] [--long-sides A,B,...] [WxH ...]\n"
                     "       text_lines_bench --frames FILE WxH [--every K] [--threads N] [--long-sides A,B,...]\n");
        return 2;
    }
    if (o.sizes.empty()) o.sizes = {{1280, 720}, {960, 540}};
    if (o.longSides.empty()) o.longSides = {TextLineSettings().longSide};
    if (o.threads >= 0) cv::setNumThreads(o.threads);
    std::string error;
    const std::string model = LocateTextModel("", &error);
    if (model.empty()) {
        std::fprintf(stderr, "text_lines_bench: %s\n", error.c_str());
        return 1;
    }
    return o.frames.empty() ? Speed(o, model) : Lines(o, model);
}

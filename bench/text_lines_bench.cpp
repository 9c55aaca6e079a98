// Milliseconds per frame of the learned text detector (detect/text_lines) for frames of several
// sizes, each with its finder's fixed input size. The sizes take turns, one frame each, so that
// whatever else the machine does falls on all of them alike; the medians and their ratios to the
// first size are printed, with the process's CPU time per frame (all threads), which another
// program on the same cores inflates far less than the wall time.
//
//   text_lines_bench [--rounds N] [--threads N] [WxH ...]
//
// Defaults: 20 rounds, 1280x720 and 960x540, OpenCV's own thread count (one per core); --threads
// sets it (0: no worker threads, as subremove's optical flow sets). The pictures are
// textured noise with a few light lines of text drawn on; the network's cost does not depend on
// what the picture shows.
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

}  // namespace

int main(int argc, char **argv) {
    int rounds = 20, threads = -1;
    std::vector<std::pair<int, int>> sizes;
    for (int i = 1; i < argc; ++i) {
        int w, h;
        if (!std::strcmp(argv[i], "--rounds") && i + 1 < argc)
            rounds = std::max(1, std::atoi(argv[++i]));
        else if (!std::strcmp(argv[i], "--threads") && i + 1 < argc)
            threads = std::atoi(argv[++i]);
        else if (std::sscanf(argv[i], "%dx%d", &w, &h) == 2 && w > 0 && h > 0)
            sizes.emplace_back(w, h);
        else {
            std::fprintf(stderr, "usage: text_lines_bench [--rounds N] [--threads N] [WxH ...]\n");
            return 2;
        }
    }
    if (sizes.empty()) sizes = {{1280, 720}, {960, 540}};
    if (threads >= 0) cv::setNumThreads(threads);
    std::string error;
    const std::string model = LocateTextModel("", &error);
    if (model.empty()) {
        std::fprintf(stderr, "text_lines_bench: %s\n", error.c_str());
        return 1;
    }
    std::vector<std::unique_ptr<TextLineFinder>> finders;
    std::vector<cv::Mat> pictures;
    for (const auto &s : sizes) {
        finders.emplace_back(new TextLineFinder(model, s.first, s.second));
        pictures.push_back(Picture(s.first, s.second));
    }
    std::vector<std::vector<double>> ms(sizes.size()), cpu(sizes.size());
    std::vector<size_t> lines(sizes.size());
    for (int r = 0; r < rounds; ++r)
        for (size_t i = 0; i < sizes.size(); ++i) {
            const auto start = std::chrono::steady_clock::now();
            const double cpuStart = CpuMs();
            lines[i] = finders[i]->Find(pictures[i].data, (std::ptrdiff_t)pictures[i].step).size();
            cpu[i].push_back(CpuMs() - cpuStart);
            ms[i].push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
        }
    std::printf("OpenCV threads: %s, %d rounds\n", threads < 0 ? "default" : std::to_string(threads).c_str(), rounds);
    for (size_t i = 0; i < sizes.size(); ++i)
        std::printf("%dx%d -> %dx%d: median %.1f ms (min %.1f), %.2f of the first; CPU %.1f ms; %zu lines\n",
                    sizes[i].first, sizes[i].second, finders[i]->InputWidth(), finders[i]->InputHeight(), Median(ms[i]),
                    *std::min_element(ms[i].begin(), ms[i].end()), Median(ms[i]) / Median(ms[0]), Median(cpu[i]),
                    lines[i]);
    return 0;
}

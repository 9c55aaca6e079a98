// The detection benchmark's measurements (bench/detect_bench.sh), over files the script makes with
// ffmpeg: indexes (.bms) and raw 8-bit planes, one frame after another.
//
//   detect_metrics ranges TRUE.bms FOUND.bms
//       per true subtitle the found entry that overlaps it most and the errors of its two ends;
//       then exact (both ends), within2 (both within 2 frames), false (found entries that overlap
//       no true one) and false_frames (frames found that no true subtitle holds).
//   detect_metrics coverage W H DAMAGE MASK
//       DAMAGE: the true subtitle's alpha (glyph, outline, shadow), MASK: the luma of subremove's
//       mask mode, which paints the repainted regions red (luma about 82) and the ring of border
//       samples around them yellow (about 210). coverage: damaged pixels (alpha > 0) inside the
//       red regions over all damaged pixels; area: red pixels in frames with damage over damaged
//       pixels.
//   detect_metrics psnr W H CLEAN OUT TRUE.bms
//       luma PSNR of OUT against CLEAN over the frames TRUE.bms gives a subtitle.
//   detect_metrics truth W H FILL INDEX.bms
//       the true graymaps: FILL is the subtitles' alpha rendered without outline or shadow; each
//       entry of INDEX.bms (places 0,0) gets image_N.pgm beside it, the fill (alpha > 127) of its
//       first frame cropped to its bounding box with a 2-pixel clear border (as the recognition
//       tool writes them), and its place in INDEX.bms.
// One pass over each file, one frame in memory per file.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct Range {
    long first, last;
};

std::vector<Range> ReadIndex(const char *path) {
    std::ifstream in(path);
    std::vector<Range> ranges;
    std::string token;
    if (!(in >> token)) return ranges;
    while (in >> token) {
        long n, first, last, x, y;
        if (std::sscanf(token.c_str(), "%ld,%ld,%ld,%ld,%ld", &n, &first, &last, &x, &y) == 5 && first <= last)
            ranges.push_back({first, last});
    }
    return ranges;
}

long Overlap(const Range &a, const Range &b) {
    const long from = std::max(a.first, b.first), to = std::min(a.last, b.last);
    return to >= from ? to - from + 1 : 0;
}

bool InAny(const std::vector<Range> &ranges, long frame) {
    for (const Range &r : ranges)
        if (r.first <= frame && frame <= r.last) return true;
    return false;
}

int Ranges(const char *truePath, const char *foundPath) {
    const std::vector<Range> truth = ReadIndex(truePath), found = ReadIndex(foundPath);
    int exact = 0, within2 = 0, falseEntries = 0;
    long falseFrames = 0;
    for (const Range &t : truth) {
        const Range *best = nullptr;
        long most = 0;
        for (const Range &f : found)
            if (Overlap(t, f) > most) most = Overlap(t, f), best = &f;
        if (!best) {
            std::printf("subtitle %ld-%ld missed\n", t.first, t.last);
            continue;
        }
        const long dFirst = best->first - t.first, dLast = best->last - t.last;
        std::printf("subtitle %ld-%ld found %ld-%ld (%+ld, %+ld)\n", t.first, t.last, best->first, best->last, dFirst, dLast);
        exact += dFirst == 0 && dLast == 0;
        within2 += std::labs(dFirst) <= 2 && std::labs(dLast) <= 2;
    }
    for (const Range &f : found) {
        bool overlaps = false;
        for (const Range &t : truth) overlaps = overlaps || Overlap(t, f) > 0;
        falseEntries += !overlaps;
        for (long k = f.first; k <= f.last; ++k) falseFrames += !InAny(truth, k);
    }
    std::printf("ranges subtitles=%zu found=%zu exact=%d within2=%d false=%d false_frames=%ld\n", truth.size(), found.size(),
                exact, within2, falseEntries, falseFrames);
    return 0;
}

FILE *Open(const char *path) {
    FILE *f = std::fopen(path, "rb");
    if (!f) {
        std::fprintf(stderr, "detect_metrics: cannot read %s\n", path);
        std::exit(1);
    }
    return f;
}

// Red in the mask mode's picture, not its yellow sample ring nor the black background.
bool Repainted(uint8_t luma) { return luma >= 50 && luma <= 130; }

int Coverage(int w, int h, const char *damagePath, const char *maskPath) {
    FILE *damage = Open(damagePath), *mask = Open(maskPath);
    const size_t n = (size_t)w * h;
    std::vector<uint8_t> d(n), m(n);
    long long damaged = 0, covered = 0, area = 0;
    while (std::fread(d.data(), 1, n, damage) == n && std::fread(m.data(), 1, n, mask) == n) {
        long long here = 0;
        for (size_t i = 0; i < n; ++i) {
            if (d[i]) {
                ++here;
                covered += Repainted(m[i]);
            }
        }
        if (here == 0) continue;
        damaged += here;
        for (size_t i = 0; i < n; ++i) area += Repainted(m[i]);
    }
    std::fclose(damage);
    std::fclose(mask);
    std::printf("coverage=%.4f area=%.2f damaged=%lld\n", damaged ? (double)covered / damaged : 1.0,
                damaged ? (double)area / damaged : 0.0, damaged);
    return 0;
}

int Psnr(int w, int h, const char *cleanPath, const char *outPath, const char *truePath) {
    const std::vector<Range> truth = ReadIndex(truePath);
    FILE *clean = Open(cleanPath), *out = Open(outPath);
    const size_t n = (size_t)w * h;
    std::vector<uint8_t> a(n), b(n);
    double sum = 0;
    long long count = 0;
    for (long frame = 0; std::fread(a.data(), 1, n, clean) == n && std::fread(b.data(), 1, n, out) == n; ++frame) {
        if (!InAny(truth, frame)) continue;
        for (size_t i = 0; i < n; ++i) {
            const double e = (double)a[i] - b[i];
            sum += e * e;
        }
        count += (long long)n;
    }
    std::fclose(clean);
    std::fclose(out);
    const double mse = count ? sum / count : 0;
    std::printf("psnr=%.2f\n", mse > 0 ? 10 * std::log10(255.0 * 255.0 / mse) : 99.0);
    return 0;
}

int Truth(int w, int h, const char *fillPath, const char *indexPath) {
    const std::vector<Range> truth = ReadIndex(indexPath);
    const std::string path = indexPath;
    const size_t slash = path.find_last_of('/');
    const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash);
    FILE *fill = Open(fillPath);
    const size_t n = (size_t)w * h;
    std::vector<uint8_t> a(n);
    std::string index = std::to_string(truth.size()) + "\n";
    for (size_t k = 0; k < truth.size(); ++k) {
        if (std::fseek(fill, (long)(truth[k].first * (long)n), SEEK_SET) != 0 || std::fread(a.data(), 1, n, fill) != n) {
            std::fprintf(stderr, "detect_metrics: %s is too short\n", fillPath);
            return 1;
        }
        int x0 = w, y0 = h, x1 = -1, y1 = -1;
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                if (a[(size_t)y * w + x] > 127) x0 = std::min(x0, x), x1 = std::max(x1, x), y0 = std::min(y0, y), y1 = std::max(y1, y);
        if (x1 < 0) x0 = y0 = x1 = y1 = 0;
        x0 = std::max(0, x0 - 2), y0 = std::max(0, y0 - 2), x1 = std::min(w - 1, x1 + 2), y1 = std::min(h - 1, y1 + 2);
        const std::string pgm = folder + "/image_" + std::to_string(k) + ".pgm";
        FILE *out = std::fopen(pgm.c_str(), "wb");
        if (!out) return 1;
        std::fprintf(out, "P5\n%d %d\n255\n", x1 - x0 + 1, y1 - y0 + 1);
        for (int y = y0; y <= y1; ++y)
            for (int x = x0; x <= x1; ++x) std::fputc(a[(size_t)y * w + x] > 127 ? 255 : 0, out);
        std::fclose(out);
        index += std::to_string(k + 1) + "," + std::to_string(truth[k].first) + "," + std::to_string(truth[k].last) + "," +
                 std::to_string(x0) + "," + std::to_string(y0) + "\n";
    }
    std::fclose(fill);
    std::ofstream(indexPath) << index;
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    const std::string what = argc > 1 ? argv[1] : "";
    if (what == "ranges" && argc == 4) return Ranges(argv[2], argv[3]);
    if (what == "coverage" && argc == 6) return Coverage(std::atoi(argv[2]), std::atoi(argv[3]), argv[4], argv[5]);
    if (what == "psnr" && argc == 7) return Psnr(std::atoi(argv[2]), std::atoi(argv[3]), argv[4], argv[5], argv[6]);
    if (what == "truth" && argc == 6) return Truth(std::atoi(argv[2]), std::atoi(argv[3]), argv[4], argv[5]);
    std::fprintf(stderr, "usage: detect_metrics ranges TRUE.bms FOUND.bms | coverage W H DAMAGE MASK | psnr W H CLEAN OUT TRUE.bms\n");
    return 2;
}

// The detection benchmarks' measurements (bench/detect_bench.sh, bench/real_bench.sh), over files
// the scripts make with ffmpeg: indexes (.bms) and raw 8-bit planes, one frame after another.
//
//   detect_metrics ranges TRUE.bms FOUND.bms
//       per true subtitle the found entry that overlaps it most and the errors of its two ends;
//       then matched (true subtitles that some found entry overlaps), exact (both ends), within2
//       (both within 2 frames), false (found entries that overlap no true one) and false_frames
//       (frames found that no true subtitle holds).
//   detect_metrics coverage W H DAMAGE MASK
//       DAMAGE: non-zero where the subtitle damaged the picture, MASK: the luma of subremove's
//       mask mode, which paints the repainted regions red (luma about 82) and the ring of border
//       samples around them yellow (about 210). coverage: damaged pixels inside the red regions
//       over all damaged pixels; area: red pixels in frames with damage over damaged pixels.
//   detect_metrics psnr W H CLEAN OUT TRUE.bms
//       luma PSNR of OUT against CLEAN over the frames TRUE.bms gives a subtitle.
//   detect_metrics truth W H FILL INDEX.bms
//       the true graymaps: FILL is the subtitles' fill alone, without outline or shadow (its alpha,
//       or drawn in white over black); each entry of INDEX.bms (places 0,0) gets image_N.pgm
//       beside it, the fill (above 127) at its strongest over the entry's frames (a fade starts
//       faint) cropped to its bounding box with a 2-pixel clear border (as the recognition tool
//       writes them), and its place in INDEX.bms.
//   detect_metrics damage W H CLEAN BURNT DRAWN OUT [THRESHOLD]
//       the damaged pixels, 255 or 0 a pixel, into OUT ('-': standard output). CLEAN and BURNT are
//       yuv420p frames, DRAWN 8-bit planes of the subtitles drawn in white over black: at each
//       pixel the most the burn could change any picture. A pixel is damaged where that exceeds
//       THRESHOLD (default 2), faint as the pixel may be in this picture (white text on white), or
//       where any of its samples differs by more than THRESHOLD between CLEAN and BURNT (a glyph's
//       edge tints the chroma of its whole 2x2 block, where nothing was drawn). Reports frames,
//       damaged_frames, damaged (pixels over all frames) and from_difference (those not drawn),
//       on standard error when OUT is standard output.
// One pass over each file, one frame in memory per file (truth: one more per entry on screen).
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
    int matched = 0, exact = 0, within2 = 0, falseEntries = 0;
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
        ++matched;
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
    std::printf("ranges subtitles=%zu found=%zu matched=%d exact=%d within2=%d false=%d false_frames=%ld\n", truth.size(),
                found.size(), matched, exact, within2, falseEntries, falseFrames);
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

// image_K.pgm of the fill in `most` (above 127) cropped with a 2-pixel clear border; its index line.
std::string WriteGraymap(const std::string &folder, size_t k, const Range &r, const std::vector<uint8_t> &most, int w, int h) {
    int x0 = w, y0 = h, x1 = -1, y1 = -1;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            if (most[(size_t)y * w + x] > 127) x0 = std::min(x0, x), x1 = std::max(x1, x), y0 = std::min(y0, y), y1 = std::max(y1, y);
    if (x1 < 0) x0 = y0 = x1 = y1 = 0;
    x0 = std::max(0, x0 - 2), y0 = std::max(0, y0 - 2), x1 = std::min(w - 1, x1 + 2), y1 = std::min(h - 1, y1 + 2);
    const std::string pgm = folder + "/image_" + std::to_string(k) + ".pgm";
    FILE *out = std::fopen(pgm.c_str(), "wb");
    if (!out) {
        std::fprintf(stderr, "detect_metrics: cannot write %s\n", pgm.c_str());
        std::exit(1);
    }
    std::fprintf(out, "P5\n%d %d\n255\n", x1 - x0 + 1, y1 - y0 + 1);
    for (int y = y0; y <= y1; ++y)
        for (int x = x0; x <= x1; ++x) std::fputc(most[(size_t)y * w + x] > 127 ? 255 : 0, out);
    std::fclose(out);
    return std::to_string(k + 1) + "," + std::to_string(r.first) + "," + std::to_string(r.last) + "," + std::to_string(x0) + "," +
           std::to_string(y0) + "\n";
}

int Truth(int w, int h, const char *fillPath, const char *indexPath) {
    const std::vector<Range> truth = ReadIndex(indexPath);
    const std::string path = indexPath;
    const size_t slash = path.find_last_of('/');
    const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash);
    long end = -1;
    for (const Range &r : truth) end = std::max(end, r.last);
    FILE *fill = Open(fillPath);
    const size_t n = (size_t)w * h;
    std::vector<uint8_t> a(n);
    std::vector<std::vector<uint8_t>> most(truth.size());
    std::vector<std::string> lines(truth.size());
    // Sequential, so that FILL may be a pipe.
    for (long frame = 0; frame <= end; ++frame) {
        if (std::fread(a.data(), 1, n, fill) != n) {
            std::fprintf(stderr, "detect_metrics: %s is too short\n", fillPath);
            return 1;
        }
        for (size_t k = 0; k < truth.size(); ++k) {
            if (frame < truth[k].first || frame > truth[k].last) continue;
            most[k].resize(n, 0);
            for (size_t i = 0; i < n; ++i) most[k][i] = std::max(most[k][i], a[i]);
            if (frame < truth[k].last) continue;
            lines[k] = WriteGraymap(folder, k, truth[k], most[k], w, h);
            std::vector<uint8_t>().swap(most[k]);
        }
    }
    // The rest is read too, so that a writer into a pipe ends without a broken pipe.
    while (std::fread(a.data(), 1, n, fill) == n) {
    }
    std::fclose(fill);
    std::string index = std::to_string(truth.size()) + "\n";
    for (const std::string &line : lines) index += line;
    std::ofstream(indexPath) << index;
    return 0;
}

// Reads one yuv420p frame (chroma planes of half the size, rounded up) into `frame`.
bool ReadYuv(FILE *f, std::vector<uint8_t> &frame) { return std::fread(frame.data(), 1, frame.size(), f) == frame.size(); }

int Damage(int w, int h, const char *cleanPath, const char *burntPath, const char *drawnPath, const char *outPath, int threshold) {
    FILE *clean = Open(cleanPath), *burnt = Open(burntPath), *drawn = Open(drawnPath);
    const bool toStdout = std::strcmp(outPath, "-") == 0;
    FILE *out = toStdout ? stdout : std::fopen(outPath, "wb");
    if (!out) {
        std::fprintf(stderr, "detect_metrics: cannot write %s\n", outPath);
        return 1;
    }
    const size_t n = (size_t)w * h, cw = (w + 1) / 2, ch = (h + 1) / 2, c = cw * ch;
    std::vector<uint8_t> a(n + 2 * c), b(n + 2 * c), dr(n), d(n);
    long frames = 0, damagedFrames = 0;
    long long damaged = 0, fromDifference = 0;
    const auto differs = [&](size_t i) { return std::abs((int)a[i] - (int)b[i]) > threshold; };
    while (ReadYuv(clean, a) && ReadYuv(burnt, b) && std::fread(dr.data(), 1, n, drawn) == n) {
        long long here = 0;
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                const size_t i = (size_t)y * w + x, j = n + (size_t)(y / 2) * cw + x / 2;
                const bool changed = differs(i) || differs(j) || differs(j + c);
                const bool isDrawn = dr[i] > threshold;
                d[i] = isDrawn || changed ? 255 : 0;
                here += d[i] != 0;
                fromDifference += !isDrawn && changed;
            }
        if (std::fwrite(d.data(), 1, n, out) != n) {
            std::fprintf(stderr, "detect_metrics: cannot write %s\n", outPath);
            return 1;
        }
        ++frames;
        damagedFrames += here > 0;
        damaged += here;
    }
    std::fclose(clean);
    std::fclose(burnt);
    std::fclose(drawn);
    if (std::fclose(out) != 0) return 1;
    std::fprintf(toStdout ? stderr : stdout, "damage frames=%ld damaged_frames=%ld damaged=%lld from_difference=%lld\n", frames,
                 damagedFrames, damaged, fromDifference);
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    const std::string what = argc > 1 ? argv[1] : "";
    if (what == "ranges" && argc == 4) return Ranges(argv[2], argv[3]);
    if (what == "coverage" && argc == 6) return Coverage(std::atoi(argv[2]), std::atoi(argv[3]), argv[4], argv[5]);
    if (what == "psnr" && argc == 7) return Psnr(std::atoi(argv[2]), std::atoi(argv[3]), argv[4], argv[5], argv[6]);
    if (what == "truth" && argc == 6) return Truth(std::atoi(argv[2]), std::atoi(argv[3]), argv[4], argv[5]);
    if (what == "damage" && (argc == 8 || argc == 9))
        return Damage(std::atoi(argv[2]), std::atoi(argv[3]), argv[4], argv[5], argv[6], argv[7], argc == 9 ? std::atoi(argv[8]) : 2);
    std::fprintf(stderr, "usage: detect_metrics ranges TRUE.bms FOUND.bms | coverage W H DAMAGE MASK | psnr W H CLEAN OUT TRUE.bms |\n"
                         "       truth W H FILL INDEX.bms | damage W H CLEAN BURNT DRAWN OUT [THRESHOLD]\n");
    return 2;
}

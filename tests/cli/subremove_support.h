// Helpers of the subremove end-to-end tests: running the binary as a separate process, scratch
// folders, small films written and read back with the ffmpeg tool, and the film most tests use.
#pragma once

#include <gtest/gtest.h>


#include <fcntl.h>
#include <pty.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <algorithm>

namespace subremove_test {


struct Rgb {
    uint8_t r, g, b;
    bool operator==(const Rgb &o) const { return r == o.r && g == o.g && b == o.b; }
};

inline std::ostream &operator<<(std::ostream &os, const Rgb &c) {
    return os << "(" << (int)c.r << "," << (int)c.g << "," << (int)c.b << ")";
}

inline std::string ReadFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

inline void WriteFile(const std::string &path, const std::string &data) {
    std::ofstream out(path, std::ios::binary);
    out << data;
}

inline bool Exists(const std::string &path) {
    struct stat st{};
    return stat(path.c_str(), &st) == 0;
}

inline std::vector<std::string> ListDir(const std::string &dir) {
    std::vector<std::string> names;
    std::string listing = "ls -A '" + dir + "' > '" + dir + ".list' 2>/dev/null";
    if (std::system(listing.c_str()) != 0) return names;
    std::istringstream in(ReadFile(dir + ".list"));
    for (std::string line; std::getline(in, line);) names.push_back(line);
    std::remove((dir + ".list").c_str());
    return names;
}

struct Result {
    int status = -1;
    std::string out;
    std::string err;
};

// Runs subremove with `args`; standard output and error go to files, never to a terminal.
inline Result RunSubremove(const std::string &dir, std::vector<std::string> args) {
    args.insert(args.begin(), SUBREMOVE_PATH);
    const std::string outPath = dir + "/stdout.txt", errPath = dir + "/stderr.txt";
    pid_t pid = fork();
    if (pid == 0) {
        int o = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int e = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(o, 1);
        dup2(e, 2);
        if (chdir(dir.c_str()) != 0) _exit(127);
        std::vector<char *> argv;
        for (std::string &a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    Result r;
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    r.out = ReadFile(outPath);
    r.err = ReadFile(errPath);
    return r;
}

inline int Shell(const std::string &command) { return std::system(command.c_str()); }

// One test's scratch folder, removed afterwards.
class Scratch {
public:
    Scratch() {
        char pattern[] = "/tmp/subremove-test-XXXXXX";
        dir = mkdtemp(pattern);
    }
    ~Scratch() { Shell("rm -rf '" + dir + "'"); }
    std::string Path(const std::string &name) const { return dir + "/" + name; }
    std::string dir;
};

// A picture of w x h pixels, top row first.
struct Picture {
    int w = 0, h = 0;
    std::vector<Rgb> px;
    Picture(int width, int height, Rgb fill) : w(width), h(height), px((size_t)width * height, fill) {}
    Rgb &At(int x, int y) { return px[(size_t)y * w + x]; }
    const Rgb &At(int x, int y) const { return px[(size_t)y * w + x]; }
    void Fill(int x0, int y0, int x1, int y1, Rgb c) {
        for (int y = y0; y < y1; ++y)
            for (int x = x0; x < x1; ++x) At(x, y) = c;
    }
};

inline std::string Raw(const std::vector<Picture> &frames) {
    std::string raw;
    for (const Picture &p : frames)
        for (const Rgb &c : p.px) raw += std::string{(char)c.r, (char)c.g, (char)c.b};
    return raw;
}

// Writes the frames as a PNG sequence dir/%03d.png numbered from 0 (rgb24).
inline void WritePngSequence(const Scratch &s, const std::string &folder, const std::vector<Picture> &frames) {
    Shell("mkdir -p '" + s.Path(folder) + "'");
    WriteFile(s.Path("frames.rgb"), Raw(frames));
    const std::string cmd = std::string(SR_FFMPEG) + " -v error -y -f rawvideo -pix_fmt rgb24 -s " +
                            std::to_string(frames[0].w) + "x" + std::to_string(frames[0].h) + " -i '" + s.Path("frames.rgb") +
                            "' -start_number 0 '" + s.Path(folder) + "/%03d.png'";
    ASSERT_EQ(Shell(cmd), 0) << cmd;
}

// Decodes any video or sequence the ffmpeg tool reads into rgb24 pictures of w x h.
inline std::vector<Picture> ReadFrames(const Scratch &s, const std::string &input, int w, int h) {
    const std::string raw = s.Path("decoded.rgb");
    const std::string cmd = std::string(SR_FFMPEG) + " -v error -y -i '" + input + "' -f rawvideo -pix_fmt rgb24 '" + raw + "'";
    std::vector<Picture> frames;
    if (Shell(cmd) != 0) return frames;
    const std::string data = ReadFile(raw);
    const size_t size = (size_t)w * h * 3;
    for (size_t at = 0; at + size <= data.size(); at += size) {
        Picture p(w, h, Rgb{0, 0, 0});
        for (size_t i = 0; i < (size_t)w * h; ++i) p.px[i] = Rgb{(uint8_t)data[at + 3 * i], (uint8_t)data[at + 3 * i + 1], (uint8_t)data[at + 3 * i + 2]};
        frames.push_back(p);
    }
    return frames;
}

// What the recognition tool writes: a raw PGM glyph mask and the index line for it.
inline void WriteGraymap(const Scratch &s, int position, int w, int h, const std::vector<uint8_t> &samples) {
    std::string pgm = "P5\n" + std::to_string(w) + " " + std::to_string(h) + "\n255\n";
    pgm.append(reinterpret_cast<const char *>(samples.data()), samples.size());
    WriteFile(s.Path("subs/image_" + std::to_string(position) + ".pgm"), pgm);
}

inline std::string Tool(const std::string &command, const Scratch &s) {
    const std::string out = s.Path("tool.txt");
    if (Shell(command + " > '" + out + "' 2>/dev/null") != 0) return "<failed>";
    return ReadFile(out);
}

// The film of most tests: 48x32, 6 frames, each frame one flat colour of its own, with a white
// 10x4 "subtitle" block at columns 20..29, rows 20..23 on frames 2..4; the index covers
// frames 2..4 with a 10x4 graymap at (20, 20).
constexpr int kW = 48, kH = 32, kFrames = 6;
constexpr int kSubX = 20, kSubY = 20, kSubW = 10, kSubH = 4;
inline const Rgb kWhite{255, 255, 255};

inline Rgb Background(int frame) { return Rgb{(uint8_t)(30 + 20 * frame), (uint8_t)(200 - 15 * frame), (uint8_t)(90 + 7 * frame)}; }
inline bool Subtitled(int frame) { return frame >= 2 && frame <= 4; }

inline std::vector<Picture> SubtitledFilm() {
    std::vector<Picture> frames;
    for (int f = 0; f < kFrames; ++f) {
        Picture p(kW, kH, Background(f));
        if (Subtitled(f)) p.Fill(kSubX, kSubY, kSubX + kSubW, kSubY + kSubH, kWhite);
        frames.push_back(p);
    }
    return frames;
}

inline void WriteSubtitleIndex(const Scratch &s) {
    Shell("mkdir -p '" + s.Path("subs") + "'");
    WriteFile(s.Path("subs/film.bms"), "1\n1,2,4," + std::to_string(kSubX) + "," + std::to_string(kSubY) + "\n");
    WriteGraymap(s, 0, kSubW, kSubH, std::vector<uint8_t>((size_t)kSubW * kSubH, 255));
}

inline bool InsideSubtitle(int x, int y) { return x >= kSubX && x < kSubX + kSubW && y >= kSubY && y < kSubY + kSubH; }

// ASS time of frame boundary n - 0.5 at 25 frames/s (centiseconds), so libass shows exactly the
// frames first..last.
inline std::string AssTime(int frame) {
    const int cs = std::max(0, frame * 4 - 2);
    char text[32];
    std::snprintf(text, sizeof(text), "0:%02d:%02d.%02d", cs / 6000, cs / 100 % 60, cs % 100);
    return text;
}

// PSNR of `a` against `clean` over the samples where `burnt` differs from `clean` by more than
// `seen` (summed over R, G and B), frames first..last; `damaged` (optional) gets their number.
inline double DamagePsnr(const std::vector<Picture> &a, const std::vector<Picture> &clean, const std::vector<Picture> &burnt,
                         int first, int last, int seen, size_t *damaged = nullptr) {
    double sum = 0;
    size_t n = 0;
    for (int f = first; f <= last; ++f) {
        for (size_t i = 0; i < clean[f].px.size(); ++i) {
            const Rgb &c = clean[f].px[i], &b = burnt[f].px[i], &x = a[f].px[i];
            if (std::abs(b.r - c.r) + std::abs(b.g - c.g) + std::abs(b.b - c.b) <= seen) continue;
            for (int k = 0; k < 3; ++k) {
                const double d = (double)(&x.r)[k] - (double)(&c.r)[k];
                sum += d * d;
            }
            n += 3;
        }
    }
    if (damaged) *damaged = n / 3;
    return n ? 10 * std::log10(255.0 * 255.0 / std::max(sum / n, 1e-3)) : 0;
}

// The text detection model where subremove looks for it (scripts/setup_model.sh prepares it).
inline std::string TextModel() {
    if (const char *path = std::getenv("SUBREMOVE_TEXT_MODEL"); path && *path) return path;
    const char *cache = std::getenv("XDG_CACHE_HOME"), *home = std::getenv("HOME");
    if (cache && *cache) return std::string(cache) + "/subremove/text_det.onnx";
    return home ? std::string(home) + "/.cache/subremove/text_det.onnx" : "";
}

}  // namespace subremove_test

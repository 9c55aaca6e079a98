// Command-line parsing for subremove: getopt_long for the flags, a small hand parser for the
// filter's script line. The setting flags, their start values, ranges and help come from the
// module's parameter table, so a flag out of range is named before the module is ever called.
#include "cli/front/options.h"

#include <getopt.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <vector>

extern "C" {
#include <libavutil/parseutils.h>
}

#include "cli/errors.h"
#include "cli/ocr/language_names.h"
#include "host/params.h"

const char kUsageLine[] = "usage: subremove [OPTIONS] INPUT OUTPUT   (subremove --help for the options)";

namespace {

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

enum LongOnly {
    OPT_PREVIEW = 1000,
    OPT_PRINT_CONFIG,
    OPT_MODULE,
    OPT_CODEC,
    OPT_QUALITY,
    OPT_THREADS,
    OPT_VERSION,
    OPT_STRICT,
    OPT_PROGRESS,
    OPT_FILL,
    OPT_TEMPORAL_WINDOW,
    OPT_START,
    OPT_TO,
    OPT_FRAMES,
    OPT_CODEC_OPT,
    OPT_DETECT,
    OPT_DETECT_COLOUR,
    OPT_DETECT_REGION,
    OPT_OCR,
    OPT_SRT,
    OPT_SETTING,  // OPT_SETTING + ParameterId: the setting's own flag
};

// Where the help text of an option starts.
constexpr size_t kHelpColumn = 24;

int32_t StartValue(const ParameterInfo &p) {
    return p.flag.startValue == kModuleDefault ? p.defaultValue : p.flag.startValue;
}

// The words of a FLAG_WORDS setting ("original|mask|final"), one per value from the minimum.
std::vector<std::string> FlagWords(const ParameterInfo &p) {
    std::vector<std::string> words;
    const char *text = p.flag.value;
    for (const char *bar = std::strchr(text, '|');; bar = std::strchr(text = bar + 1, '|')) {
        words.emplace_back(text, bar ? (size_t)(bar - text) : std::strlen(text));
        if (!bar) return words;
    }
}

// The line of the setting flags' start values, as an example for --config.
std::string ExampleLine() {
    std::string line = "Config(";
    for (int position = 0; position < kScriptArgumentCount; ++position) {
        if (position > 0) line += ", ";
        const ParameterId id = ParameterAtScriptArgument(position);
        line += id == PARAM_COUNT ? "\"\"" : std::to_string(StartValue(kParameters[id]));
    }
    return line + ")";
}

std::string SettingHelp(const ParameterInfo &p) {
    std::string flag = std::string("  --") + p.flag.name + (p.flag.value ? std::string(" ") + p.flag.value : "");
    flag += flag.size() + 2 <= kHelpColumn ? std::string(kHelpColumn - flag.size(), ' ')
                                           : "\n" + std::string(kHelpColumn, ' ');
    std::string help = p.flag.help;
    const int32_t start = StartValue(p);
    if (p.flag.kind == FLAG_NUMBER) {
        help += ", " + std::to_string(p.minimum) + ".." + std::to_string(p.maximum) + " (default " +
                std::to_string(start) + ")";
    } else if (p.flag.kind == FLAG_WORDS) {
        help += " (default " + FlagWords(p)[(size_t)(start - p.minimum)] + ")";
    }
    return flag + help + "\n";
}

std::string BuildHelpText() {
    std::string text =
        "usage: subremove [OPTIONS] INPUT OUTPUT\n"
        "Removes burnt-in subtitles from a video with the subtitle removal filter module. Without -x or\n"
        "--detect it finds the subtitles itself and cleans with the temporal fill and each subtitle's own\n"
        "widening.\n"
        "\n"
        "  INPUT                 a video file, or an image sequence such as frames/%05d.png\n"
        "  OUTPUT                a video file (container from the extension) or an image sequence pattern\n"
        "  -i INPUT              the input, as in FFmpeg (or give it as the first file name)\n"
        "  -x, --index FILE.bms  the recognition tool's bitmap sequence index; it answers the module's\n"
        "                        open-file box (then the spatial fill and radius 5 are the defaults)\n"
        "  -c, --config LINE     a saved script line, e.g. '" + ExampleLine() + "', also with the\n"
        "                        host's 'VirtualDub.video.filters.instance[N].' prefix and a trailing ';';\n"
        "                        the setting flags below win over its values\n";
    for (const ParameterInfo &p : kParameters)
        if (p.flag.name) text += SettingHelp(p);
    text +=
        "  -ss POS               start at POS: seconds or [HH:]MM:SS[.m]; frames keep the film's numbers\n"
        "  -to POS, -t DUR       stop at POS, or after DUR (-t wins when both are given)\n"
        "  --frames N            write at most N frames\n"
        "  --fill spatial|temporal\n"
        "                        spatial (default with -x or --detect): the module's repaint from the pixels\n"
        "                        around each region; temporal (default otherwise): the film's own background\n"
        "                        from neighbouring frames, followed along the motion, and the module's\n"
        "                        repaint where no frame shows it\n"
        "  --temporal-window N   frames each way the temporal fill looks for background (default " +
        std::to_string(kDefaultTemporalWindow) + ", at most " + std::to_string(kMaxTemporalWindow) + ")\n"
        "  --preview N[,N...] FILE.png\n"
        "                        write each frame N (a number, or a time such as 1:30) as original |\n"
        "                        mask | final side by side (with --fill temporal: original | mask |\n"
        "                        spatial | temporal), and exit; several frames go to FILE-N.png\n"
        "                        each, N the frame number; found by seeking, numbered as from the start\n"
        "  --print-config        print the script line that the settings give (the module's fssProc), and exit\n"
        "  --module PATH         the filter module to load (default: the one installed beside subremove)\n"
        "  -f FORMAT             the output's container by FFmpeg's name (matroska, nut, mpegts, ...);\n"
        "                        needed when OUTPUT is '-' (standard output; INPUT '-' is standard input)\n"
        "  --codec NAME          the video encoder (default: FFV1 for .mkv, PNG for images, H.264 for .mp4);\n"
        "                        'same': the input's codec, and its profile where the encoder has profiles\n"
        "  --codec-opt KEY=VALUE an encoder option (repeatable), after subremove's own, e.g. preset=slow\n"
        "  --quality N           encoder quality for lossy codecs, lower is better (H.264 default 16)\n"
        "  --threads N           threads: filter instances and codec threads (default: one per core)\n"
                "  -q, --quiet           no progress display, no summary, and no encoder info lines\n"
        "  -y, -n                overwrite an existing output, or never (the default); not both\n"
        "  --strict              fail (status 1, nothing written) where a warning says the film was not fully\n"
        "                        cleaned: a missing or bad graymap, no index or no usable subtitle, concealed\n"
        "                        decoding errors, a stream left out\n"
        "  --progress FILE       write ffmpeg-style key=value progress blocks to FILE ('-': standard output)\n"
        "  --detect DIR          find the subtitles first: write DIR/subs.bms and DIR/image_N.pgm (an existing\n"
        "                        subs.bms needs -y), then clean with them when OUTPUT is given\n"
        "  --detect-colour C     the text's fill: white, yellow or RRGGBB (default: any light fill, and dark\n"
        "                        text on a light box)\n"
        "  --detect-region T:B   look only from T to B percent of the height (default 0:100, the bottom third\n"
        "                        taking less evidence)\n"
        "  --radius auto         each subtitle's widening: the smallest that covers its outline, shadow and\n"
        "                        halo, measured over its frames; between two radii the graymaps are grown\n"
        "                        in temporary copies (the default without -x)\n"
        "  --ocr LANGS           read each subtitle's text with Tesseract (languages such as eng or chi_sim+eng)\n"
        "                        into a subtitle stream of OUTPUT after the streams it keeps: SRT in .mkv,\n"
        "                        timed text in .mp4; a text that cannot be read gets an empty cue and a warning\n"
        "  --srt FILE            with --ocr: the text as an SRT file too; OUTPUT may then be left out\n"
        "  -h, --help, --version\n"
        "\n"
        "Examples:\n"
        "  subremove film.mkv clean.mkv\n"
        "  subremove -x subs/film.bms -i film.mkv clean.mkv\n"
        "  subremove --detect subs -i film.mkv clean.mkv\n"
        "  subremove --ocr chi_sim+eng film.mkv clean.mkv\n"
        "  subremove -x subs/film.bms -ss 1:30 -t 20 -i film.mkv part.mkv\n"
        "  subremove -x subs/film.bms --preview 1200,4000,1:30 frame.png -i film.mkv\n"
        "  subremove -x subs/film.bms --codec libx264 --codec-opt preset=slow film.mkv clean.mp4\n"
        "  subremove -x subs/film.bms -c 'VirtualDub.video.filters.instance[0]." + ExampleLine() +
        ";' film.mkv clean.mkv\n";
    return text;
}

const char *HelpText() {
    static const std::string text = BuildHelpText();
    return text.c_str();
}

bool ParseInt(const char *text, long long low, long long high, long long *value) {
    if (!text || !*text) return false;
    errno = 0;
    char *end = nullptr;
    long long v = std::strtoll(text, &end, 10);
    if (errno != 0 || *end != '\0' || std::isspace((unsigned char)text[0])) return false;
    if (v < low || v > high) return false;
    *value = v;
    return true;
}

// The value a setting flag gives: a number within the module's range for the setting, one of its
// words, or for a switch its maximum.
int32_t SettingFlag(ParameterId id, const char *text) {
    const ParameterInfo &p = kParameters[id];
    const std::string flag = std::string("--") + p.flag.name;
    if (p.flag.kind == FLAG_SWITCH) return p.maximum;
    if (p.flag.kind == FLAG_WORDS) {
        const std::vector<std::string> words = FlagWords(p);
        std::string choices;
        for (size_t i = 0; i < words.size(); ++i) {
            if (words[i] == text) return p.minimum + (int32_t)i;
            choices += (i == 0 ? "" : i + 1 < words.size() ? ", " : " or ") + words[i];
        }
        throw HostError(EXIT_USAGE, flag + " must be " + choices + ", not '" + text + "'");
    }
    long long v = 0;
    if (!ParseInt(text, INT32_MIN, INT32_MAX, &v)) {
        throw HostError(EXIT_USAGE, flag + " needs a whole number, not '" + text + "'");
    }
    if (!ParameterInRange(id, (int32_t)v)) {
        throw HostError(EXIT_USAGE, flag + " " + text + " is out of range (" + std::to_string(p.minimum) + ".." +
                                        std::to_string(p.maximum) + ")");
    }
    return (int32_t)v;
}

void SkipSpace(const std::string &s, size_t &i) {
    while (i < s.size() && std::isspace((unsigned char)s[i])) ++i;
}

bool Expect(const std::string &s, size_t &i, char c) {
    SkipSpace(s, i);
    if (i < s.size() && s[i] == c) {
        ++i;
        return true;
    }
    return false;
}

// Skips "Config", and the host's "VirtualDub.video.filters.instance[N]." before it.
bool ReadCallName(const std::string &line, size_t &i, std::string *error) {
    SkipSpace(line, i);
    static const char kPrefix[] = "VirtualDub.video.filters.instance[";
    if (line.compare(i, sizeof(kPrefix) - 1, kPrefix) == 0) {
        i += sizeof(kPrefix) - 1;
        size_t digits = i;
        while (i < line.size() && std::isdigit((unsigned char)line[i])) ++i;
        if (i == digits || line.compare(i, 2, "].") != 0) {
            *error = "the instance prefix is not 'VirtualDub.video.filters.instance[N].'";
            return false;
        }
        i += 2;
    }
    if (line.compare(i, 6, "Config") != 0) {
        *error = "the line is not a Config(...) call";
        return false;
    }
    i += 6;
    return true;
}

// A double-quoted string; the host's scripts escape a backslash or a quote with a backslash.
bool ReadQuoted(const std::string &line, size_t &i, std::string *text, std::string *error) {
    if (i >= line.size() || line[i] != '"') {
        *error = "the second value must be a string in double quotes";
        return false;
    }
    ++i;
    while (i < line.size()) {
        char c = line[i++];
        if (c == '"') return true;
        if (c == '\\' && i < line.size() && (line[i] == '\\' || line[i] == '"')) c = line[i++];
        *text += c;
    }
    *error = "the string value has no closing double quote";
    return false;
}

bool ReadWholeNumber(const std::string &line, size_t &i, int position, int32_t *value, std::string *error) {
    size_t start = i;
    if (i < line.size() && (line[i] == '-' || line[i] == '+')) ++i;
    while (i < line.size() && std::isdigit((unsigned char)line[i])) ++i;
    long long v = 0;
    if (!ParseInt(line.substr(start, i - start).c_str(), INT32_MIN, INT32_MAX, &v)) {
        *error = "value " + std::to_string(position + 1) + " is not a whole number";
        return false;
    }
    *value = (int32_t)v;
    return true;
}

}  // namespace

const char *const kHelpText = HelpText();

void ApplyDetectColour(const std::string &colour, int *lightLow, int *lightHigh) {
    int rgb[3] = {0, 0, 0};
    std::string hex = colour == "white" ? "ffffff" : colour == "yellow" ? "ffff00" : colour;
    if (!hex.empty() && hex[0] == '#') hex.erase(0, 1);
    bool ok = hex.size() == 6;
    for (size_t i = 0; ok && i < 6; i += 2) {
        const int hi = HexDigit(hex[i]), lo = HexDigit(hex[i + 1]);
        ok = hi >= 0 && lo >= 0;
        rgb[i / 2] = hi * 16 + lo;
    }
    if (!ok) throw HostError(EXIT_USAGE, "--detect-colour needs white, yellow or a colour as RRGGBB, not '" + colour + "'");
    // The fill's luma as a film codes it (BT.601 weights, studio range), give or take coding and
    // anti-aliasing; the darkest band still leaves room for the outline below it.
    const int luma = 16 + (int)((65.481 * rgb[0] + 128.553 * rgb[1] + 24.966 * rgb[2]) / 255.0 + 0.5);
    *lightLow = std::max(60, luma - 35);
    *lightHigh = std::min(255, luma + 35);
}

void ApplyDetectRegion(const std::string &region, int *top, int *bottom) {
    int a = -1, b = -1, used = 0;
    if (std::sscanf(region.c_str(), "%d:%d%n", &a, &b, &used) != 2 || used != (int)region.size() || a < 0 || b > 100 || a >= b) {
        throw HostError(EXIT_USAGE, "--detect-region needs TOP:BOTTOM in percent of the height, such as 60:100, not '" + region + "'");
    }
    *top = a;
    *bottom = b;
}

int64_t ParseTime(const std::string &text, bool isDuration) {
    int64_t us = 0;
    if (text.empty() || av_parse_time(&us, text.c_str(), isDuration) < 0 || us < 0) return -1;
    return us;
}

FilterSettings StartSettings() {
    FilterSettings s;
    for (int id = 0; id < PARAM_COUNT; ++id) s.*SettingField((ParameterId)id) = StartValue(kParameters[id]);
    return s;
}

std::optional<FilterSettings> ParseScriptLine(const std::string &line, std::string *error) {
    size_t i = 0;
    if (!ReadCallName(line, i, error)) return std::nullopt;
    if (!Expect(line, i, '(')) {
        *error = "'(' expected after Config";
        return std::nullopt;
    }
    const std::string count = std::to_string(kScriptArgumentCount);
    FilterSettings s;
    for (int position = 0; position < kScriptArgumentCount; ++position) {
        if (position > 0 && !Expect(line, i, ',')) {
            *error = "Config takes " + count + " values separated by commas";
            return std::nullopt;
        }
        SkipSpace(line, i);
        const ParameterId id = ParameterAtScriptArgument(position);
        const bool read = id == PARAM_COUNT ? ReadQuoted(line, i, &s.directory, error)
                                            : ReadWholeNumber(line, i, position, &(s.*SettingField(id)), error);
        if (!read) return std::nullopt;
    }
    if (!Expect(line, i, ')')) {
        *error = "')' expected after the " + count + " values";
        return std::nullopt;
    }
    Expect(line, i, ';');
    SkipSpace(line, i);
    if (i != line.size()) {
        *error = "unexpected text after the Config call";
        return std::nullopt;
    }
    return s;
}

namespace {

std::string CheckedTime(const char *flag, const char *text) {
    if (ParseTime(text, true) < 0) {
        throw HostError(EXIT_USAGE, std::string(flag) + " needs a time such as 90, 1:30 or 01:02:03.5, not '" + text + "'");
    }
    return text;
}

std::pair<std::string, std::string> CodecOption(const char *text) {
    const char *equals = std::strchr(text, '=');
    if (!equals || equals == text) throw HostError(EXIT_USAGE, std::string("--codec-opt needs KEY=VALUE, not '") + text + "'");
    return {std::string(text, (size_t)(equals - text)), equals + 1};
}

// "120,4000,1:30": each a frame number or a time.
std::vector<std::string> PreviewList(const char *text) {
    std::vector<std::string> items;
    for (const char *from = text;; ++from) {
        const char *comma = std::strchr(from, ',');
        std::string item(from, comma ? (size_t)(comma - from) : std::strlen(from));
        long long n = 0;
        if (!ParseInt(item.c_str(), 0, INT32_MAX, &n) && ParseTime(item, true) < 0) {
            throw HostError(EXIT_USAGE, "--preview needs frame numbers or times, not '" + item + "'");
        }
        items.push_back(item);
        if (!comma) return items;
        from = comma;
    }
}

// getopt takes one letter after a single dash: FFmpeg's -ss and -to become --ss and --to. Words
// after "--" are file names and stay as they are.
std::vector<char *> TranslateFfmpegFlags(int argc, char **argv) {
    static char ss[] = "--ss", to[] = "--to";
    std::vector<char *> args(argv, argv + argc);
    for (char *&word : args) {
        if (std::strcmp(word, "--") == 0) break;
        if (std::strcmp(word, "-ss") == 0) word = ss;
        else if (std::strcmp(word, "-to") == 0) word = to;
    }
    args.push_back(nullptr);
    return args;
}

// The long options: subremove's own, then one per setting flag.
const option *LongOptions() {
    static const std::vector<option> options = [] {
        std::vector<option> list = {
            {"index", required_argument, nullptr, 'x'},
            {"format", required_argument, nullptr, 'f'},
            {"ss", required_argument, nullptr, OPT_START},
            {"to", required_argument, nullptr, OPT_TO},
            {"frames", required_argument, nullptr, OPT_FRAMES},
            {"codec-opt", required_argument, nullptr, OPT_CODEC_OPT},
            {"config", required_argument, nullptr, 'c'},
            {"quiet", no_argument, nullptr, 'q'},
            {"help", no_argument, nullptr, 'h'},
            {"preview", required_argument, nullptr, OPT_PREVIEW},
            {"print-config", no_argument, nullptr, OPT_PRINT_CONFIG},
            {"module", required_argument, nullptr, OPT_MODULE},
            {"codec", required_argument, nullptr, OPT_CODEC},
            {"quality", required_argument, nullptr, OPT_QUALITY},
            {"threads", required_argument, nullptr, OPT_THREADS},
            {"version", no_argument, nullptr, OPT_VERSION},
            {"strict", no_argument, nullptr, OPT_STRICT},
            {"progress", required_argument, nullptr, OPT_PROGRESS},
            {"fill", required_argument, nullptr, OPT_FILL},
            {"temporal-window", required_argument, nullptr, OPT_TEMPORAL_WINDOW},
            {"detect", required_argument, nullptr, OPT_DETECT},
            {"detect-colour", required_argument, nullptr, OPT_DETECT_COLOUR},
            {"detect-region", required_argument, nullptr, OPT_DETECT_REGION},
            {"ocr", required_argument, nullptr, OPT_OCR},
            {"srt", required_argument, nullptr, OPT_SRT},
        };
        for (int id = 0; id < PARAM_COUNT; ++id) {
            const ParameterFlag &flag = kParameters[id].flag;
            if (flag.name) {
                list.push_back({flag.name, flag.kind == FLAG_SWITCH ? no_argument : required_argument, nullptr,
                                OPT_SETTING + id});
            }
        }
        list.push_back({nullptr, 0, nullptr, 0});
        return list;
    }();
    return options.data();
}

// What the flags asked for; single setting flags are applied after the --config line.
struct FlagValues {
    std::optional<int32_t> settings[PARAM_COUNT];
    std::string configLine;
    bool neverOverwrite = false;  // -n
    bool radiusWord = false;      // --radius auto was given
};

// The options of the temporal fill and of detection; false for any other.
bool TakeFillOption(int c, Options &o) {
    long long n = 0;
    switch (c) {
    case OPT_DETECT:
        if (optarg[0] == '\0') throw HostError(EXIT_USAGE, "--detect needs a folder");
        o.detectDir = optarg;
        break;
    case OPT_DETECT_COLOUR: {
        int low = 0, high = 0;
        ApplyDetectColour(optarg, &low, &high);
        o.detectColour = optarg;
        break;
    }
    case OPT_DETECT_REGION: {
        int top = 0, bottom = 0;
        ApplyDetectRegion(optarg, &top, &bottom);
        o.detectRegion = optarg;
        break;
    }
    case OPT_FILL:
        if (std::strcmp(optarg, "spatial") != 0 && std::strcmp(optarg, "temporal") != 0)
            throw HostError(EXIT_USAGE, std::string("--fill needs spatial or temporal, not '") + optarg + "'");
        o.temporalFill = std::strcmp(optarg, "temporal") == 0;
        o.fillGiven = true;
        break;
    case OPT_OCR:
        SplitLanguages(optarg);  // a usage error for a malformed list
        o.ocrLanguages = optarg;
        break;
    case OPT_SRT:
        if (optarg[0] == '\0') throw HostError(EXIT_USAGE, "--srt needs a file name");
        o.srtPath = optarg;
        break;
    case OPT_TEMPORAL_WINDOW:
        if (!ParseInt(optarg, 1, kMaxTemporalWindow, &n))
            throw HostError(EXIT_USAGE, std::string("--temporal-window needs a number 1..") + std::to_string(kMaxTemporalWindow) +
                                            ", not '" + optarg + "'");
        o.temporalWindow = (int)n;
        break;
    default: return false;
    }
    return true;
}

// --srt without a film: the cues are timed by a pass over the film's packets, a second reading.
bool TextTimedFromPackets(const Options &o) { return !o.srtPath.empty() && o.output.empty(); }

// --ocr and --srt: where the text goes, and only with the other.
void CheckTextOptions(const Options &o) {
    if (o.ocrLanguages.empty()) {
        if (!o.srtPath.empty()) throw HostError(EXIT_USAGE, "--srt needs --ocr LANGS, the languages to read the subtitles in");
        return;
    }
    if (!o.previews.empty()) throw HostError(EXIT_USAGE, "--ocr puts the text into OUTPUT or --srt; --preview writes neither");
    if (o.output.empty() && o.srtPath.empty()) throw HostError(EXIT_USAGE, "--ocr needs OUTPUT or --srt FILE to put the text in");
    if (!o.srtPath.empty() && (o.srtPath == o.output || o.srtPath == o.input)) {
        throw HostError(EXIT_USAGE, "--srt " + o.srtPath + " is the film's own file name; name another");
    }
    if (o.input == "-" && TextTimedFromPackets(o)) {
        throw HostError(EXIT_USAGE, "--srt without OUTPUT reads the film again to time the cues: give a file, not '-'");
    }
    if (o.srtPath == "-" && (o.output == "-" || o.progressPath == "-")) {
        throw HostError(EXIT_USAGE, "--srt - shares standard output with the film or --progress; give it a file");
    }
}

void TakeOption(int c, int argc, char **argv, Options &o, FlagValues &flags) {
    if (c == OPT_SETTING + PARAM_RADIUS && std::strcmp(optarg, "auto") == 0) {
        o.radiusAuto = flags.radiusWord = true;
        flags.settings[PARAM_RADIUS].reset();
        return;
    }
    if (c >= OPT_SETTING && c < OPT_SETTING + PARAM_COUNT) {
        if (c == OPT_SETTING + PARAM_RADIUS) o.radiusAuto = flags.radiusWord = false;
        flags.settings[c - OPT_SETTING] = SettingFlag((ParameterId)(c - OPT_SETTING), optarg);
        return;
    }
    if (TakeFillOption(c, o)) return;
    long long n = 0;
    switch (c) {
    case 'i': o.input = optarg; break;
    case 'x': o.index = optarg; break;
    case 'f': o.format = optarg; break;
    case OPT_START: o.start = CheckedTime("-ss", optarg); break;
    case OPT_TO: o.end = CheckedTime("-to", optarg); break;
    case 't': o.duration = CheckedTime("-t", optarg); break;
    case OPT_FRAMES:
        if (!ParseInt(optarg, 0, INT32_MAX, &n)) throw HostError(EXIT_USAGE, std::string("--frames needs a frame count, not '") + optarg + "'");
        o.frameLimit = n;
        break;
    case OPT_CODEC_OPT: o.codecOptions.push_back(CodecOption(optarg)); break;
    case 'c': flags.configLine = optarg; o.configGiven = true; break;
    case 'q': o.quiet = true; break;
    case 'y': o.overwrite = true; break;
    case 'n': flags.neverOverwrite = true; break;
    case 'h': o.help = true; break;
    case OPT_VERSION: o.version = true; break;
    case OPT_STRICT: o.strict = true; break;
    case OPT_PROGRESS:
        if (optarg[0] == '\0') throw HostError(EXIT_USAGE, "--progress needs a file name or '-'");
        o.progressPath = optarg;
        break;
    case OPT_PREVIEW:
        o.previews = PreviewList(optarg);
        // The file name is the word after the frame numbers.
        if (optind >= argc || argv[optind][0] == '\0') throw HostError(EXIT_USAGE, "--preview needs a frame number and a FILE.png");
        o.previewPath = argv[optind++];
        break;
    case OPT_PRINT_CONFIG: o.printConfig = true; break;
    case OPT_MODULE: o.modulePath = optarg; break;
    case OPT_CODEC: o.codec = optarg; break;
    case OPT_QUALITY:
        if (!ParseInt(optarg, 0, 63, &n)) throw HostError(EXIT_USAGE, std::string("--quality needs a number 0..63, not '") + optarg + "'");
        o.quality = (int)n;
        break;
    case OPT_THREADS:
        if (!ParseInt(optarg, 1, 256, &n)) throw HostError(EXIT_USAGE, std::string("--threads needs a number 1..256, not '") + optarg + "'");
        o.threads = (int)n;
        break;
    case ':': {
        // The word as typed: -ss and -to were given with one dash.
        const std::string word = argv[optind - 1];
        throw HostError(EXIT_USAGE, "option " + (word == "--ss" || word == "--to" ? word.substr(1) : word) + " needs a value");
    }
    default: {
        const char *word = argv[optind - 1];
        throw HostError(EXIT_USAGE, std::string("unknown option ") + (optopt ? std::string("-") + (char)optopt : std::string(word)));
    }
    }
}

}  // namespace

Options ParseCommandLine(int argc, char **argv) {
    Options o;
    o.settings = StartSettings();
    FlagValues flags;
    opterr = 0;
    // 0, not 1: glibc then forgets the place inside a cluster of short flags ("-qz") where a
    // previous parse stopped, which otherwise points into that parse's (freed) words.
    optind = 0;
    int c;
    std::vector<char *> args = TranslateFfmpegFlags(argc, argv);
    argc = (int)args.size() - 1;
    argv = args.data();
    while ((c = getopt_long(argc, argv, ":i:x:t:c:f:qhyn", LongOptions(), nullptr)) != -1) TakeOption(c, argc, argv, o, flags);
    if (o.help || o.version) return o;
    // As FFmpeg: asking for both is a mistake, not a choice by order.
    if (o.overwrite && flags.neverOverwrite) throw HostError(EXIT_USAGE, "-y and -n contradict each other; give one");

    // Single flags win over the --config line whatever their order.
    if (!flags.configLine.empty() || o.configGiven) {
        std::string why;
        std::optional<FilterSettings> parsed = ParseScriptLine(flags.configLine, &why);
        if (!parsed) throw HostError(EXIT_USAGE, "cannot read the --config line: " + why);
        o.settings = *parsed;
    }
    for (int id = 0; id < PARAM_COUNT; ++id)
        if (flags.settings[id]) o.settings.*SettingField((ParameterId)id) = *flags.settings[id];

    // After --detect the radii come with the subtitles: auto, which the detection benchmark found
    // never worse than the module's default, unless a radius was given.
    if (!o.detectDir.empty() && !flags.settings[PARAM_RADIUS] && !o.configGiven && !flags.radiusWord) o.radiusAuto = true;

    std::vector<std::string> words(argv + optind, argv + argc);
    if (o.input.empty() && !words.empty()) {
        o.input = words.front();
        words.erase(words.begin());
    }
    if (!o.printConfig && o.input.empty()) throw HostError(EXIT_USAGE, o.previews.empty() ? "INPUT and OUTPUT are needed" : "INPUT is missing");
    if (!o.detectDir.empty() && !o.index.empty()) throw HostError(EXIT_USAGE, "--detect writes the index; give it or -x, not both");
    if (!o.printConfig && o.previews.empty() && o.detectDir.empty() && o.srtPath.empty() && words.empty()) throw HostError(EXIT_USAGE, "OUTPUT is missing");
    if (words.size() > 1) throw HostError(EXIT_USAGE, "too many file names");
    if (!words.empty()) o.output = words[0];
    // No index and no folder to find them into: the subtitles are found all the same, and the
    // film cleaned with the best fill there is, with each subtitle's own widening.
    if (!o.printConfig && o.index.empty() && o.detectDir.empty()) {
        o.findSubtitles = true;
        if (!o.fillGiven) o.temporalFill = true;
        if (!flags.settings[PARAM_RADIUS] && !o.configGiven && !flags.radiusWord) o.radiusAuto = true;
    }
    // Standard input can be read once: finding the subtitles, or measuring the radii of an index
    // written elsewhere, reads the film before the run that cleans it.
    const bool readsTwice = ((!o.detectDir.empty() || o.findSubtitles) && (!o.output.empty() || !o.previews.empty())) ||
                            (o.radiusAuto && !o.index.empty());
    if (o.input == "-" && readsTwice) {
        throw HostError(EXIT_USAGE, o.findSubtitles ? "finding the subtitles reads the film twice: give a file, not '-', or the index with -x"
                                                    : "--detect with an output, or --radius auto with an index, reads the film twice: give a file, not '-'");
    }
    CheckTextOptions(o);
    if (o.output == "-" && o.progressPath == "-") {
        throw HostError(EXIT_USAGE, "--progress - and the film cannot both go to standard output; give --progress a file");
    }
    return o;
}

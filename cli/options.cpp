// Command-line parsing for subremove: getopt_long for the flags, a small hand parser for the
// filter's script line. Ranges come from the module's parameter table, so a flag out of range is
// named before the module is ever called.
#include "cli/options.h"

#include <getopt.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "cli/errors.h"
#include "host/params.h"

const char kUsageLine[] = "usage: subremove [OPTIONS] INPUT OUTPUT   (subremove --help for the options)";

const char kHelpText[] =
    "usage: subremove [OPTIONS] INPUT OUTPUT\n"
    "Removes burnt-in subtitles from a video with the subtitle removal filter module.\n"
    "\n"
    "  INPUT                 a video file, or an image sequence such as frames/%05d.png\n"
    "  OUTPUT                a video file (container from the extension) or an image sequence pattern\n"
    "  -i, --index FILE.bms  the bitmap sequence index; it answers the module's open-file box\n"
    "  -c, --config LINE     a saved script line, e.g. 'Config(2, \"\", 15, 40, 0, 0, 5)', also with the\n"
    "                        host's 'VirtualDub.video.filters.instance[N].' prefix and a trailing ';'\n"
    "  --mode original|mask|final  --radius N  --depth N  --power N  --aspect N  --interlaced\n"
    "                        the same settings one by one (defaults: final and the module's defaults)\n"
    "  --preview N FILE.png  write frame N as original | mask | final side by side, and exit\n"
    "  --print-config        print the script line that the settings give (the module's fssProc), and exit\n"
    "  --module PATH         the filter module to load (default: the one installed beside subremove)\n"
    "  --codec NAME          the video encoder (default: FFV1 for .mkv, PNG for images, H.264 for .mp4)\n"
    "  --quality N           encoder quality for lossy codecs, lower is better (H.264 default 16)\n"
    "  --threads N           threads: filter instances and codec threads (default: one per core)\n"
    "  -q, --quiet           no progress display and no summary\n"
    "  -h, --help, --version\n"
    "\n"
    "Examples:\n"
    "  subremove -i subs/film.bms film.mkv clean.mkv\n"
    "  subremove -i subs/film.bms --preview 1200 frame.png film.mkv clean.mkv\n"
    "  subremove -i subs/film.bms -c 'VirtualDub.video.filters.instance[0].Config(2, \"\", 15, 40, 0, 0, 5);' film.mkv clean.mkv\n";

namespace {

enum LongOnly {
    OPT_MODE = 1000,
    OPT_RADIUS,
    OPT_DEPTH,
    OPT_POWER,
    OPT_ASPECT,
    OPT_INTERLACED,
    OPT_PREVIEW,
    OPT_PRINT_CONFIG,
    OPT_MODULE,
    OPT_CODEC,
    OPT_QUALITY,
    OPT_THREADS,
    OPT_VERSION,
};

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

// A setting flag: a number that must lie in the module's range for the setting.
int32_t SettingFlag(const char *flag, const char *text, ParameterId id) {
    long long v = 0;
    if (!ParseInt(text, INT32_MIN, INT32_MAX, &v)) {
        throw HostError(EXIT_USAGE, std::string(flag) + " needs a whole number, not '" + text + "'");
    }
    if (!ParameterInRange(id, (int32_t)v)) {
        throw HostError(EXIT_USAGE, std::string(flag) + " " + text + " is out of range (" +
                                        std::to_string(kParameters[id].minimum) + ".." +
                                        std::to_string(kParameters[id].maximum) + ")");
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

}  // namespace

std::optional<FilterSettings> ParseScriptLine(const std::string &line, std::string *error) {
    size_t i = 0;
    SkipSpace(line, i);
    static const char kPrefix[] = "VirtualDub.video.filters.instance[";
    if (line.compare(i, sizeof(kPrefix) - 1, kPrefix) == 0) {
        i += sizeof(kPrefix) - 1;
        size_t digits = i;
        while (i < line.size() && std::isdigit((unsigned char)line[i])) ++i;
        if (i == digits || line.compare(i, 2, "].") != 0) {
            *error = "the instance prefix is not 'VirtualDub.video.filters.instance[N].'";
            return std::nullopt;
        }
        i += 2;
    }
    if (line.compare(i, 6, "Config") != 0) {
        *error = "the line is not a Config(...) call";
        return std::nullopt;
    }
    i += 6;
    if (!Expect(line, i, '(')) {
        *error = "'(' expected after Config";
        return std::nullopt;
    }
    std::vector<long long> numbers;
    std::string directory;
    for (int arg = 0; arg < 7; ++arg) {
        if (arg > 0 && !Expect(line, i, ',')) {
            *error = "Config takes 7 values separated by commas";
            return std::nullopt;
        }
        SkipSpace(line, i);
        if (arg == 1) {
            if (i >= line.size() || line[i] != '"') {
                *error = "the second value must be a string in double quotes";
                return std::nullopt;
            }
            ++i;
            bool closed = false;
            while (i < line.size()) {
                char c = line[i++];
                if (c == '"') {
                    closed = true;
                    break;
                }
                // The host's scripts escape a backslash or a quote with a backslash.
                if (c == '\\' && i < line.size() && (line[i] == '\\' || line[i] == '"')) c = line[i++];
                directory += c;
            }
            if (!closed) {
                *error = "the string value has no closing double quote";
                return std::nullopt;
            }
            continue;
        }
        size_t start = i;
        if (i < line.size() && (line[i] == '-' || line[i] == '+')) ++i;
        while (i < line.size() && std::isdigit((unsigned char)line[i])) ++i;
        long long v = 0;
        if (!ParseInt(line.substr(start, i - start).c_str(), INT32_MIN, INT32_MAX, &v)) {
            *error = "value " + std::to_string(arg + 1) + " is not a whole number";
            return std::nullopt;
        }
        numbers.push_back(v);
    }
    if (!Expect(line, i, ')')) {
        *error = "')' expected after the 7 values";
        return std::nullopt;
    }
    Expect(line, i, ';');
    SkipSpace(line, i);
    if (i != line.size()) {
        *error = "unexpected text after the Config call";
        return std::nullopt;
    }
    FilterSettings s;
    s.mode = (int32_t)numbers[0];
    s.directory = directory;
    s.depth = (int32_t)numbers[1];
    s.power = (int32_t)numbers[2];
    s.interlaced = (int32_t)numbers[3];
    s.pixelAspect = (int32_t)numbers[4];
    s.radius = (int32_t)numbers[5];
    return s;
}

Options ParseCommandLine(int argc, char **argv) {
    Options o;
    o.settings.mode = MODE_FINAL;
    o.settings.depth = kParameters[PARAM_DEPTH].defaultValue;
    o.settings.power = kParameters[PARAM_POWER].defaultValue;
    o.settings.interlaced = kParameters[PARAM_INTERLACED].defaultValue;
    o.settings.pixelAspect = kParameters[PARAM_PIXEL_ASPECT].defaultValue;
    o.settings.radius = kParameters[PARAM_RADIUS].defaultValue;

    static const option kLong[] = {
        {"index", required_argument, nullptr, 'i'},
        {"config", required_argument, nullptr, 'c'},
        {"quiet", no_argument, nullptr, 'q'},
        {"help", no_argument, nullptr, 'h'},
        {"mode", required_argument, nullptr, OPT_MODE},
        {"radius", required_argument, nullptr, OPT_RADIUS},
        {"depth", required_argument, nullptr, OPT_DEPTH},
        {"power", required_argument, nullptr, OPT_POWER},
        {"aspect", required_argument, nullptr, OPT_ASPECT},
        {"interlaced", no_argument, nullptr, OPT_INTERLACED},
        {"preview", required_argument, nullptr, OPT_PREVIEW},
        {"print-config", no_argument, nullptr, OPT_PRINT_CONFIG},
        {"module", required_argument, nullptr, OPT_MODULE},
        {"codec", required_argument, nullptr, OPT_CODEC},
        {"quality", required_argument, nullptr, OPT_QUALITY},
        {"threads", required_argument, nullptr, OPT_THREADS},
        {"version", no_argument, nullptr, OPT_VERSION},
        {nullptr, 0, nullptr, 0},
    };

    // Single flags win over the --config line whatever their order: collect them, apply after.
    std::optional<int32_t> mode, radius, depth, power, aspect;
    bool interlaced = false;
    std::string configLine;

    opterr = 0;
    // 0, not 1: glibc then forgets the place inside a cluster of short flags ("-qz") where a
    // previous parse stopped, which otherwise points into that parse's (freed) words.
    optind = 0;
    int c;
    while ((c = getopt_long(argc, argv, ":i:c:qh", kLong, nullptr)) != -1) {
        switch (c) {
        case 'i': o.index = optarg; break;
        case 'c': configLine = optarg; o.configGiven = true; break;
        case 'q': o.quiet = true; break;
        case 'h': o.help = true; break;
        case OPT_VERSION: o.version = true; break;
        case OPT_MODE:
            if (!std::strcmp(optarg, "original")) mode = MODE_ORIGINAL;
            else if (!std::strcmp(optarg, "mask")) mode = MODE_MASK_ONLY;
            else if (!std::strcmp(optarg, "final")) mode = MODE_FINAL;
            else throw HostError(EXIT_USAGE, std::string("--mode must be original, mask or final, not '") + optarg + "'");
            break;
        case OPT_RADIUS: radius = SettingFlag("--radius", optarg, PARAM_RADIUS); break;
        case OPT_DEPTH: depth = SettingFlag("--depth", optarg, PARAM_DEPTH); break;
        case OPT_POWER: power = SettingFlag("--power", optarg, PARAM_POWER); break;
        case OPT_ASPECT: aspect = SettingFlag("--aspect", optarg, PARAM_PIXEL_ASPECT); break;
        case OPT_INTERLACED: interlaced = true; break;
        case OPT_PREVIEW: {
            long long frame = 0;
            if (!ParseInt(optarg, 0, INT32_MAX, &frame)) {
                throw HostError(EXIT_USAGE, std::string("--preview needs a frame number, not '") + optarg + "'");
            }
            // The file name is the word after the frame number.
            if (optind >= argc || argv[optind][0] == '\0') throw HostError(EXIT_USAGE, "--preview needs a frame number and a FILE.png");
            o.previewFrame = frame;
            o.previewPath = argv[optind++];
            break;
        }
        case OPT_PRINT_CONFIG: o.printConfig = true; break;
        case OPT_MODULE: o.modulePath = optarg; break;
        case OPT_CODEC: o.codec = optarg; break;
        case OPT_QUALITY: {
            long long q = 0;
            if (!ParseInt(optarg, 0, 63, &q)) throw HostError(EXIT_USAGE, std::string("--quality needs a number 0..63, not '") + optarg + "'");
            o.quality = (int)q;
            break;
        }
        case OPT_THREADS: {
            long long n = 0;
            if (!ParseInt(optarg, 1, 256, &n)) throw HostError(EXIT_USAGE, std::string("--threads needs a number 1..256, not '") + optarg + "'");
            o.threads = (int)n;
            break;
        }
        case ':': throw HostError(EXIT_USAGE, std::string("option ") + argv[optind - 1] + " needs a value");
        default: {
            const char *word = argv[optind - 1];
            throw HostError(EXIT_USAGE, std::string("unknown option ") + (optopt ? std::string("-") + (char)optopt : std::string(word)));
        }
        }
    }
    if (o.help || o.version) return o;

    if (!configLine.empty() || o.configGiven) {
        std::string why;
        std::optional<FilterSettings> parsed = ParseScriptLine(configLine, &why);
        if (!parsed) throw HostError(EXIT_USAGE, "cannot read the --config line: " + why);
        o.settings = *parsed;
    }
    if (mode) o.settings.mode = *mode;
    if (radius) o.settings.radius = *radius;
    if (depth) o.settings.depth = *depth;
    if (power) o.settings.power = *power;
    if (aspect) o.settings.pixelAspect = *aspect;
    if (interlaced) o.settings.interlaced = 1;

    std::vector<std::string> words(argv + optind, argv + argc);
    const size_t needed = o.printConfig ? 0 : (o.previewFrame >= 0 ? 1 : 2);
    if (words.size() < needed) throw HostError(EXIT_USAGE, needed == 1 ? "INPUT is missing" : "INPUT and OUTPUT are needed");
    if (words.size() > 2 || (o.previewFrame >= 0 && words.size() > 2)) throw HostError(EXIT_USAGE, "too many file names");
    if (!words.empty()) o.input = words[0];
    if (words.size() > 1) o.output = words[1];
    return o;
}

// Command line of subremove and the filter's saved script line.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "cli/plugin/filter_settings.h"

// The temporal fill's window: frames each way it may take background from.
constexpr int kDefaultTemporalWindow = 48;
constexpr int kMaxTemporalWindow = 60;

struct Options {
    std::string input;
    std::string output;
    std::string index;
    std::string modulePath;
    std::string codec;
    int quality = -1;
    FilterSettings settings;      // defaults, then the --config line, then the single flags
    bool configGiven = false;     // settings came from a --config line (range faults are the module's to report)
    std::vector<std::string> previews;  // --preview: frame numbers or times, as given
    std::string previewPath;
    std::string start;     // -ss: a time, as given (empty: the film's start)
    std::string end;       // -to: a time (empty: the film's end)
    std::string duration;  // -t: a duration (empty: to the end)
    int64_t frameLimit = -1;  // --frames; -1: no limit
    std::vector<std::pair<std::string, std::string>> codecOptions;  // --codec-opt, in order
    bool printConfig = false;
    bool quiet = false;
    int threads = 0;              // 0: one per core
    bool overwrite = false;       // -y: an existing output may be replaced
    bool strict = false;          // a film not fully cleaned is an error
    std::string format;           // -f: the output's container by FFmpeg's name; needed for "-"
    std::string progressPath;     // --progress: key=value blocks to this file, "-" standard output
    bool temporalFill = false;    // --fill temporal
    int temporalWindow = kDefaultTemporalWindow;
    bool help = false;
    bool version = false;
    std::string detectDir;        // --detect: find the subtitles and write the index and graymaps here
    std::string detectColour;     // --detect-colour, as given
    std::string detectRegion;     // --detect-region TOP:BOTTOM, as given
    bool radiusAuto = false;      // --radius auto: each subtitle's radius from its frames
    // Neither -x nor --detect: subremove finds the subtitles itself into a private folder, and
    // cleans with the temporal fill unless --fill was given (or the film's pictures are ones the
    // temporal fill does not take).
    bool findSubtitles = false;
    bool fillGiven = false;       // --fill was given
    std::string ocrLanguages;     // --ocr: Tesseract's languages to read each subtitle's text in; empty: no reading
    std::string srtPath;          // --srt: the text as an SRT file too (OUTPUT may then be left out)
};

// Parses argv. Throws HostError(EXIT_USAGE) with a one-line reason for a bad command line.
Options ParseCommandLine(int argc, char **argv);

// The settings before any flag or --config line: each setting flag's start value.
FilterSettings StartSettings();

// Reads 'Config(2, "dir", 15, 40, 0, 0, 5)', optionally with the host's
// 'VirtualDub.video.filters.instance[N].' prefix and a trailing ';'. Empty result with `error`
// set when the line is not such a call.
std::optional<FilterSettings> ParseScriptLine(const std::string &line, std::string *error);

// A time or duration in FFmpeg's syntax ("90", "1:30", "01:02:03.5") in microseconds, or -1
// when `text` is not one.
int64_t ParseTime(const std::string &text, bool isDuration);

// Parses --detect-colour ("white", "yellow", "#RRGGBB" or "RRGGBB") into the fill's luma band.
// Throws HostError(EXIT_USAGE) for anything else.
void ApplyDetectColour(const std::string &colour, int *lightLow, int *lightHigh);
// Parses --detect-region "TOP:BOTTOM" in percent of the height. Throws HostError(EXIT_USAGE).
void ApplyDetectRegion(const std::string &region, int *top, int *bottom);

extern const char kUsageLine[];
// Built from the parameter table when the program starts.
extern const char *const kHelpText;

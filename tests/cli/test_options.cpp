// subremove's host-side helpers called directly: the command-line parser (parses that follow one
// another in a process, as the fuzz target makes them, must not see anything of the one before),
// the index summary and the frame-range questions asked once per frame.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include <random>

extern "C" {
#include <libavutil/avutil.h>
}

#include "cli/errors.h"
#include "cli/input/film_part.h"
#include "cli/pipeline/frame_ranges.h"
#include "cli/plugin/index_summary.h"
#include "cli/front/options.h"
#include "cli/detection/radius_plan.h"

namespace {

struct Argv {
    std::vector<std::string> words;
    std::vector<char *> pointers;
    explicit Argv(std::vector<std::string> w) : words(std::move(w)) {
        words.insert(words.begin(), "subremove");
        for (std::string &s : words) pointers.push_back(s.data());
        pointers.push_back(nullptr);
    }
    int argc() const { return (int)words.size(); }
    char **argv() { return pointers.data(); }
};

// Guards: getopt resuming inside the short-flag cluster where the previous parse stopped
// ("-zq": refused at 'z', the 'q' still pending), found by the fuzz target as a use after free
// when the previous words were gone. The first words stay alive here, so any build sees the fault
// as a stray -q.
TEST(ParseCommandLine, StartsAfreshAfterARefusedFlagCluster) {
    Argv refused({"-zq", "in.mkv", "out.mkv"});
    EXPECT_THROW(ParseCommandLine(refused.argc(), refused.argv()), HostError);
    Argv plain({"in.mkv", "out.mkv"});
    const Options o = ParseCommandLine(plain.argc(), plain.argv());
    EXPECT_FALSE(o.quiet);
    EXPECT_EQ(o.input, "in.mkv");
    EXPECT_EQ(o.output, "out.mkv");
}

// Guards: -ss or -to read by getopt as -s/-t clusters, -i still taken as the index, the input lost
// when given both ways, or a translated word after "--" no longer a file name.
TEST(ParseCommandLine, TakesFfmpegStyleInputAndTimeFlags) {
    Argv flags({"-ss", "1:30", "-to", "01:02:03.5", "-t", "20", "-x", "subs/a.bms", "-i", "in.mkv", "out.mkv"});
    const Options o = ParseCommandLine(flags.argc(), flags.argv());
    EXPECT_EQ(o.input, "in.mkv");
    EXPECT_EQ(o.output, "out.mkv");
    EXPECT_EQ(o.index, "subs/a.bms");
    EXPECT_EQ(o.start, "1:30");
    EXPECT_EQ(o.end, "01:02:03.5");
    EXPECT_EQ(o.duration, "20");
    Argv positional({"--index", "a.bms", "--", "-ss", "out.mkv"});
    const Options p = ParseCommandLine(positional.argc(), positional.argv());
    EXPECT_EQ(p.input, "-ss");
    EXPECT_EQ(p.index, "a.bms");
    const std::vector<std::vector<std::string>> refused = {
        {"-i", "in.mkv", "a.mkv", "b.mkv"}, {"-ss", "soon", "in.mkv", "out.mkv"}, {"-t", "-5", "in.mkv", "out.mkv"},
        {"-i", "in.mkv"},                   {"--frames", "x", "in.mkv", "out.mkv"}, {"--codec-opt", "=1", "in.mkv", "out.mkv"},
        {"in.mkv", "out.mkv", "-ss"}};
    for (const auto &words : refused) {
        Argv a(words);
        EXPECT_THROW(ParseCommandLine(a.argc(), a.argv()), HostError) << words[0] << " " << words[1];
    }
}

// Guards: a preview list cut at the wrong commas, a time refused, or the options' values split at
// the wrong '=' (an x264-params value holds more of them).
TEST(ParseCommandLine, SplitsPreviewListsAndCodecOptions) {
    Argv a({"--preview", "120,1:30,9000", "p.png", "--codec-opt", "x264-params=keyint=5:bframes=0", "--codec-opt",
            "preset=fast", "-i", "in.mkv"});
    const Options o = ParseCommandLine(a.argc(), a.argv());
    EXPECT_EQ(o.previews, (std::vector<std::string>{"120", "1:30", "9000"}));
    EXPECT_EQ(o.previewPath, "p.png");
    EXPECT_EQ(o.input, "in.mkv");
    ASSERT_EQ(o.codecOptions.size(), 2u);
    EXPECT_EQ(o.codecOptions[0], std::make_pair(std::string("x264-params"), std::string("keyint=5:bframes=0")));
    EXPECT_EQ(o.codecOptions[1].first, "preset");
    Argv bad({"--preview", "120,,9", "p.png", "in.mkv"});
    EXPECT_THROW(ParseCommandLine(bad.argc(), bad.argv()), HostError);
}

// Guards: -to winning over -t (FFmpeg gives -t the priority), the part's edges off by a frame (a
// frame exactly at -ss is in, one exactly at the end is out), or --frames letting one more through.
TEST(FilmPart, KeepsTheFramesFromTheStartUpToTheEnd) {
    const FilmPart both = MakeFilmPart("2", "100", "0.5", -1);
    EXPECT_EQ(both.startUs, 2000000);
    EXPECT_EQ(both.endUs, 2500000);
    EXPECT_EQ(PlaceInPart(both, 1999999, 0), PartPlace::kBefore);
    EXPECT_EQ(PlaceInPart(both, 2000000, 0), PartPlace::kInside);
    EXPECT_EQ(PlaceInPart(both, 2499999, 5), PartPlace::kInside);
    EXPECT_EQ(PlaceInPart(both, 2500000, 5), PartPlace::kAfter);
    const FilmPart to = MakeFilmPart("", "1:00", "", 3);
    EXPECT_EQ(to.endUs, 60000000);
    EXPECT_EQ(PlaceInPart(to, 0, 2), PartPlace::kInside);
    EXPECT_EQ(PlaceInPart(to, 0, 3), PartPlace::kAfter);
    EXPECT_TRUE(MakeFilmPart("", "", "", -1).Whole());
    // 25 frames/s with no timestamp: frame 50 is at two seconds.
    EXPECT_EQ(FrameTimeUs(AV_NOPTS_VALUE, 0, AVRational{1, 1000}, 50, AVRational{25, 1}), 2000000);
    EXPECT_EQ(FrameTimeUs(2040, 40, AVRational{1, 1000}, 0, AVRational{25, 1}), 2000000);
}

// Guards: a setting flag writing another setting's field, a word or a switch read as the wrong
// value, or start values other than final and the module's defaults.
TEST(ParseCommandLine, EachSettingFlagSetsItsOwnSettingOnly) {
    const FilterSettings start = StartSettings();
    EXPECT_EQ(start.mode, MODE_FINAL);
    EXPECT_EQ(start.depth, 15);
    EXPECT_EQ(start.power, 40);
    EXPECT_EQ(start.interlaced, 0);
    EXPECT_EQ(start.pixelAspect, 0);
    EXPECT_EQ(start.radius, 5);
    Argv mask({"--mode", "mask", "in.mkv", "out.mkv"});
    EXPECT_EQ(ParseCommandLine(mask.argc(), mask.argv()).settings.mode, MODE_MASK_ONLY);
    for (int id = 0; id < PARAM_COUNT; ++id) {
        const ParameterInfo &p = kParameters[id];
        std::vector<std::pair<std::vector<std::string>, int32_t>> uses;  // words after the flag, value
        if (p.flag.kind == FLAG_NUMBER) {
            uses = {{{std::to_string(p.minimum)}, p.minimum}, {{std::to_string(p.maximum)}, p.maximum}};
        } else if (p.flag.kind == FLAG_WORDS) {
            const std::string words = p.flag.value;
            uses = {{{words.substr(0, words.find('|'))}, p.minimum}, {{words.substr(words.rfind('|') + 1)}, p.maximum}};
        } else {
            uses = {{{}, p.maximum}};
        }
        for (const auto &use : uses) {
            std::vector<std::string> words = {std::string("--") + p.flag.name};
            words.insert(words.end(), use.first.begin(), use.first.end());
            words.insert(words.end(), {"in.mkv", "out.mkv"});
            SCOPED_TRACE(words[0] + (words.size() > 3 ? " " + words[1] : ""));
            Argv argv(words);
            const FilterSettings s = ParseCommandLine(argv.argc(), argv.argv()).settings;
            for (int other = 0; other < PARAM_COUNT; ++other) {
                const int32_t FilterSettings::*field = SettingField((ParameterId)other);
                EXPECT_EQ(s.*field, other == id ? use.second : start.*field) << kParameters[other].name;
            }
        }
    }
}

// Guards: a quoted directory's escapes lost or doubled, so the line a host saved does not read
// back as the same folder.
TEST(ParseScriptLine, ReadsEscapedQuotesAndBackslashes) {
    std::string why;
    auto s = ParseScriptLine("VirtualDub.video.filters.instance[3].Config(1, \"C:\\\\subs\\\\\\\"x\\\"\", 20, 35, 1, -7, 3);", &why);
    ASSERT_TRUE(s.has_value()) << why;
    EXPECT_EQ(s->directory, "C:\\subs\\\"x\"");
    EXPECT_EQ(s->mode, 1);
    EXPECT_EQ(s->depth, 20);
    EXPECT_EQ(s->power, 35);
    EXPECT_EQ(s->interlaced, 1);
    EXPECT_EQ(s->pixelAspect, -7);
    EXPECT_EQ(s->radius, 3);
}

// Guards: merged ranges or the binary search answering differently from asking every range, at
// touching, nested, single-frame and empty ranges, and at frames before and past them all.
TEST(FrameRanges, AnswerAsAPassOverEveryRangeWould) {
    std::mt19937 random(7);
    for (int round = 0; round < 200; ++round) {
        std::vector<FrameRange> ranges;
        const int n = (int)(random() % 12);
        for (int i = 0; i < n; ++i) {
            const int64_t first = (int64_t)(random() % 60) - 5;
            ranges.emplace_back(first, first + (int64_t)(random() % 12) - 2);  // some empty
        }
        const CutRule cuts(ranges);
        int64_t covered = 0;
        for (int64_t frame = -8; frame < 70; ++frame) {
            bool spanned = false, held = false;
            for (const FrameRange &r : ranges) {
                spanned |= r.first <= frame - 1 && frame <= r.second;
                held |= r.first <= frame && frame <= r.second;
            }
            ASSERT_EQ(cuts.Allowed(frame), !spanned) << "round " << round << " frame " << frame;
            if (frame >= 0 && frame < 50) covered += held;
        }
        ASSERT_EQ(FramesWithSubtitle(ranges, 50), covered) << "round " << round;
    }
}

// Guards: subremove's view of the index parting from the filter's: a broken token losing its place
// (later entries would name the wrong graymaps), entries read past the declared count or from an
// index that declares too many, or a token cut where the reader's pieces meet.
TEST(ReadIndexSummary, GivesTheFiltersEntriesInIndexOrder) {
    const std::string path = (std::filesystem::temp_directory_path() / ("index_summary_" + std::to_string(getpid()) + ".bms")).string();
    auto summarise = [&](const std::string &bytes) {
        FILE *f = std::fopen(path.c_str(), "wb");
        std::fwrite(bytes.data(), 1, bytes.size(), f);
        std::fclose(f);
        return ReadIndexSummary(path);
    };
    std::string text = "4\n1,10,20,3,4\nbroken\n3,50,40,0,0\n";
    text += std::string(65530 - text.size(), ' ') + "4,100,200,7,8 5,300,400,0,0\n";
    IndexSummary s = summarise(text);
    EXPECT_EQ(s.declared, 4);
    ASSERT_EQ(s.entries.size(), 4u);
    const IndexEntry expected[] = {{10, 20, 3, 4, true}, {1, 0, 0, 0, false}, {50, 40, 0, 0, false}, {100, 200, 7, 8, true}};
    for (size_t i = 0; i < 4; ++i) {
        const IndexEntry &e = s.entries[i];
        EXPECT_EQ(e.firstFrame, expected[i].firstFrame) << i;
        EXPECT_EQ(e.lastFrame, expected[i].lastFrame) << i;
        EXPECT_EQ(e.x, expected[i].x) << i;
        EXPECT_EQ(e.y, expected[i].y) << i;
        EXPECT_EQ(e.matches, expected[i].matches) << i;
    }
    EXPECT_EQ(s.ranges, (std::vector<std::pair<int64_t, int64_t>>{{10, 20}, {100, 200}}));

    s = summarise("1048577\n1,10,20,3,4\n");
    EXPECT_EQ(s.declared, 1048577);
    EXPECT_TRUE(s.entries.empty());
    s = summarise("99999999999 1,10,20,3,4");
    EXPECT_EQ(s.declared, INT32_MAX);
    EXPECT_TRUE(s.entries.empty());
    s = summarise("");
    EXPECT_EQ(s.declared, 0);
    EXPECT_TRUE(s.entries.empty());
    std::remove(path.c_str());
    EXPECT_TRUE(ReadIndexSummary(path).entries.empty());
    EXPECT_EQ(ReadIndexSummary("").declared, 0);
}

}  // namespace

namespace {

// Guards: "--radius auto" refused as a number, a later number not winning over it, auto not the
// default after --detect (or the default with -x), the detection flags' values taken unchecked,
// and standard input taken where the film is read twice.
TEST(ParseCommandLine, TakesDetectionFlagsAndAutoRadius) {
    Argv a({"--detect", "found", "--radius", "auto", "--detect-colour", "#FFFF00", "--detect-region", "60:100", "in.mkv"});
    const Options o = ParseCommandLine(a.argc(), a.argv());
    EXPECT_EQ(o.detectDir, "found");
    EXPECT_TRUE(o.radiusAuto);
    EXPECT_EQ(o.input, "in.mkv");
    EXPECT_TRUE(o.output.empty());
    Argv detectOnly({"--detect", "found", "in.mkv", "out.mkv"});
    EXPECT_TRUE(ParseCommandLine(detectOnly.argc(), detectOnly.argv()).radiusAuto);
    Argv detectFixed({"--detect", "found", "--radius", "5", "in.mkv", "out.mkv"});
    EXPECT_FALSE(ParseCommandLine(detectFixed.argc(), detectFixed.argv()).radiusAuto);
    Argv indexOnly({"-x", "a.bms", "in.mkv", "out.mkv"});
    EXPECT_FALSE(ParseCommandLine(indexOnly.argc(), indexOnly.argv()).radiusAuto);
    Argv later({"--radius", "auto", "--radius", "3", "-x", "a.bms", "in.mkv", "out.mkv"});
    const Options p = ParseCommandLine(later.argc(), later.argv());
    EXPECT_FALSE(p.radiusAuto);
    EXPECT_EQ(p.settings.radius, 3);
    int low = 0, high = 0;
    ApplyDetectColour("yellow", &low, &high);
    EXPECT_LE(low, 210);  // yellow's studio-range luma
    EXPECT_GE(high, 210);
    const std::vector<std::vector<std::string>> refused = {
        {"--detect", "d", "--detect-region", "50:50", "in.mkv"}, {"--detect", "d", "--detect-region", "0:101", "in.mkv"},
        {"--detect", "d", "--detect-colour", "#12345", "in.mkv"}, {"--detect", "d", "-x", "a.bms", "in.mkv"},
        {"--radius", "automatic", "-x", "a.bms", "in.mkv", "out.mkv"}, {"-x", "a.bms", "in.mkv"},
        {"--detect", "d", "-", "out.mkv"}, {"--radius", "auto", "-x", "a.bms", "-", "out.mkv"}};
    for (const auto &words : refused) {
        Argv r(words);
        EXPECT_THROW(ParseCommandLine(r.argc(), r.argv()), HostError) << words[0] << " " << words[1] << " " << words[2];
    }
}

// Guards: a frame given the widening of a later entry than the one the module shows, or of an
// entry that cannot match.
TEST(RadiusPlan, GivesEachFrameTheWideningOfTheEntryTheModuleShows) {
    IndexSummary index;
    index.entries = {{10, 20, 0, 0, true}, {15, 30, 0, 0, true}, {5, 40, 0, 0, false}, {25, 50, 0, 0, true}};
    const Widening two{2, 1}, three{3, 0};
    const RadiusPlan plan(index, {two, three, {9, 0}, {}}, 5);
    const Widening fallback{5, 0};
    EXPECT_EQ(plan.At(9), fallback);
    EXPECT_EQ(plan.At(10), two);
    EXPECT_EQ(plan.At(20), two);
    EXPECT_EQ(plan.At(21), three);
    EXPECT_EQ(plan.At(30), three);
    EXPECT_EQ(plan.At(31), fallback);  // entry 3 had no measure: the fallback
    EXPECT_EQ(plan.At(51), fallback);
    EXPECT_EQ(plan.InUse(), (std::vector<Widening>{two, three, fallback}));
    EXPECT_EQ(plan.Outward(), 5);
}

}  // namespace

// The rows subremove converts for a frame: they must hold every row the filter reads, or the
// filter would see stale pixels.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <unistd.h>

#include "cli/pipeline/filter_reach.h"
#include "host/params.h"

namespace {

FilterSettings Settings(int radius, int depth, int aspect, bool interlaced) {
    FilterSettings s;
    s.mode = MODE_FINAL;
    s.radius = radius;
    s.depth = depth;
    s.pixelAspect = aspect;
    s.interlaced = interlaced ? 1 : 0;
    return s;
}

std::string ScratchDir() {
    char name[] = "/tmp/reach-XXXXXX";
    return mkdtemp(name) ? name : "/tmp";
}

void WriteText(const std::string &path, const std::string &text) {
    FILE *f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
}

}  // namespace

// Guards a band that misses rows the widening or the border samples reach.
TEST(FilterReach, TheBandHoldsWideningBorderReachAndMargin) {
    // radius 5, depth 15: reach 3 rows past a 5-row widening, 8 rows of scaler margin.
    RowBand b = ReachedRows(200, 260, Settings(5, 15, 0, false), 576, 2);
    EXPECT_LE(b.begin, 200 - 5 - 3 - 8);
    EXPECT_GE(b.end, 260 + 5 + 3 + 8);
    EXPECT_EQ(b.begin % 2, 0);
    EXPECT_EQ(b.end % 2, 0);
    // A tall pixel aspect stretches the reach 16 times: depth 80 reaches 129 rows.
    b = ReachedRows(300, 320, Settings(10, 80, 120, false), 1080, 1);
    EXPECT_LE(b.begin, 300 - 10 - 129);
    EXPECT_GE(b.end, 320 + 10 + 129);
    // Interlacing makes an odd reach even: depth 15 reaches 4 rows.
    b = ReachedRows(100, 110, Settings(0, 15, 0, true), 576, 1);
    EXPECT_LE(b.begin, 100 - 4 - 8);
    // Cut to the picture, and aligned without leaving it.
    b = ReachedRows(-20, 30, Settings(5, 15, 0, false), 575, 4);
    EXPECT_EQ(b.begin, 0);
    b = ReachedRows(540, 600, Settings(5, 15, 0, false), 575, 4);
    EXPECT_EQ(b.end, 575);
}

// Guards a header read wrongly, which would give a band of the wrong height.
TEST(FilterReach, GraymapHeightReadsTheHeader) {
    const std::string dir = ScratchDir();
    WriteText(dir + "/a.pgm", "P5\n# made by hand\n12 34\n255\n");
    WriteText(dir + "/b.pgm", "P2\n12 34\n255\n");
    WriteText(dir + "/c.pgm", "P5\n12");
    EXPECT_EQ(GraymapHeight(dir + "/a.pgm"), 34);
    EXPECT_EQ(GraymapHeight(dir + "/b.pgm"), -1);
    EXPECT_EQ(GraymapHeight(dir + "/c.pgm"), -1);
    EXPECT_EQ(GraymapHeight(dir + "/missing.pgm"), -1);
}

// Guards overlapping subtitles whose rows are not all converted, and a graymap that cannot be
// read, which must give the whole frame rather than a guess.
TEST(FilterReach, FramesGetTheUnionOfTheirSubtitlesOrTheWholeFrame) {
    const std::string dir = ScratchDir();
    WriteText(dir + "/image_0.pgm", "P5\n100 20\n255\n");
    WriteText(dir + "/image_1.pgm", "P5\n100 20\n255\n");
    const std::vector<SubtitlePlace> places = {{10, 20, 100, 0}, {15, 30, 400, 1}, {40, 50, 300, 2}, {60, 70, 200, 0}};
    const FilterReach reach(places, dir + "/film.bms", Settings(5, 15, 0, false), 576, 2);
    const RowBand alone = reach.BandFor(65);
    EXPECT_LE(alone.begin, 200);
    EXPECT_GE(alone.end, 220);
    EXPECT_LT(alone.end, 300);
    for (int64_t frame : {12, 25}) {  // overlapping entries: either may be the one the filter shows
        const RowBand both = reach.BandFor(frame);
        EXPECT_LE(both.begin, 100);
        EXPECT_GE(both.end, 420);
    }
    const RowBand missing = reach.BandFor(45);  // image_2.pgm does not exist
    EXPECT_EQ(missing.begin, 0);
    EXPECT_EQ(missing.end, 576);
}

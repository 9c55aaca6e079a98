// Per-frame selection: which entry a frame selects, when a graymap is loaded and the regions are
// rebuilt, graymap names, the frame state marker, and the Linux paths end to end.
//
// Loads are observed through the graymap file: it is deleted or rewritten between frames, so a
// reload shows as a message box or a changed plane. Rebuilds are observed through a stand-in
// region list of kSentinelRegions regions put in place before the call: a rebuild replaces it.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "engine/regions.h"
#include "host/instance.h"
#include "host/memory.h"
#include "subtitle_fixtures.h"
#include "subtitles/subtitles.h"
#include "support/test_host.h"

namespace {

constexpr int32_t kSentinelRegions = 7;

SubtitleList MakeList(const std::vector<SubtitleEntry> &entries) {
    SubtitleList list{};
    list.entries = static_cast<SubtitleEntry *>(AllocateArray(entries.size() + 1, sizeof(SubtitleEntry)));
    if (!entries.empty()) std::memcpy(list.entries, entries.data(), entries.size() * sizeof(SubtitleEntry));
    list.count = (int32_t)entries.size();
    return list;
}

TEST(FindSubtitleAtFrame, FirstMatchWinsAndBothEndsAreInclusive) {
    SubtitleList list = MakeList({{100, 150, 0, 0}, {140, 200, 0, 0}, {300, 250, 0, 0}});
    EXPECT_EQ(FindSubtitleAtFrame(&list, 145), 0);
    EXPECT_EQ(FindSubtitleAtFrame(&list, 151), 1);
    EXPECT_EQ(FindSubtitleAtFrame(&list, 100), 0);
    EXPECT_EQ(FindSubtitleAtFrame(&list, 150), 0);
    EXPECT_EQ(FindSubtitleAtFrame(&list, 200), 1);
    EXPECT_EQ(FindSubtitleAtFrame(&list, 99), -1);
    EXPECT_EQ(FindSubtitleAtFrame(&list, 201), -1);
    EXPECT_EQ(FindSubtitleAtFrame(&list, 275), -1);  // start above end never matches
    SubtitleList negative = MakeList({{-10, -5, 0, 0}, {INT32_MIN, INT32_MAX, 0, 0}});
    EXPECT_EQ(FindSubtitleAtFrame(&negative, -7), 0);  // signed comparisons
    EXPECT_EQ(FindSubtitleAtFrame(&negative, INT32_MAX), 1);
    SubtitleList empty{};
    EXPECT_EQ(FindSubtitleAtFrame(&empty, 0), -1);
    ReleaseSubtitleList(&list);
    ReleaseSubtitleList(&negative);
}

class SelectionTest : public ::testing::Test {
protected:
    SelectionTest() : host(32, 24) {
        host.Init();
        SetDirectory(ModuleForm(folder.path()));
    }

    void SetDirectory(const std::string &directory) {
        std::snprintf(host.instance.directory, sizeof(host.instance.directory), "%s", directory.c_str());
    }
    void SetEntries(const std::vector<SubtitleEntry> &entries) {
        ReleaseSubtitleList(&host.instance.subtitles);
        host.instance.subtitles = MakeList(entries);
        host.instance.currentSubtitle = -1;
    }
    // A w x h graymap of all ones written as image_<position>.pgm.
    void WriteGraymap(int position, int w, int h) {
        folder.Write("image_" + std::to_string(position) + ".pgm", Pgm(w, h, std::string((size_t)(w * h), '\x01')));
    }
    void RemoveGraymap(int position) { std::remove(folder.File("image_" + std::to_string(position) + ".pgm").c_str()); }
    bool SelectAt(int32_t frame) {
        host.SetFrameNumber(frame);
        return SelectSubtitleForFrame(&host.instance);
    }
    void PlantSentinelRegions() { ASSERT_TRUE(AllocateRegionList(&host.instance.regions, kSentinelRegions)); }
    bool Rebuilt() const { return host.instance.regions.count != kSentinelRegions; }
    int SetCells() const {
        const MaskImage &g = host.instance.graymap;
        int n = 0;
        for (int32_t i = 0; g.pixels && i < g.width * g.height; ++i) n += g.pixels[i] == MASK_SET;
        return n;
    }
    bool PlaneAllClear() const {
        const MaskImage &g = host.instance.graymap;
        if (!g.pixels || g.width != 32 || g.height != 24) return false;
        for (int32_t i = 0; i < g.width * g.height; ++i)
            if (g.pixels[i] != 0) return false;
        return true;
    }

    TempFolder folder;
    TestHost host;
    MessageBoxRecorder boxes;
};

TEST_F(SelectionTest, NewSubtitleLoadsItsGraymapAtItsPosition) {
    SetEntries({{100, 150, 3, 4}, {160, 170, 20, 10}});
    WriteGraymap(0, 2, 2);
    WriteGraymap(1, 3, 1);
    PlantSentinelRegions();
    EXPECT_TRUE(SelectAt(165));
    EXPECT_EQ(host.instance.currentSubtitle, 1);
    EXPECT_EQ(host.instance.maskLeft, 20);
    EXPECT_EQ(host.instance.maskTop, 10);
    EXPECT_EQ(host.instance.maskRight, 23);
    EXPECT_EQ(host.instance.maskBottom, 11);
    EXPECT_EQ(SetCells(), 3);
    EXPECT_EQ(Cell(host.instance.graymap, 20, 24 - 10 - 1), MASK_SET);
    EXPECT_EQ(std::string(host.instance.graymap.path), std::string(host.instance.directory) + "\\image_1.pgm");
    EXPECT_TRUE(Rebuilt());
    EXPECT_FALSE(host.instance.rebuildPending);
    EXPECT_TRUE(boxes.boxes.empty());
}

TEST_F(SelectionTest, SameSubtitleNeitherReloadsNorRebuildsUnlessPending) {
    SetEntries({{100, 150, 3, 4}});
    WriteGraymap(0, 2, 2);
    ASSERT_TRUE(SelectAt(100));
    ASSERT_EQ(SetCells(), 4);
    RemoveGraymap(0);  // a reload would now fail with a box and a released plane
    PlantSentinelRegions();
    EXPECT_TRUE(SelectAt(101));
    EXPECT_FALSE(Rebuilt());
    EXPECT_EQ(SetCells(), 4);
    EXPECT_TRUE(boxes.boxes.empty());
    // A pending parameter change rebuilds the regions of the same subtitle, still without a reload.
    host.instance.rebuildPending = true;
    EXPECT_TRUE(SelectAt(150));
    EXPECT_TRUE(Rebuilt());
    EXPECT_FALSE(host.instance.rebuildPending);
    EXPECT_EQ(SetCells(), 4);
    EXPECT_TRUE(boxes.boxes.empty());
    EXPECT_EQ(host.instance.currentSubtitle, 0);
}

TEST_F(SelectionTest, ComingBackToASubtitleLoadsItAfresh) {
    SetEntries({{100, 150, 0, 0}, {151, 200, 0, 0}});
    WriteGraymap(0, 2, 2);
    WriteGraymap(1, 1, 1);
    ASSERT_TRUE(SelectAt(120));
    ASSERT_TRUE(SelectAt(160));
    EXPECT_EQ(SetCells(), 1);
    WriteGraymap(0, 3, 3);  // rewritten: a fresh load sees the new size
    EXPECT_TRUE(SelectAt(120));
    EXPECT_EQ(SetCells(), 9);
    EXPECT_EQ(host.instance.maskRight, 3);
}

TEST_F(SelectionTest, FrameWithoutSubtitleClearsThePlaneAndReleasesRegions) {
    SetEntries({{100, 150, 0, 0}});
    WriteGraymap(0, 2, 2);
    ASSERT_TRUE(SelectAt(100));
    PlantSentinelRegions();
    EXPECT_FALSE(SelectAt(151));
    EXPECT_TRUE(PlaneAllClear());
    EXPECT_STREQ(host.instance.graymap.path, "");
    EXPECT_EQ(host.instance.regions.count, 0);
    EXPECT_EQ(host.instance.regions.items, nullptr);
    EXPECT_EQ(host.instance.currentSubtitle, -1);
    // A pending change is settled on the cleared plane.
    host.instance.rebuildPending = true;
    EXPECT_FALSE(SelectAt(99));
    EXPECT_FALSE(host.instance.rebuildPending);
    EXPECT_EQ(host.instance.regions.count, 0);
    // Back inside the subtitle: loaded again.
    EXPECT_TRUE(SelectAt(150));
    EXPECT_EQ(SetCells(), 4);
}

// Guards a repaint plan left behind when a frame without subtitle, or a subtitle without memory
// for its plane, releases the regions: the next list may get the same blocks back, and the plan
// is recognised by their addresses.
TEST_F(SelectionTest, ReleasedRegionsTakeTheirRepaintPlanWithThem) {
    SetEntries({{100, 150, 10, 8}, {160, 170, 10, 8}});
    WriteGraymap(0, 4, 3);
    WriteGraymap(1, 4, 3);
    ASSERT_TRUE(SelectAt(100));
    ASSERT_GT(host.instance.regions.count, 0);
    ASSERT_NE(host.instance.repaintPlan, nullptr);
    EXPECT_FALSE(SelectAt(151));
    EXPECT_EQ(host.instance.repaintPlan, nullptr);
    ASSERT_TRUE(SelectAt(150));
    ASSERT_NE(host.instance.repaintPlan, nullptr);
    FailAllocationAfter(1);  // the next subtitle's plane
    EXPECT_TRUE(SelectAt(160));
    FailAllocationAfter(0);
    EXPECT_EQ(host.instance.regions.count, 0);
    EXPECT_EQ(host.instance.repaintPlan, nullptr);
}

TEST_F(SelectionTest, EmptyListSelectsNothing) {
    SetEntries({});
    for (int32_t frame : {0, 1, 1000, -1}) EXPECT_FALSE(SelectAt(frame));
    EXPECT_EQ(host.instance.currentSubtitle, -1);
    EXPECT_TRUE(boxes.boxes.empty());
}

TEST_F(SelectionTest, MarkerMeansNoFrameStateAndChangesNothing) {
    SetEntries({{0, 150, 0, 0}});
    host.instance.currentSubtitle = 3;
    host.instance.rebuildPending = true;
    host.activation.pfsi = reinterpret_cast<FilterStateInfo *>(FILTER_STATE_MARKER);
    EXPECT_FALSE(SelectSubtitleForFrame(&host.instance));
    EXPECT_EQ(host.instance.currentSubtitle, 3);
    EXPECT_TRUE(host.instance.rebuildPending);
    EXPECT_EQ(host.instance.graymap.pixels, nullptr);
}

// Guards against reading through a null frame state pointer.
TEST_F(SelectionTest, NullFrameStateIsTreatedLikeTheMarker) {
    SetEntries({{0, 150, 0, 0}});
    host.instance.currentSubtitle = 3;
    host.instance.rebuildPending = true;
    host.activation.pfsi = nullptr;
    EXPECT_FALSE(SelectSubtitleForFrame(&host.instance));
    EXPECT_EQ(host.instance.currentSubtitle, 3);
    EXPECT_TRUE(host.instance.rebuildPending);
    // So is an instance that has no stored activation at all.
    host.instance.activation = nullptr;
    EXPECT_FALSE(SelectSubtitleForFrame(&host.instance));
    EXPECT_EQ(host.instance.currentSubtitle, 3);
    host.instance.activation = &host.activation;
}

TEST_F(SelectionTest, GraymapNamesFollowListPositionsNotEntryNumbers) {
    std::vector<SubtitleEntry> entries(13, SubtitleEntry{1, 0, 0, 0});
    entries[12] = {500, 600, 1, 2};
    SetEntries(entries);
    SetDirectory("C:\\Subs");
    EXPECT_TRUE(SelectAt(550));  // true although the graymap cannot be found
    EXPECT_STREQ(host.instance.graymap.path, "C:\\Subs\\image_12.pgm");
    ASSERT_EQ(boxes.boxes.size(), 1u);
    EXPECT_EQ(boxes.boxes[0].text, "C:\\Subs\\image_12.pgm");
    EXPECT_EQ(boxes.boxes[0].caption, "Graymap file not found");
    EXPECT_EQ(host.instance.graymap.pixels, nullptr);
    EXPECT_EQ(host.instance.regions.count, 0);
    // A failed graymap is not tried again for the next frame of the same subtitle.
    EXPECT_TRUE(SelectAt(551));
    EXPECT_EQ(boxes.boxes.size(), 1u);
    EXPECT_EQ(host.instance.currentSubtitle, 12);
    // An empty directory gives a name that starts with the backslash.
    SetDirectory("");
    EXPECT_FALSE(SelectAt(0));
    EXPECT_TRUE(SelectAt(500));
    EXPECT_STREQ(host.instance.graymap.path, "\\image_12.pgm");
}

// Guards against loading a cut-off graymap name, which may name another file.
TEST_F(SelectionTest, NameLongerThanAPathIsNotCutShort) {
    // A folder whose module form is 251 characters: "<folder>\image_1" is then exactly 259, and
    // a file of that name exists, while the wanted "<folder>\image_12.pgm" does not fit.
    std::string base = ModuleForm(folder.path());
    ASSERT_LT(base.size(), 240u);
    std::string sub(251 - base.size() - 1, 'd');
    std::string local = folder.File(sub);
    ASSERT_EQ(mkdir(local.c_str(), 0700), 0);
    std::string moduleFolder = ModuleForm(local);
    ASSERT_EQ(moduleFolder.size(), 251u);
    {
        std::string decoy = local + "/image_1";
        FILE *f = std::fopen(decoy.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        std::string bytes = Pgm(2, 2, "\x01\x01\x01\x01");
        std::fwrite(bytes.data(), 1, bytes.size(), f);
        std::fclose(f);
    }
    std::vector<SubtitleEntry> entries(13, SubtitleEntry{1, 0, 0, 0});
    entries[12] = {0, 10, 0, 0};
    SetEntries(entries);
    SetDirectory(moduleFolder);
    EXPECT_TRUE(SelectAt(5));
    EXPECT_EQ(host.instance.graymap.pixels, nullptr);  // the decoy was not loaded
    ASSERT_EQ(boxes.boxes.size(), 1u);
    EXPECT_EQ(boxes.boxes[0].text, moduleFolder + "\\image_1");
    EXPECT_EQ(boxes.boxes[0].caption, "Graymap file not found");
    EXPECT_EQ(host.instance.currentSubtitle, 12);
}

TEST_F(SelectionTest, NoMemoryForThePlaneLoadsNothingAndDropsOldRegions) {
    SetEntries({{0, 10, 0, 0}});
    WriteGraymap(0, 2, 2);
    PlantSentinelRegions();
    FailAllocationAfter(1);  // the graymap plane's allocation
    EXPECT_TRUE(SelectAt(5));
    FailAllocationAfter(0);
    EXPECT_EQ(host.instance.graymap.pixels, nullptr);
    EXPECT_EQ(host.instance.regions.count, 0);
    EXPECT_EQ(host.instance.currentSubtitle, 0);
    EXPECT_TRUE(boxes.boxes.empty());
}

TEST_F(SelectionTest, LinuxPathsWorkWithEitherKindOfSlash) {
    // The index chosen through the box: its folder arrives in Windows form.
    folder.Write("film.bms", "1\n1,0,10,4,4\n");
    WriteGraymap(0, 2, 1);
    {
        OpenFileAnswer box;
        box.Choose(folder.File("film.bms"));
        ChooseSubtitleIndex(&host.instance);
    }
    ASSERT_EQ(host.instance.subtitles.count, 1);
    EXPECT_TRUE(SelectAt(3));
    EXPECT_EQ(SetCells(), 2);
    // The script line stores the folder with forward slashes; the name then mixes both kinds.
    std::string forward = host.instance.directory;
    for (char &c : forward)
        if (c == '\\') c = '/';
    SetDirectory(forward);
    host.instance.currentSubtitle = -1;
    EXPECT_TRUE(SelectAt(4));
    EXPECT_EQ(SetCells(), 2);
    // A plain local folder works as well.
    SetDirectory(folder.path());
    host.instance.currentSubtitle = -1;
    EXPECT_TRUE(SelectAt(5));
    EXPECT_EQ(SetCells(), 2);
    EXPECT_TRUE(boxes.boxes.empty());
}

}  // namespace

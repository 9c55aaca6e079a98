// The graymap loader: placement and clipping, result codes with their boxes, header layouts,
// and inputs that must neither write outside the plane nor overflow.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <string>
#include <thread>
#include <vector>

#include "host/instance.h"
#include "host/memory.h"
#include "subtitle_fixtures.h"
#include "subtitles/subtitles.h"
#include "support/test_host.h"

namespace {

class GraymapTest : public ::testing::Test {
protected:
    GraymapTest() : host(32, 24) {
        host.Init();
        host.instance.dialog = reinterpret_cast<HWND>(0x5150);
    }

    // Writes the file, prepares a cleared frame-sized plane as the selection does, and loads.
    int32_t Load(const std::string &bytes, int32_t left, int32_t top, bool messages = true) {
        std::string local = folder.Write("image_0.pgm", bytes);
        path = ModuleForm(local);
        return LoadPath(path, left, top, messages);
    }
    int32_t LoadPath(const std::string &modulePath, int32_t left, int32_t top, bool messages = true) {
        RemovalInstance &in = host.instance;
        EXPECT_TRUE(PrepareMaskImage(&in, &in.graymap));
        snprintf(in.graymap.path, sizeof(in.graymap.path), "%s", modulePath.c_str());
        in.maskLeft = left;
        in.maskTop = top;
        return LoadGraymap(&in, messages);
    }
    // The plane cell at picture column x, picture row y counted from the top.
    uint32_t At(int32_t x, int32_t y) { return Cell(host.instance.graymap, x, host.instance.graymap.height - 1 - y); }
    int SetCells() {
        int n = 0;
        const MaskImage &g = host.instance.graymap;
        for (int32_t i = 0; i < g.width * g.height; ++i) n += g.pixels[i] == MASK_SET;
        return n;
    }

    TempFolder folder;
    TestHost host;
    MessageBoxRecorder boxes;
    std::string path;
};

TEST_F(GraymapTest, PlacesSamplesAtTheirPictureRowsCountedFromTheTop) {
    // Row 0: 1 0 255; row 1: 0 7 0.
    ASSERT_EQ(Load(Pgm(3, 2, std::string("\x01\x00\xff\x00\x07\x00", 6)), 10, 5), GRAYMAP_OK);
    const RemovalInstance &in = host.instance;
    // The top-left sample is picture row 5, which is plane row 24 - 5 - 1 = 18.
    EXPECT_EQ(Cell(host.instance.graymap, 10, 18), MASK_SET);
    EXPECT_EQ(At(10, 5), MASK_SET);
    EXPECT_EQ(At(11, 5), 0u);
    EXPECT_EQ(At(12, 5), MASK_SET);
    EXPECT_EQ(At(11, 6), MASK_SET);
    EXPECT_EQ(SetCells(), 3);
    EXPECT_EQ(in.maskRight, 13);
    EXPECT_EQ(in.maskBottom, 7);
    EXPECT_TRUE(boxes.boxes.empty());
}

TEST_F(GraymapTest, MaximumGrayValueDoesNotChangeThePlane) {
    const std::string raster("\x01\x00\x02\x00\x03\x00", 6);
    ASSERT_EQ(Load(Pgm(3, 2, raster, 1), 4, 4), GRAYMAP_OK);
    std::vector<uint32_t> withOne(host.instance.graymap.pixels, host.instance.graymap.pixels + 32 * 24);
    ASSERT_EQ(Load(Pgm(3, 2, raster, 255), 4, 4), GRAYMAP_OK);
    std::vector<uint32_t> with255(host.instance.graymap.pixels, host.instance.graymap.pixels + 32 * 24);
    EXPECT_EQ(withOne, with255);
}

// Guards against misaligned rows after dropping the columns past the right edge.
TEST_F(GraymapTest, RightEdgeDropsColumnsButKeepsLaterRowsAligned) {
    // 4 x 3 at column 30 of 32: columns 30 and 31 fit. Each row marks a different fitting column.
    std::string raster = std::string("\x01\x00\x09\x09", 4) + std::string("\x00\x01\x09\x09", 4) +
                         std::string("\x01\x01\x09\x09", 4);
    ASSERT_EQ(Load(Pgm(4, 3, raster), 30, 0), GRAYMAP_OK);
    EXPECT_EQ(At(30, 0), MASK_SET);
    EXPECT_EQ(At(31, 0), 0u);
    EXPECT_EQ(At(30, 1), 0u);
    EXPECT_EQ(At(31, 1), MASK_SET);
    EXPECT_EQ(At(30, 2), MASK_SET);
    EXPECT_EQ(At(31, 2), MASK_SET);
    EXPECT_EQ(SetCells(), 4);  // nothing wrapped into the next row's first columns
    EXPECT_EQ(host.instance.maskRight, 34);
}

TEST_F(GraymapTest, BottomEdgeStopsTheLoadWithSuccessEvenIfTheFileIsShort) {
    // 2 x 5 at row 22 of 24: two rows fit; the file holds only those two.
    ASSERT_EQ(Load(Pgm(2, 5, std::string("\x01\x01\x00\x01", 4)), 0, 22), GRAYMAP_OK);
    EXPECT_EQ(At(0, 22), MASK_SET);
    EXPECT_EQ(At(1, 23), MASK_SET);
    EXPECT_EQ(SetCells(), 3);
    EXPECT_EQ(host.instance.maskBottom, 27);  // the header's height, not clipped
}

// Guards against writing outside the plane for subtitles placed left of or above the picture.
TEST_F(GraymapTest, LeftAndTopEdgesDropPixelsOutsideThePicture) {
    // 3 x 3 of all ones at column -2, row -1: only column 0 of picture rows 0 and 1 remain.
    ASSERT_EQ(Load(Pgm(3, 3, std::string(9, '\x01')), -2, -1), GRAYMAP_OK);
    EXPECT_EQ(At(0, 0), MASK_SET);
    EXPECT_EQ(At(0, 1), MASK_SET);
    EXPECT_EQ(SetCells(), 2);
    EXPECT_EQ(host.instance.maskRight, 1);
    EXPECT_EQ(host.instance.maskBottom, 2);
}

TEST_F(GraymapTest, FailuresGiveTheirCodesBoxesAndReleaseThePlane) {
    struct Case {
        const char *name;
        std::string bytes;
        int32_t top;
        int32_t code;
        const char *caption;
    };
    const char *corrupt = "Selected file is corrupted or it is not a graymap file";
    const Case cases[] = {
        {"plain-text graymap", "P2\n2 2\n255\n1 1 1 1\n", 0, GRAYMAP_CORRUPT, corrupt},
        {"colour pixmap", "P6\n1 1\n255\nabc", 0, GRAYMAP_CORRUPT, corrupt},
        {"white space before the magic", " P5\n1 1\n255\n\x01", 0, GRAYMAP_CORRUPT, corrupt},
        {"blank line after a comment", "P5\n# made by hand\n\n1 1\n255\n\x01", 0, GRAYMAP_CORRUPT, corrupt},
        {"size not a number", "P5\nx 1\n255\n\x01", 0, GRAYMAP_CORRUPT, corrupt},
        {"two numbers only", "P5\n1 1\n\n\x01", 0, GRAYMAP_CORRUPT, corrupt},
        {"one line feed only", "P5\n1 1 255", 0, GRAYMAP_CORRUPT, corrupt},
        {"empty file", "", 0, GRAYMAP_CORRUPT, corrupt},
        {"raster ends inside the picture", Pgm(2, 2, "\x01\x01\x01"), 0, GRAYMAP_READ_ERROR,
         "Error reading graymap file"},
        {"raster ends in rows above the picture", Pgm(2, 4, "\x01\x01\x01"), -3, GRAYMAP_READ_ERROR,
         "Error reading graymap file"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        boxes.boxes.clear();
        host.instance.maskRight = 777;
        host.instance.maskBottom = 778;
        EXPECT_EQ(Load(c.bytes, 0, c.top), c.code);
        EXPECT_EQ(host.instance.graymap.pixels, nullptr);
        EXPECT_EQ(host.instance.graymap.width, 0);
        EXPECT_EQ(host.instance.graymap.height, 0);
        EXPECT_EQ(std::string(host.instance.graymap.path), path);  // the path stays for the box
        EXPECT_EQ(host.instance.maskRight, 777);
        EXPECT_EQ(host.instance.maskBottom, 778);
        ASSERT_EQ(boxes.boxes.size(), 1u);
        EXPECT_EQ(boxes.boxes[0].owner, host.instance.dialog);
        EXPECT_EQ(boxes.boxes[0].text, path);
        EXPECT_EQ(boxes.boxes[0].caption, c.caption);
        EXPECT_EQ(boxes.boxes[0].style, (UINT)MB_OK);
    }
}

TEST_F(GraymapTest, MissingNameAndMissingFileHaveTheirOwnBoxes) {
    EXPECT_EQ(LoadPath("", 0, 0), GRAYMAP_NO_NAME);
    EXPECT_EQ(host.instance.graymap.pixels, nullptr);
    std::string missing = ModuleForm(folder.File("image_9.pgm"));
    EXPECT_EQ(LoadPath(missing, 0, 0), GRAYMAP_NOT_FOUND);
    // A folder is not a graymap file, on Linux as on Windows.
    EXPECT_EQ(LoadPath(ModuleForm(folder.path()), 0, 0), GRAYMAP_NOT_FOUND);
    ASSERT_EQ(boxes.boxes.size(), 3u);
    EXPECT_EQ(boxes.boxes[0].text, "Missing graymap file name");
    EXPECT_EQ(boxes.boxes[0].caption, "Graymap load error");
    EXPECT_EQ(boxes.boxes[1].text, missing);
    EXPECT_EQ(boxes.boxes[1].caption, "Graymap file not found");
    EXPECT_EQ(boxes.boxes[2].caption, "Graymap file not found");
    // The owner is whatever `dialog` holds: null once no dialog is open.
    host.instance.dialog = nullptr;
    EXPECT_EQ(LoadPath("", 0, 0), GRAYMAP_NO_NAME);
    ASSERT_EQ(boxes.boxes.size(), 4u);
    EXPECT_EQ(boxes.boxes[3].owner, nullptr);
}

TEST_F(GraymapTest, WithoutMessagesFailuresReturnTheSameCodesSilently) {
    EXPECT_EQ(LoadPath("", 0, 0, false), GRAYMAP_NO_NAME);
    EXPECT_EQ(LoadPath(ModuleForm(folder.File("none.pgm")), 0, 0, false), GRAYMAP_NOT_FOUND);
    EXPECT_EQ(Load("P6\n1 1\n255\nabc", 0, 0, false), GRAYMAP_CORRUPT);
    EXPECT_EQ(Load(Pgm(2, 2, "\x01"), 0, 0, false), GRAYMAP_READ_ERROR);
    EXPECT_EQ(host.instance.graymap.pixels, nullptr);
    EXPECT_TRUE(boxes.boxes.empty());
}

TEST_F(GraymapTest, HeaderLayoutsThatRead) {
    struct Case {
        const char *name;
        std::string header;
    };
    const Case cases[] = {
        {"comment straight after the magic", "P5# Vexlin\n2 1\n255\n"},
        {"several comment lines", "P5\n# one\n# two\n2 1\n255\n"},
        {"no white space after the magic", "P52 1\n255\n"},
        {"CR LF line ends", "P5\r\n2 1\r\n255\r\n"},
        {"text after the maximum", "P5\n2 1\n255 trailing words\n"},
        {"size spread over two lines", "P5\n2\n1 255\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(Load(c.header + std::string("\x00\x01", 2), 5, 5), GRAYMAP_OK);
        EXPECT_EQ(At(5, 5), 0u);
        EXPECT_EQ(At(6, 5), MASK_SET);
        EXPECT_EQ(SetCells(), 1);
    }
    EXPECT_TRUE(boxes.boxes.empty());
}

TEST_F(GraymapTest, AllThreeNumbersOnOneLineRunsTheHeaderIntoTheRaster) {
    // The header text takes the raster up to its first 0x0A byte; the raster then starts after
    // it and the file ends early.
    EXPECT_EQ(Load(std::string("P5\n2 2 255\n\x01\x0a\x01\x01", 13), 0, 0), GRAYMAP_READ_ERROR);
    // With no 0x0A in the raster the header never gets its second line feed.
    EXPECT_EQ(Load(std::string("P5\n2 2 255\n\x01\x01\x01\x01", 15), 0, 0), GRAYMAP_CORRUPT);
}

// Guards against a comment without a line feed looping forever at the end of the file.
TEST_F(GraymapTest, CommentRunningToTheEndOfTheFileIsCorrupt) {
    EXPECT_EQ(Load("P5\n# Vexlin wrote this and stopped", 0, 0), GRAYMAP_CORRUPT);
}

// Guards against a successful load of a graymap without pixels.
TEST_F(GraymapTest, WidthOrHeightBelowOneIsCorrupt) {
    EXPECT_EQ(Load(Pgm(0, 2, ""), 0, 0), GRAYMAP_CORRUPT);
    EXPECT_EQ(Load(Pgm(2, 0, ""), 0, 0), GRAYMAP_CORRUPT);
    EXPECT_EQ(Load(Pgm(-2, 2, "\x01\x01\x01\x01"), 0, 0), GRAYMAP_CORRUPT);
}

// Guards against parsing the header buffer past its end when its last byte is the second line
// feed (no terminating zero fits).
TEST_F(GraymapTest, HeaderFillingAllOf256BytesIsParsedWithinThem) {
    // "3 1\n255" then blanks up to byte 255, then the line feed as byte 256.
    std::string text = "3 1\n255";
    text += std::string(255 - text.size(), ' ') + "\n";
    ASSERT_EQ(text.size(), 256u);
    EXPECT_EQ(Load("P5\n" + text + std::string("\x01\x01\x01", 3), 0, 0), GRAYMAP_OK);
    EXPECT_EQ(SetCells(), 3);
    // Two numbers and blanks up to the 256th byte: the search for the third number ends with the
    // buffer, whatever lies beyond it in memory.
    std::string twoNumbers = "3 1\n";
    twoNumbers += std::string(255 - twoNumbers.size(), ' ') + "\n";
    EXPECT_EQ(Load("P5\n" + twoNumbers + "255\n" + std::string("\x01\x01\x01", 3), 0, 0), GRAYMAP_CORRUPT);
    // One byte more and the second line feed lies beyond the header buffer.
    text.insert(7, " ");
    EXPECT_EQ(Load("P5\n" + text + std::string("\x01\x01\x01", 3), 0, 0), GRAYMAP_CORRUPT);
}

// Guards against signed overflow in the bounds and in the placement with extreme values.
TEST_F(GraymapTest, ExtremeSizesAndPositionsNeitherOverflowNorWriteOutside) {
    // Enormous sizes starting below the picture: nothing is read, the bounds saturate.
    EXPECT_EQ(Load("P5\n2147483647 2147483647\n255\n", 5, 24), GRAYMAP_OK);
    EXPECT_EQ(host.instance.maskRight, INT32_MAX);
    EXPECT_EQ(host.instance.maskBottom, INT32_MAX);
    EXPECT_EQ(SetCells(), 0);
    // Columns near the top of the int32 range: read, never written.
    EXPECT_EQ(Load(Pgm(4, 1, "\x01\x01\x01\x01"), INT32_MAX - 1, 0), GRAYMAP_OK);
    EXPECT_EQ(SetCells(), 0);
    EXPECT_EQ(host.instance.maskRight, INT32_MAX);
    // Rows at the bottom of the int32 range: above the picture, dropped.
    EXPECT_EQ(Load(Pgm(2, 3, "\x01\x01\x01\x01\x01\x01"), INT32_MIN, INT32_MIN), GRAYMAP_OK);
    EXPECT_EQ(SetCells(), 0);
    EXPECT_EQ(host.instance.maskBottom, INT32_MIN + 3);
    // Numbers too long for any integer saturate rather than wrap into a small size.
    EXPECT_EQ(Load("P5\n99999999999999999999 1\n255\n\x01", 0, 0), GRAYMAP_READ_ERROR);
}

// Guards against memory or time proportional to the header's claimed size.
TEST_F(GraymapTest, EnormousClaimedRasterCostsOnlyTheBytesPresent) {
    long live = LiveAllocationCount();
    long made = AllocationCount();
    EXPECT_EQ(Load("P5\n2147483647 2147483647\n255\n" + std::string(10000, '\x01'), 0, 0), GRAYMAP_READ_ERROR);
    // One allocation, the frame-sized plane, which the failed load released; the loader itself
    // allocated nothing.
    EXPECT_EQ(AllocationCount() - made, 1);
    EXPECT_EQ(LiveAllocationCount(), live);
}

// The plane, the bounds and the result of one load, to compare loads of the same bytes.
struct LoadOutcome {
    int32_t code;
    std::vector<uint32_t> cells;
    int32_t right, bottom;
    bool operator==(const LoadOutcome &o) const {
        return code == o.code && cells == o.cells && right == o.right && bottom == o.bottom;
    }
};

class GraymapSeekTest : public GraymapTest {
protected:
    LoadOutcome Outcome(int32_t code) {
        const MaskImage &g = host.instance.graymap;
        std::vector<uint32_t> cells(g.pixels, g.pixels + (g.pixels ? (size_t)g.width * g.height : 0));
        return {code, cells, host.instance.maskRight, host.instance.maskBottom};
    }
    // Loads `bytes` from a FIFO, which cannot seek: every byte is read, as before the seek.
    LoadOutcome LoadThroughFifo(const std::string &bytes, int32_t left, int32_t top) {
        const std::string fifo = folder.File("fifo.pgm");
        unlink(fifo.c_str());
        EXPECT_EQ(mkfifo(fifo.c_str(), 0600), 0);
        // The loader may stop early (the bottom edge): the writer must not die of SIGPIPE.
        signal(SIGPIPE, SIG_IGN);
        std::thread writer([&] {
            const int fd = open(fifo.c_str(), O_WRONLY);
            for (size_t at = 0; fd >= 0 && at < bytes.size();) {
                const ssize_t n = write(fd, bytes.data() + at, bytes.size() - at);
                if (n <= 0) break;
                at += (size_t)n;
            }
            if (fd >= 0) close(fd);
        });
        const int32_t code = LoadPath(ModuleForm(fifo), left, top);
        writer.join();
        return Outcome(code);
    }
};

// Guards against the seek over dropped bytes giving other results than reading them: misaligned
// rows, cells lost or written, or a file that ends inside a skipped span passing as whole.
TEST_F(GraymapSeekTest, SeekingOverDroppedBytesGivesWhatReadingThemGives) {
    std::string raster;
    for (int i = 0; i < 40 * 30; ++i) raster += (char)((i * 7) % 5 == 0 ? 0 : i % 251 + 1);
    struct Case {
        const char *name;
        std::string bytes;
        int32_t left, top;
    };
    const Case cases[] = {
        {"past the right edge", Pgm(40, 6, raster.substr(0, 240)), 10, 3},
        {"left of and past both edges", Pgm(40, 6, raster.substr(0, 240)), -5, 0},
        {"rows above and columns left", Pgm(40, 30, raster), -3, -4},
        {"wholly right of the picture", Pgm(40, 6, raster.substr(0, 240)), 32, 0},
        {"stops at the bottom edge", Pgm(40, 30, raster), 4, 10},
        {"ends inside the part past the right edge", Pgm(40, 3, raster.substr(0, 100)), 0, 0},
        {"ends one byte short of the last row", Pgm(40, 3, raster.substr(0, 119)), 20, 0},
        {"ends inside the rows above", Pgm(40, 8, raster.substr(0, 100)), 0, -5},
        {"ends inside a row wholly right of the picture", Pgm(40, 3, raster.substr(0, 100)), 40, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const LoadOutcome seeking = Outcome(Load(c.bytes, c.left, c.top));
        const LoadOutcome reading = LoadThroughFifo(c.bytes, c.left, c.top);
        EXPECT_TRUE(seeking == reading) << "seek " << seeking.code << ", read " << reading.code;
    }
}

// Guards against a load whose time follows the header's claimed size instead of the picture.
TEST_F(GraymapSeekTest, ClaimedRasterOf200GigabytesLoadsOrFailsWithinASecond) {
    const std::string local = folder.Write("image_0.pgm", "P5\n2147483647 2147483647\n255\n");
    if (truncate(local.c_str(), 200000000000LL) != 0) GTEST_SKIP() << "no sparse file of 200 GB here";
    path = ModuleForm(local);
    const auto start = std::chrono::steady_clock::now();
    // 24 picture rows of 2^31-1 bytes lie within the file: they load (the raster is all zero).
    EXPECT_EQ(LoadPath(path, 0, 0), GRAYMAP_OK);
    EXPECT_EQ(SetCells(), 0);
    // 100 rows above the picture are past its end.
    EXPECT_EQ(LoadPath(path, 0, -100), GRAYMAP_READ_ERROR);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
}

}  // namespace

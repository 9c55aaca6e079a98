// The index reader: the open-file box record, the folder kept from the chosen path, token rules
// and header counts, and the faults of hand-edited or foreign index files.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "host/instance.h"
#include "host/memory.h"
#include "host/params.h"
#include "subtitle_fixtures.h"
#include "subtitles/index_parse.h"
#include "subtitles/subtitles.h"
#include "support/test_host.h"
#include "ui/resource.h"

// Entries compare and print by value (found by argument lookup, so at global scope).
bool operator==(const SubtitleEntry &a, const SubtitleEntry &b) {
    return a.startFrame == b.startFrame && a.endFrame == b.endFrame && a.x == b.x && a.y == b.y;
}
std::ostream &operator<<(std::ostream &out, const SubtitleEntry &e) {
    return out << "{" << e.startFrame << ".." << e.endFrame << " at " << e.x << "," << e.y << "}";
}

// A dialog of three mode buttons. These definitions take the place of the stand-in library's
// window calls in this test program, so the mode buttons can be checked before real windows exist.
struct FakeModeButtons {
    HWND dialog = reinterpret_cast<HWND>(0xD1A1);
    std::map<int, bool> checked;
    std::map<int, bool> enabled;
} g_buttons;

extern "C" {
HWND GetDlgItem(HWND dialog, int id) {
    return dialog == g_buttons.dialog ? reinterpret_cast<HWND>(static_cast<intptr_t>(id)) : nullptr;
}
UINT IsDlgButtonChecked(HWND dialog, int id) {
    return dialog == g_buttons.dialog && g_buttons.checked[id] ? BST_CHECKED : BST_UNCHECKED;
}
BOOL CheckDlgButton(HWND dialog, int id, UINT check) {
    if (dialog != g_buttons.dialog) return FALSE;
    g_buttons.checked[id] = check == BST_CHECKED;
    return TRUE;
}
BOOL EnableWindow(HWND window, BOOL enable) {
    if (!window) return FALSE;
    g_buttons.enabled[static_cast<int>(reinterpret_cast<intptr_t>(window))] = enable != FALSE;
    return TRUE;
}
}

namespace {

class IndexTest : public ::testing::Test {
protected:
    IndexTest() { host.Init(); }

    // Writes the index, answers the box with it and reads it.
    void Read(const std::string &bytes) {
        box.Choose(folder.Write("subs.bms", bytes));
        ChooseSubtitleIndex(&host.instance);
    }
    std::vector<SubtitleEntry> Entries() const {
        const SubtitleList &list = host.instance.subtitles;
        if (!list.entries) return {};
        return std::vector<SubtitleEntry>(list.entries, list.entries + list.count);
    }
    bool NeverMatches(const SubtitleEntry &e) const { return e.startFrame > e.endFrame; }

    TempFolder folder;
    TestHost host;
    OpenFileAnswer box;
};

TEST_F(IndexTest, OpenFileBoxGetsTheWholeRecordAsSpecified) {
    host.instance.dialog = reinterpret_cast<HWND>(0x4242);
    box.Cancel();
    ChooseSubtitleIndex(&host.instance);
    ASSERT_EQ(box.calls, 1);
    const OPENFILENAMEA &r = box.record;
    EXPECT_EQ(r.lStructSize, (DWORD)OPENFILENAME_SIZE_VERSION_400A);
    if (sizeof(void *) == 4) {
        EXPECT_EQ(r.lStructSize, 76u);
    }
    EXPECT_EQ(r.hwndOwner, reinterpret_cast<HWND>(0x4242));
    EXPECT_EQ(r.hInstance, nullptr);
    EXPECT_EQ(box.filter, std::string("Bitmap sequences (*.bms)\0*.bms\0\0", 32));
    EXPECT_EQ(r.lpstrCustomFilter, nullptr);
    EXPECT_EQ(r.nMaxCustFilter, 0u);
    EXPECT_EQ(r.nFilterIndex, 1u);
    EXPECT_NE(r.lpstrFile, nullptr);
    EXPECT_EQ(box.fileOnEntry, "");
    EXPECT_EQ(r.nMaxFile, 260u);
    EXPECT_EQ(r.lpstrFileTitle, nullptr);
    EXPECT_EQ(r.nMaxFileTitle, 0u);
    EXPECT_EQ(r.lpstrInitialDir, nullptr);
    EXPECT_EQ(box.title, "Open bitmap sequence");
    EXPECT_EQ(r.Flags, 0x1804u);
    EXPECT_EQ(box.defaultExtension, "bms");
    EXPECT_EQ(r.lCustData, 0);
    EXPECT_EQ(r.lpfnHook, nullptr);
    EXPECT_EQ(r.lpTemplateName, nullptr);
    // With no dialog open the box has no owner.
    host.instance.dialog = nullptr;
    ChooseSubtitleIndex(&host.instance);
    EXPECT_EQ(box.record.hwndOwner, nullptr);
}

TEST_F(IndexTest, ReadsEntriesInFileOrderAndKeepsTheFolder) {
    host.instance.currentSubtitle = 0;
    Read("2\n1,1200,1275,96,402\n2,1290,1340,120,402\n");
    EXPECT_EQ(Entries(), (std::vector<SubtitleEntry>{{1200, 1275, 96, 402}, {1290, 1340, 120, 402}}));
    EXPECT_EQ(std::string(host.instance.directory), ModuleForm(folder.path()));
    EXPECT_EQ(host.instance.currentSubtitle, -1);
    // Reading the same file again replaces the list and resets the selection again.
    host.instance.currentSubtitle = 1;
    ChooseSubtitleIndex(&host.instance);
    EXPECT_EQ(host.instance.subtitles.count, 2);
    EXPECT_EQ(host.instance.currentSubtitle, -1);
}

TEST_F(IndexTest, SeparatorsOfAnyKindReadAlike) {
    const std::vector<SubtitleEntry> expected{{100, 150, 10, 20}, {160, 170, -3, 5}};
    for (const char *text : {"2\n7,100,150,10,20\n8,160,170,-3,5\n", "2\r\n7,100,150,10,20\r\n8,160,170,-3,5\r\n",
                             "2 7,100,150,10,20 8,160,170,-3,5", "\t 2\t\t7,100,150,10,20\f8,160,170,-3,5\v\n\n"}) {
        SCOPED_TRACE(text);
        Read(text);
        EXPECT_EQ(Entries(), expected);
    }
}

TEST_F(IndexTest, HeaderCountBoundsTheEntriesStored) {
    Read("2\n1,1,2,0,0\n2,3,4,0,0\n3,5,6,0,0\n");
    EXPECT_EQ(Entries(), (std::vector<SubtitleEntry>{{1, 2, 0, 0}, {3, 4, 0, 0}}));
    Read("5\n1,1,2,0,0\n2,3,4,0,0\n");
    EXPECT_EQ(host.instance.subtitles.count, 2);
    Read("3abc\n1,1,2,0,0\n2,3,4,0,0\n3,5,6,0,0\n4,7,8,0,0\n");
    EXPECT_EQ(host.instance.subtitles.count, 3);
    Read("+2\n1,1,2,0,0\n2,3,4,0,0\n3,5,6,0,0\n");
    EXPECT_EQ(host.instance.subtitles.count, 2);
}

TEST_F(IndexTest, FirstFieldPlaysNoPart) {
    Read("2\n9,100,150,10,20\n0,100,150,10,20\n");
    ASSERT_EQ(host.instance.subtitles.count, 2);
    EXPECT_EQ(Entries()[0], Entries()[1]);
}

// Guards against a list that is neither empty nor safe for a header without room for entries.
TEST_F(IndexTest, HeadersWithoutRoomGiveAnEmptyList) {
    for (const char *text : {"0\n1,1,2,0,0\n", "-4\n1,1,2,0,0\n", "abc\n1,1,2,0,0\n", "-\n1,1,2,0,0\n", "",
                             " \r\n\t", "2147483647\n1,1,2,0,0\n", "99999999999999999999\n1,1,2,0,0\n"}) {
        SCOPED_TRACE(text);
        Read(text);
        EXPECT_EQ(host.instance.subtitles.count, 0);
        EXPECT_EQ(host.instance.subtitles.entries, nullptr);
        EXPECT_EQ(host.instance.currentSubtitle, -1);
    }
}

// Guards against allocating what the header claims rather than what the file holds.
TEST_F(IndexTest, LargeDeclaredCountCostsOnlyTheEntriesRead) {
    Read("1000000\n1,1,2,0,0\n2,3,4,0,0\n");
    EXPECT_EQ(host.instance.subtitles.count, 2);
    // More entries than the first array holds: it grows and keeps every entry in order.
    std::string text = "600\n";
    for (int i = 0; i < 600; ++i) text += std::to_string(i) + "," + std::to_string(i * 10) + "," + std::to_string(i * 10 + 5) + ",1,2\n";
    Read(text);
    ASSERT_EQ(host.instance.subtitles.count, 600);
    for (int i = 0; i < 600; ++i) ASSERT_EQ(Entries()[i], (SubtitleEntry{i * 10, i * 10 + 5, 1, 2})) << i;
}

TEST_F(IndexTest, FailedAllocationLeavesAnEmptyList) {
    std::string text = "600\n";
    for (int i = 0; i < 600; ++i) text += "1,1,2,0,0\n";
    folder.Write("subs.bms", text);
    box.Choose(folder.File("subs.bms"));
    for (long failAt = 1; failAt <= 3; ++failAt) {
        SCOPED_TRACE(failAt);
        long live = LiveAllocationCount();
        FailAllocationAfter(failAt);
        ChooseSubtitleIndex(&host.instance);
        FailAllocationAfter(0);
        EXPECT_EQ(host.instance.subtitles.count, 0);
        EXPECT_EQ(host.instance.subtitles.entries, nullptr);
        EXPECT_EQ(LiveAllocationCount(), live);
    }
}

// Guards against overflowing the token buffer, and against a cut-off token matching frames.
TEST_F(IndexTest, OverLongTokenTakesItsPositionAndNeverMatches) {
    // Its first 259 characters read as a valid entry for frames 100..200.
    std::string longToken = "1,100,200,5,5" + std::string(5000, '7');
    Read("3\n" + longToken + "\n2,300,310,1,1\n3,400,410,2,2\n");
    ASSERT_EQ(host.instance.subtitles.count, 3);
    EXPECT_TRUE(NeverMatches(Entries()[0])) << Entries()[0];
    EXPECT_EQ(Entries()[1], (SubtitleEntry{300, 310, 1, 1}));
    EXPECT_EQ(Entries()[2], (SubtitleEntry{400, 410, 2, 2}));
    EXPECT_EQ(FindSubtitleAtFrame(&host.instance.subtitles, 150), -1);
    // Exactly 259 characters still fit and read as an entry.
    std::string fits = "1,100,200,5,5";
    fits += std::string(259 - fits.size(), 'z');
    Read("1\n" + fits + "\n");
    EXPECT_EQ(Entries(), (std::vector<SubtitleEntry>{{100, 200, 5, 5}}));
}

// Guards against uninitialised fields in entries that do not give all five numbers.
TEST_F(IndexTest, IncompleteTokensTakeTheirPositionsAndNeverMatch) {
    // "1, 100, 150, 10, 20" splits into five tokens: five positions, none of them matching.
    Read("8\n1,100,150\n1, 100, 150, 10, 20\nx,1,2,3,4\n5,600,700,8,9\n");
    ASSERT_EQ(host.instance.subtitles.count, 8);
    std::vector<SubtitleEntry> entries = Entries();
    for (int i = 0; i < 7; ++i) {
        SCOPED_TRACE(i);
        EXPECT_TRUE(NeverMatches(entries[i])) << entries[i];
        EXPECT_EQ(entries[i].x, 0);
        EXPECT_EQ(entries[i].y, 0);
    }
    EXPECT_EQ(entries[7], (SubtitleEntry{600, 700, 8, 9}));
    EXPECT_EQ(FindSubtitleAtFrame(&host.instance.subtitles, 650), 7);
    // Characters after the fifth number are ignored, as "%d" ignores them.
    Read("1\n1,10,20,3,4;note\n");
    EXPECT_EQ(Entries(), (std::vector<SubtitleEntry>{{10, 20, 3, 4}}));
}

TEST_F(IndexTest, FolderIsThePathUpToItsLastBackslash) {
    struct Case {
        const char *chosen;
        const char *directory;
    };
    for (const Case &c : {Case{"C:\\Films\\Subs\\film.bms", "C:\\Films\\Subs"}, Case{"D:\\film.bms", "D:"},
                          Case{"C:film.bms", ""}, Case{"C:/Films/film.bms", ""}}) {
        SCOPED_TRACE(c.chosen);
        box.Choose(c.chosen);
        ChooseSubtitleIndex(&host.instance);
        EXPECT_STREQ(host.instance.directory, c.directory);
        // Nothing exists there: the list stays empty but the folder is kept.
        EXPECT_EQ(host.instance.subtitles.count, 0);
    }
}

TEST_F(IndexTest, CancelEmptiesTheListAndKeepsTheFolder) {
    Read("1\n1,10,20,3,4\n");
    std::strcpy(host.instance.directory, "C:/from/the/script");
    host.instance.currentSubtitle = 0;
    box.Cancel();
    ChooseSubtitleIndex(&host.instance);
    EXPECT_EQ(host.instance.subtitles.count, 0);
    EXPECT_EQ(host.instance.subtitles.entries, nullptr);
    EXPECT_STREQ(host.instance.directory, "C:/from/the/script");
    EXPECT_EQ(host.instance.currentSubtitle, -1);
}

TEST_F(IndexTest, UnopenableChoiceKeepsTheNewFolderAndAnEmptyList) {
    box.Choose(folder.File("missing.bms"));
    ChooseSubtitleIndex(&host.instance);
    EXPECT_EQ(host.instance.subtitles.count, 0);
    EXPECT_EQ(std::string(host.instance.directory), ModuleForm(folder.path()));
}

// Guards against leaving Mask or Final checked (and the mode set) when there is nothing to show.
TEST_F(IndexTest, ModeButtonsFollowTheSubtitleList) {
    host.instance.dialog = g_buttons.dialog;
    g_buttons.checked = {{IDC_MODE_ORIGINAL, false}, {IDC_MODE_MASK, false}, {IDC_MODE_FINAL, true}};
    host.instance.mode = MODE_FINAL;
    Read("1\n1,10,20,3,4\n");
    EXPECT_EQ(host.instance.mode, MODE_FINAL);
    EXPECT_TRUE(g_buttons.checked[IDC_MODE_FINAL]);
    EXPECT_TRUE(g_buttons.enabled[IDC_MODE_ORIGINAL] && g_buttons.enabled[IDC_MODE_MASK] && g_buttons.enabled[IDC_MODE_FINAL]);
    // A cancelled box empties the list: Final goes, Original takes its place.
    box.Cancel();
    ChooseSubtitleIndex(&host.instance);
    EXPECT_EQ(host.instance.mode, MODE_ORIGINAL);
    EXPECT_TRUE(g_buttons.checked[IDC_MODE_ORIGINAL]);
    EXPECT_FALSE(g_buttons.checked[IDC_MODE_FINAL]);
    EXPECT_TRUE(g_buttons.enabled[IDC_MODE_ORIGINAL]);
    EXPECT_FALSE(g_buttons.enabled[IDC_MODE_MASK]);
    EXPECT_FALSE(g_buttons.enabled[IDC_MODE_FINAL]);
    // The same for Mask, with a list that has a header but no room for entries.
    g_buttons.checked = {{IDC_MODE_ORIGINAL, false}, {IDC_MODE_MASK, true}, {IDC_MODE_FINAL, false}};
    host.instance.mode = MODE_MASK_ONLY;
    Read("0\n1,10,20,3,4\n");
    EXPECT_EQ(host.instance.mode, MODE_ORIGINAL);
    EXPECT_TRUE(g_buttons.checked[IDC_MODE_ORIGINAL]);
    EXPECT_FALSE(g_buttons.checked[IDC_MODE_MASK]);
    host.instance.dialog = nullptr;
}

TEST_F(IndexTest, ModeButtonsWithoutADialogChangeNothing) {
    host.instance.mode = MODE_FINAL;
    host.instance.dialog = nullptr;
    box.Cancel();
    ChooseSubtitleIndex(&host.instance);  // ends with an empty list, which would disable Final
    EXPECT_EQ(host.instance.mode, MODE_FINAL);
    UpdateModeButtons(&host.instance);
    EXPECT_EQ(host.instance.mode, MODE_FINAL);
}

// ---- The parser over bytes ---------------------------------------------------------------------

// The list a parse fed in pieces of `piece` bytes leaves; 0 feeds the whole input at once.
std::vector<SubtitleEntry> ParsedInPieces(const std::string &bytes, size_t piece, bool *entriesNull) {
    SubtitleList list{};
    IndexParse parse;
    BeginIndexParse(&parse, &list);
    for (size_t at = 0; at < bytes.size();) {
        const size_t n = piece == 0 ? bytes.size() : std::min(piece, bytes.size() - at);
        if (!ContinueIndexParse(&parse, bytes.data() + at, n)) break;
        at += n;
    }
    EndIndexParse(&parse);
    *entriesNull = list.entries == nullptr;
    std::vector<SubtitleEntry> entries(list.entries, list.entries + (list.entries ? list.count : 0));
    ReleaseSubtitleList(&list);
    return entries;
}

// Inputs where reading a file and parsing bytes could part: tokens across the reader's chunk
// boundaries, zero bytes and bytes above 127 in tokens, cut and saturated numbers, the count limits.
std::vector<std::string> TrickyIndexes() {
    std::string entries600 = "600\r\n";
    for (int i = 0; i < 600; ++i) entries600 += std::to_string(i) + "," + std::to_string(i * 3) + ",9,1,2\r\n";
    std::vector<std::string> inputs = {
        "", " \r\n\t", "5", "2\n1,1200,1275,96,402\n2,1290,1340,120,402", "3abc 1,1,2,0,0 2,3,4,0,0 3,5,6,0,0 4,7,8,0,0",
        std::string("2\n1,10,20,3,4\0tail\n1,1\0,2,3,4\n", 31), std::string("2\0 1,1,2,0,0 1,3,4,0,0", 23),
        "2\xa0 1,10,20,3,4\x85 2,30,40,5,6", std::string(300, '0') + "2\n1,1,2,0,0",
        "1\n1,99999999999,-99999999999,2147483648,-2147483649\n", "3\n1, 2,3,4,5\n,,,,\n-,+,1,2,3",
        "1\n" + std::string(259, '1') + "\n", "2\n" + std::string(260, '1') + " 1,5,6,7,8", "1048576 1,1,2,0,0",
        "1048577 1,1,2,0,0", "99999999999999999999 1,1,2,0,0", entries600,
    };
    // The file reader's pieces are a few KiB: a token on each side of 4096 and 8192, and a long
    // run of white space across them.
    for (size_t pad : {4083u, 4084u, 4090u, 4094u, 4095u, 8185u}) {
        inputs.push_back("3" + std::string(pad, ' ') + "1,100,200,5,5 2,300,310,1,1\n3,400,410,2,2");
        inputs.push_back("2\n1,100,200,5,5" + std::string(pad, '\n') + "2,300,310,1,1");
    }
    std::mt19937 random(11);
    const char alphabet[] = "0123456789,,,,--+  \n\r\t\v\fx\xa0";
    for (int i = 0; i < 40; ++i) {
        std::string text = std::to_string(random() % 300) + "\n";
        const size_t size = random() % 9000;
        while (text.size() < size) text += alphabet[random() % (sizeof(alphabet) - 1)];
        inputs.push_back(text);
    }
    return inputs;
}

// Guards: the module's file reader and the byte parser parting ways, or a parse that depends on
// where its input is cut into pieces.
TEST_F(IndexTest, FileAndBytesGiveTheSameListOnTrickyInputs) {
    int nonEmpty = 0;
    for (const std::string &bytes : TrickyIndexes()) {
        SCOPED_TRACE(bytes.substr(0, 60));
        Read(bytes);
        const std::vector<SubtitleEntry> fromFile = Entries();
        nonEmpty += !fromFile.empty();
        SubtitleList list{};
        ParseSubtitleIndex(bytes.data(), bytes.size(), &list);
        EXPECT_EQ(list.count, host.instance.subtitles.count);
        EXPECT_EQ(list.entries == nullptr, host.instance.subtitles.entries == nullptr);
        EXPECT_EQ(std::vector<SubtitleEntry>(list.entries, list.entries + (list.entries ? list.count : 0)), fromFile);
        ReleaseSubtitleList(&list);
        for (size_t piece : {1u, 3u, 4095u, 4097u}) {
            bool entriesNull = false;
            EXPECT_EQ(ParsedInPieces(bytes, piece, &entriesNull), fromFile) << piece;
            EXPECT_EQ(entriesNull, host.instance.subtitles.entries == nullptr) << piece;
        }
    }
    EXPECT_GT(nonEmpty, 30);  // most inputs give entries, so the comparison is not of empty lists
}

// Guards: subremove's warning naming another count than the header's (it reads the count here).
TEST(IndexParse, ReturnsTheDeclaredCountAsTheHeaderGivesIt) {
    struct Case {
        const char *text;
        int32_t declared;
    };
    for (const Case &c : {Case{"", 0}, Case{"abc 1,1,2,0,0", 0}, Case{"-4 1,1,2,0,0", -4}, Case{"3abc", 3},
                          Case{"99999999999999999999", INT32_MAX}, Case{"1048577 1,1,2,0,0", 1048577}}) {
        SubtitleList list{};
        EXPECT_EQ(ParseSubtitleIndex(c.text, std::strlen(c.text), &list), c.declared) << c.text;
        ReleaseSubtitleList(&list);
    }
}

}  // namespace

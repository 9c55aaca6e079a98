// The script line, the script function that reads it back, and the title suffixes.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "host/instance.h"
#include "host/script.h"
#include "platform/linux/shim.h"
#include "support/test_host.h"

namespace {

using ::testing::_;
using ::testing::Invoke;

class MockInterpreter : public IScriptInterpreter {
public:
    MOCK_METHOD(void, Destroy, (), (override));
    MOCK_METHOD(void, SetRootHandler, (void *, void *), (override));
    MOCK_METHOD(void, ExecuteLine, (char *), (override));
    MOCK_METHOD(void, ScriptError, (int), (override));
    MOCK_METHOD(char *, TranslateScriptError, (void *), (override));
    MOCK_METHOD(char **, AllocTempString, (VDLong), (override));
    MOCK_METHOD(void *, LookupObjectMember, (void *, void *, char *), (override));
};

// The seven arguments of one Config call, as the host hands them over.
struct ConfigCall {
    std::string directory;
    char *text = nullptr;
    CScriptValue args[7]{};
    ConfigCall(int mode, const std::string &dir, int depth, int power, int interlaced, int aspect, int radius)
        : directory(dir) {
        text = &directory[0];
        const int values[7] = {mode, 0, depth, power, interlaced, aspect, radius};
        for (int i = 0; i < 7; ++i) {
            args[i].type = SCRIPT_INT;
            args[i].u.i = values[i];
        }
        args[1].type = SCRIPT_STRING;
        args[1].u.s = &text;
    }
    void Run(TestHost &host, IScriptInterpreter &interpreter) { Config(&interpreter, &host.activation, args, 7); }
};

std::string Line(TestHost &host, int length = 512) {
    std::string buffer((size_t)length, '\x7f');
    EXPECT_TRUE(fssProc(&host.activation, nullptr, &buffer[0], length));
    return std::string(buffer.c_str());
}

std::string Suffix(TestHost &host) {
    char buffer[32];
    std::memset(buffer, 'x', sizeof(buffer));
    stringProc(&host.activation, nullptr, buffer);
    return buffer;
}

// The open-file box is cancelled in these tests unless a test answers it.
struct CancelledBox : ::testing::Test {
    void SetUp() override { SetOpenFileHandler(nullptr, nullptr); }
};

using ScriptLine = CancelledBox;
using ScriptFunction = CancelledBox;

// Guards the exact line format (separators, quotes, no semicolon) for the defaults.
TEST_F(ScriptLine, FreshInstance) {
    TestHost host;
    host.Init();
    EXPECT_EQ(Line(host), "Config(0, \"\", 15, 40, 0, 0, 5)");
}

// Guards the value order of the line and the in-place slash conversion.
TEST_F(ScriptLine, FinalModeWithADirectoryWritesForwardSlashesAndKeepsThem) {
    TestHost host;
    host.Init();
    RemovalInstance &i = host.instance;
    i.mode = 2;
    std::strcpy(i.directory, "C:\\subs\\film");
    i.depth = 20;
    i.power = 35;
    i.interlaced = true;
    i.pixelAspect = -30;
    i.radius = 3;
    EXPECT_EQ(Line(host), "Config(2, \"C:/subs/film\", 20, 35, 1, -30, 3)");
    EXPECT_STREQ(i.directory, "C:/subs/film");
}

// Guards against writing past the host's buffer or leaving it unterminated, and the off-by-one
// at the exact fit (the line and its zero byte).
TEST_F(ScriptLine, ShortBuffersAreRefusedAndStayTerminated) {
    TestHost host;
    host.Init();
    const std::string full = "Config(0, \"\", 15, 40, 0, 0, 5)";
    const int exact = (int)full.size() + 1;
    char buffer[64];
    std::memset(buffer, '#', sizeof(buffer));
    EXPECT_TRUE(fssProc(&host.activation, nullptr, buffer, exact));
    EXPECT_EQ(std::string(buffer), full);
    for (int length : {exact - 1, 10, 1}) {
        std::memset(buffer, '#', sizeof(buffer));
        EXPECT_FALSE(fssProc(&host.activation, nullptr, buffer, length)) << length;
        EXPECT_EQ(buffer[length - 1], '\0') << length;
        EXPECT_EQ(std::strlen(buffer), (size_t)length - 1);
        for (size_t b = (size_t)length; b < sizeof(buffer); ++b) ASSERT_EQ(buffer[b], '#') << length;
    }
}

// Guards against converting only the first slash, or walking past the terminating zero.
TEST(Slashes, ConvertEveryOccurrenceUpToTheTerminatingZero) {
    char text[] = "a/b\\c//d\\\\e\0/x";
    UseBackslashes(text);
    EXPECT_EQ(std::string(text, sizeof(text) - 1), std::string("a\\b\\c\\\\d\\\\e\0/x", sizeof(text) - 1));
    UseForwardSlashes(text);
    EXPECT_EQ(std::string(text, sizeof(text) - 1), std::string("a/b/c//d//e\0/x", sizeof(text) - 1));
    char empty[] = "";
    UseBackslashes(empty);
    EXPECT_STREQ(empty, "");
}

// Guards against indexing a suffix table with an unchecked mode.
TEST(TitleSuffix, NamesTheModeAndAnyOtherValue) {
    TestHost host;
    host.Init();
    const char *expected[] = {" (Original)", " (Mask only)", " (Final)"};
    for (int mode = 0; mode < 3; ++mode) {
        host.instance.mode = mode;
        EXPECT_EQ(Suffix(host), expected[mode]);
    }
    for (int mode : {3, -1, 5}) {
        host.instance.mode = mode;
        EXPECT_EQ(Suffix(host), " (no function)");
    }
}

// Guards the argument order, which differs from the order of the fields and of the dialog.
TEST_F(ScriptFunction, StoresEachArgumentInItsField) {
    TestHost host;
    host.Init();
    MockInterpreter interpreter;
    EXPECT_CALL(interpreter, ScriptError(_)).Times(0);
    ConfigCall(1, "D:/a/b", 11, 12, 13, -14, 6).Run(host, interpreter);
    const RemovalInstance &i = host.instance;
    EXPECT_EQ(i.mode, 1);
    EXPECT_STREQ(i.directory, "D:\\a\\b");
    EXPECT_EQ(i.depth, 11);
    EXPECT_EQ(i.power, 12);
    EXPECT_TRUE(i.interlaced);
    EXPECT_EQ(i.pixelAspect, -14);
    EXPECT_EQ(i.radius, 6);
    EXPECT_EQ(i.activation, &host.activation);
    EXPECT_EQ(i.currentSubtitle, -1);  // the index was read (and the box cancelled)
    EXPECT_EQ(i.subtitles.count, 0);
}

// Guards against a line that its own script function does not read back to the same settings.
TEST_F(ScriptFunction, RoundTripOfTheSavedLineWithTheBoxCancelled) {
    TestHost host;
    host.Init();
    RemovalInstance &i = host.instance;
    i.mode = 2;
    std::strcpy(i.directory, "C:\\subs\\film");
    i.depth = 20;
    i.power = 35;
    i.interlaced = true;
    i.pixelAspect = -30;
    i.radius = 3;
    const std::string line = Line(host);

    TestHost restored;
    restored.Init();
    int mode, depth, power, interlaced, aspect, radius;
    char directory[260];
    ASSERT_EQ(std::sscanf(line.c_str(), "Config(%d, \"%259[^\"]\", %d, %d, %d, %d, %d)", &mode, directory, &depth,
                          &power, &interlaced, &aspect, &radius),
              7);
    MockInterpreter interpreter;
    EXPECT_CALL(interpreter, ScriptError(_)).Times(0);
    ConfigCall(mode, directory, depth, power, interlaced, aspect, radius).Run(restored, interpreter);
    const RemovalInstance &r = restored.instance;
    EXPECT_EQ(r.mode, 2);
    EXPECT_STREQ(r.directory, "C:\\subs\\film");
    EXPECT_EQ(r.depth, 20);
    EXPECT_EQ(r.power, 35);
    EXPECT_TRUE(r.interlaced);
    EXPECT_EQ(r.pixelAspect, -30);
    EXPECT_EQ(r.radius, 3);
    EXPECT_EQ(r.subtitles.count, 0);
}

// Guards against storing the raw integer in the boolean and writing it back as 7.
TEST_F(ScriptFunction, AnyNonZeroInterlacedIsTrueAndIsWrittenBackAsOne) {
    TestHost host;
    host.Init();
    MockInterpreter interpreter;
    EXPECT_CALL(interpreter, ScriptError(_)).Times(0);
    ConfigCall(0, "", 15, 40, 7, 0, 5).Run(host, interpreter);
    EXPECT_TRUE(host.instance.interlaced);
    EXPECT_EQ(Line(host), "Config(0, \"\", 15, 40, 1, 0, 5)");
}

// Guards against range-testing or clamping the mode.
TEST_F(ScriptFunction, AnyModeIsStoredWithoutError) {
    TestHost host;
    host.Init();
    MockInterpreter interpreter;
    EXPECT_CALL(interpreter, ScriptError(_)).Times(0);
    ConfigCall(5, "", 15, 40, 0, 0, 5).Run(host, interpreter);
    EXPECT_EQ(host.instance.mode, 5);
    EXPECT_EQ(Suffix(host), " (no function)");
    EXPECT_EQ(Line(host), "Config(5, \"\", 15, 40, 0, 0, 5)");
}

// Guards the range test: one error however many values are out of range, raised only after
// every value is stored (the host's ScriptError does not return), and none for the limits.
TEST_F(ScriptFunction, OutOfRangeValuesRaiseOneErrorAsTheLastStepAndStayStored) {
    struct Case {
        int depth, power, aspect, radius;
        bool error;
    };
    const Case cases[] = {
        {10, 0, -120, 0, false}, {80, 160, 120, 10, false}, {9, 40, 0, 5, true},   {81, 40, 0, 5, true},
        {15, -1, 0, 5, true},    {15, 161, 0, 5, true},     {15, 40, -121, 5, true}, {15, 40, 121, 5, true},
        {15, 40, 0, -1, true},   {15, 40, 0, 11, true},     {9, 40, 0, 11, true},   {0, 999, -999, 99, true},
    };
    for (const Case &c : cases) {
        TestHost host;
        host.Init();
        MockInterpreter interpreter;
        auto valuesStored = [&](int) {
            const RemovalInstance &i = host.instance;
            EXPECT_EQ(i.depth, c.depth);
            EXPECT_EQ(i.power, c.power);
            EXPECT_EQ(i.pixelAspect, c.aspect);
            EXPECT_EQ(i.radius, c.radius);
            EXPECT_TRUE(i.interlaced);
            EXPECT_EQ(i.mode, 2);
            EXPECT_STREQ(i.directory, "x\\y");
        };
        EXPECT_CALL(interpreter, ScriptError(24)).Times(c.error ? 1 : 0).WillRepeatedly(Invoke(valuesStored));
        EXPECT_CALL(interpreter, ScriptError(::testing::Ne(24))).Times(0);
        ConfigCall(2, "x/y", c.depth, c.power, 1, c.aspect, c.radius).Run(host, interpreter);
        EXPECT_EQ(host.instance.depth, c.depth);
        EXPECT_EQ(host.instance.radius, c.radius);
        ::testing::Mock::VerifyAndClearExpectations(&interpreter);
    }
}

// Guards against overflowing `directory` with a long script argument: it keeps 259 characters.
TEST_F(ScriptFunction, LongDirectoryIsCutTo259Characters) {
    for (size_t length : {258u, 259u, 260u, 400u}) {
        TestHost host;
        host.Init();
        MockInterpreter interpreter;
        std::string dir(length, 'a');
        dir[1] = '/';
        ConfigCall(0, dir, 15, 40, 0, 0, 5).Run(host, interpreter);
        const size_t kept = length < 259 ? length : 259;
        EXPECT_EQ(std::strlen(host.instance.directory), kept) << length;
        EXPECT_EQ(host.instance.directory[1], '\\');
        EXPECT_EQ(std::string(host.instance.directory + 2), std::string(kept - 2, 'a'));
    }
}

// The open-file box answers with an index: its folder replaces the script's directory.
struct ChosenIndex {
    std::string path;
    int calls = 0;
    static const char *Answer(void *context, const OPENFILENAMEA *) {
        ChosenIndex *self = static_cast<ChosenIndex *>(context);
        ++self->calls;
        return self->path.c_str();
    }
};

// Guards against skipping the index box, which leaves the restored filter without subtitles.
TEST_F(ScriptFunction, AsksForTheIndexAndTakesTheChosenFolder) {
    char folder[] = "/tmp/sr_script_XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    ChosenIndex chosen{std::string(folder) + "/film.bms"};
    FILE *file = std::fopen(chosen.path.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    std::fputs("2\n1,10,20,3,4\n2,30,40,5,6\n", file);
    std::fclose(file);
    SetOpenFileHandler(ChosenIndex::Answer, &chosen);

    TestHost host;
    host.Init();
    MockInterpreter interpreter;
    EXPECT_CALL(interpreter, ScriptError(_)).Times(0);
    ConfigCall(2, "C:/elsewhere", 15, 40, 0, 0, 5).Run(host, interpreter);
    SetOpenFileHandler(nullptr, nullptr);
    EXPECT_EQ(chosen.calls, 1);
    EXPECT_EQ(host.instance.subtitles.count, 2);
    std::string expected = std::string("Z:") + folder;
    for (char &c : expected)
        if (c == '/') c = '\\';
    EXPECT_EQ(std::string(host.instance.directory), expected);
    std::remove(chosen.path.c_str());
    rmdir(folder);
}

}  // namespace

// The Linux stand-in for the Windows boxes and for file access: path forms in both directions,
// the message box and open-file box handlers, and opening files named in Windows form.
#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <string>

#include "platform/linux/shim.h"
#include "platform/win32.h"
#include "subtitle_fixtures.h"

namespace {

TEST(PathForms, LocalPathsBecomeDriveZWithBackslashes) {
    char out[260];
    ASSERT_TRUE(LocalPathToModulePath("/data/film/subs.bms", out, sizeof(out)));
    EXPECT_STREQ(out, "Z:\\data\\film\\subs.bms");
    // A relative path is made absolute from the working folder.
    char cwd[PATH_MAX];
    ASSERT_NE(getcwd(cwd, sizeof(cwd)), nullptr);
    ASSERT_TRUE(LocalPathToModulePath("subs.bms", out, sizeof(out)));
    EXPECT_EQ(std::string(out), ModuleForm(std::string(cwd) + "/subs.bms"));
    // Exactly fitting, and one byte short.
    ASSERT_TRUE(LocalPathToModulePath("/ab", out, 6));
    EXPECT_STREQ(out, "Z:\\ab");
    EXPECT_FALSE(LocalPathToModulePath("/abc", out, 6));
}

TEST(PathForms, ModulePathsOfEitherSlashMapBack) {
    char out[260];
    for (const char *modulePath : {"Z:\\data\\film\\image_0.pgm", "Z:/data/film/image_0.pgm", "z:/data\\film/image_0.pgm",
                                   "/data/film\\image_0.pgm", "\\data\\film\\image_0.pgm"}) {
        SCOPED_TRACE(modulePath);
        ASSERT_TRUE(ModulePathToLocalPath(modulePath, out, sizeof(out)));
        EXPECT_STREQ(out, "/data/film/image_0.pgm");
    }
    ASSERT_TRUE(ModulePathToLocalPath("film\\image_0.pgm", out, sizeof(out)));
    EXPECT_STREQ(out, "film/image_0.pgm");
    EXPECT_FALSE(ModulePathToLocalPath("Z:\\abcd", out, 5));
}

TEST(OpenModuleFile, OpensWindowsFormsAndRefusesFolders) {
    TempFolder folder;
    std::string local = folder.Write("image_3.pgm", "P5");
    std::string windows = ModuleForm(local);
    std::string mixed = ModuleForm(folder.path());
    for (char &c : mixed)
        if (c == '\\') c = '/';
    mixed += "\\image_3.pgm";  // as a folder from the script line joined with the module's backslash
    for (const std::string &path : {windows, mixed, local}) {
        SCOPED_TRACE(path);
        FILE *file = OpenModuleFile(path.c_str(), "rb");
        ASSERT_NE(file, nullptr);
        EXPECT_EQ(std::fgetc(file), 'P');
        std::fclose(file);
    }
    EXPECT_EQ(OpenModuleFile(ModuleForm(folder.File("none.pgm")).c_str(), "rb"), nullptr);
    EXPECT_EQ(OpenModuleFile(ModuleForm(folder.path()).c_str(), "rb"), nullptr);
    EXPECT_EQ(OpenModuleFile(nullptr, "rb"), nullptr);
}

TEST(MessageBoxStandIn, HandlerSeesEveryArgumentAndDefaultWritesToStandardError) {
    {
        MessageBoxRecorder recorder;
        EXPECT_EQ(MessageBoxA(reinterpret_cast<HWND>(0x77), "Z:\\a\\image_0.pgm", "Graymap file not found", MB_OK), IDOK);
        ASSERT_EQ(recorder.boxes.size(), 1u);
        EXPECT_EQ(recorder.boxes[0].owner, reinterpret_cast<HWND>(0x77));
        EXPECT_EQ(recorder.boxes[0].text, "Z:\\a\\image_0.pgm");
        EXPECT_EQ(recorder.boxes[0].caption, "Graymap file not found");
        EXPECT_EQ(recorder.boxes[0].style, (UINT)MB_OK);
    }
    testing::internal::CaptureStderr();
    EXPECT_EQ(MessageBoxA(nullptr, "Missing graymap file name", "Graymap load error", MB_OK), IDOK);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Graymap load error: Missing graymap file name\n");
}

OPENFILENAMEA Record(char *buffer, DWORD size) {
    OPENFILENAMEA record{};
    record.lStructSize = OPENFILENAME_SIZE_VERSION_400A;
    record.lpstrFile = buffer;
    record.nMaxFile = size;
    buffer[0] = '\0';
    return record;
}

TEST(OpenFileBoxStandIn, AnswersInWindowsFormOrFails) {
    char buffer[260];
    OPENFILENAMEA record = Record(buffer, sizeof(buffer));
    // No handler: cancelled.
    EXPECT_FALSE(GetOpenFileNameA(&record));
    OpenFileAnswer answer;
    answer.Cancel();
    EXPECT_FALSE(GetOpenFileNameA(&record));
    answer.Choose("/data/film/subs.bms");
    ASSERT_TRUE(GetOpenFileNameA(&record));
    EXPECT_STREQ(buffer, "Z:\\data\\film\\subs.bms");
    // A Windows-form answer is given as it is.
    answer.Choose("D:\\film.bms");
    ASSERT_TRUE(GetOpenFileNameA(&record));
    EXPECT_STREQ(buffer, "D:\\film.bms");
    // A path that does not fit the buffer fails the box, as on Windows.
    answer.Choose("/" + std::string(300, 'a'));
    EXPECT_FALSE(GetOpenFileNameA(&record));
    char small[8];
    OPENFILENAMEA tight = Record(small, sizeof(small));
    answer.Choose("D:\\film.bms");
    EXPECT_FALSE(GetOpenFileNameA(&tight));
    // So does a record of a size Windows does not know.
    record.lStructSize = 12;
    answer.Choose("/data/film/subs.bms");
    EXPECT_FALSE(GetOpenFileNameA(&record));
    record.lStructSize = sizeof(OPENFILENAMEA);
    EXPECT_TRUE(GetOpenFileNameA(&record));
}

}  // namespace

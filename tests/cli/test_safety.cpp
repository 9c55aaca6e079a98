// The input and other files are never at risk, and a run that fails or is interrupted leaves
// nothing behind: subremove run as a separate process against outputs that are the input, exist,
// are not files, or cannot be written, and stopped by signals mid-run.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>

#include <chrono>
#include <thread>

#include "subremove_support.h"

using namespace subremove_test;

namespace {

using Clock = std::chrono::steady_clock;

std::string Ffmpeg(const std::string &args) { return std::string(SR_FFMPEG) + " -v error -y " + args; }

// subremove started in `dir` with standard output and error in files; optionally with a file-size
// limit whose overrun makes writes fail with EFBIG rather than kill the process.
pid_t Start(const std::string &dir, std::vector<std::string> args, rlim_t fileSizeLimit = RLIM_INFINITY) {
    args.insert(args.begin(), SUBREMOVE_PATH);
    pid_t pid = fork();
    if (pid == 0) {
        int o = open((dir + "/../stdout.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int e = open((dir + "/../stderr.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(o, 1);
        dup2(e, 2);
        if (chdir(dir.c_str()) != 0) _exit(127);
        if (fileSizeLimit != RLIM_INFINITY) {
            signal(SIGXFSZ, SIG_IGN);
            rlimit limit{fileSizeLimit, fileSizeLimit};
            if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(127);
        }
        std::vector<char *> argv;
        for (std::string &a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

Result Finish(const std::string &dir, pid_t pid) {
    int status = 0;
    waitpid(pid, &status, 0);
    Result r;
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    r.err = ReadFile(dir + "/../stderr.txt");
    return r;
}

// The run happens in work/ so that the streams' files are not part of the listings compared.
Result RunIn(const Scratch &s, std::vector<std::string> args, rlim_t fileSizeLimit = RLIM_INFINITY) {
    return Finish(s.Path("work"), Start(s.Path("work"), std::move(args), fileSizeLimit));
}

// Standard error less the notes on the conversion an encoder needs (PNG takes no YUV).
std::string WithoutNotes(const std::string &err) {
    std::string kept;
    std::istringstream in(err);
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("subremove: note: ", 0) != 0) kept += line + "\n";
    }
    return kept;
}

bool OneErrorLine(const std::string &all) {
    const std::string err = WithoutNotes(all);
    return err.rfind("subremove: error: ", 0) == 0 && err.find('\n') == err.size() - 1;
}

// The folder's names, sorted the same whatever the locale.
std::string Listing(const std::string &dir) {
    std::vector<std::string> names = ListDir(dir);
    std::sort(names.begin(), names.end());
    std::string all;
    for (const std::string &name : names) all += name + "\n";
    return all;
}

class SafetyTest : public ::testing::Test {
protected:
    // work/ holds clip.mkv (the test film, FFV1), seq/ the same as a PNG sequence, and out/.
    void SetUp() override {
        Shell("mkdir -p '" + s.Path("work/seq") + "' '" + s.Path("work/out") + "'");
        WritePngSequence(s, "work/seq", SubtitledFilm());
        ASSERT_EQ(Shell(Ffmpeg("-i '" + s.Path("work/seq/%03d.png") + "' -c:v ffv1 '" + s.Path("work/clip.mkv") + "'")), 0);
        clip = ReadFile(s.Path("work/clip.mkv"));
    }
    Scratch s;
    std::string clip;
};

// Guards: the input overwritten (or replaced at publishing) when the output names the same file
// by another spelling, a symbolic link or a hard link.
TEST_F(SafetyTest, OutputThatIsTheInputIsRefused) {
    Shell("cd '" + s.Path("work") + "' && ln -s clip.mkv link.mkv && ln clip.mkv hard.mkv");
    const std::string before = Listing(s.Path("work"));
    for (const std::string &output : {std::string("clip.mkv"), std::string("./clip.mkv"), std::string("link.mkv"),
                                      std::string("hard.mkv"), s.Path("work/clip.mkv")}) {
        for (bool overwrite : {false, true}) {
            std::vector<std::string> args = {"-q", "clip.mkv", output};
            if (overwrite) args.insert(args.begin(), "-y");
            Result r = RunIn(s, args);
            EXPECT_EQ(r.status, 1) << output;
            EXPECT_TRUE(OneErrorLine(r.err)) << r.err;
            EXPECT_NE(r.err.find("is the input"), std::string::npos) << r.err;
        }
    }
    EXPECT_EQ(ReadFile(s.Path("work/clip.mkv")), clip);
    EXPECT_EQ(Listing(s.Path("work")), before);
    // The same for an image sequence written over itself.
    const std::string first = ReadFile(s.Path("work/seq/000.png"));
    Result r = RunIn(s, {"-q", "-y", "seq/%03d.png", "seq/%03d.png"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(OneErrorLine(r.err)) << r.err;
    EXPECT_EQ(ReadFile(s.Path("work/seq/000.png")), first);
    EXPECT_EQ(ListDir(s.Path("work/seq")).size(), (size_t)kFrames);
}

// Guards: an existing output replaced without -y, -y not replacing it, or -y with -n taken by order.
TEST_F(SafetyTest, ExistingOutputIsKeptUnlessOverwriteIsAsked) {
    WriteFile(s.Path("work/out/old.mkv"), "keep me");
    for (const char *never : {"", "-n"}) {
        std::vector<std::string> args = {"-q", "clip.mkv", "out/old.mkv"};
        if (*never) args.insert(args.begin(), never);
        Result r = RunIn(s, args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "subremove: error: the output out/old.mkv already exists; use -y to overwrite it\n");
        EXPECT_EQ(ReadFile(s.Path("work/out/old.mkv")), "keep me");
    }
    Result both = RunIn(s, {"-q", "-y", "-n", "clip.mkv", "out/old.mkv"});
    EXPECT_EQ(both.status, 2) << both.err;
    EXPECT_EQ(ReadFile(s.Path("work/out/old.mkv")), "keep me");
    Result replaced = RunIn(s, {"-q", "-y", "clip.mkv", "out/old.mkv"});
    EXPECT_EQ(replaced.status, 0) << replaced.err;
    EXPECT_EQ(ReadFrames(s, s.Path("work/out/old.mkv"), kW, kH).size(), (size_t)kFrames);
    EXPECT_EQ(Listing(s.Path("work/out")), "old.mkv\n");

    // An image sequence: any file the film would write counts.
    WriteFile(s.Path("work/out/003.png"), "keep me");
    Result sequence = RunIn(s, {"-q", "clip.mkv", "out/%03d.png"});
    EXPECT_EQ(sequence.status, 1);
    EXPECT_EQ(sequence.err, "subremove: error: the output out/003.png already exists; use -y to overwrite it\n");
    EXPECT_EQ(Listing(s.Path("work/out")), "003.png\nold.mkv\n");
    EXPECT_EQ(RunIn(s, {"-q", "-y", "clip.mkv", "out/%03d.png"}).status, 0);
    EXPECT_EQ(ListDir(s.Path("work/out")).size(), (size_t)kFrames + 1);
}

// Guards: writing into a device, a FIFO (which would block) or over a folder, even with -y; and a
// planted temporary name followed to another file.
TEST_F(SafetyTest, OnlyRegularFilesAreWrittenAndPlantedNamesAreNotFollowed) {
    Shell("cd '" + s.Path("work/out") + "' && mkfifo fifo.mkv && mkdir dir.mkv && ln -s /dev/null null.mkv");
    for (const char *name : {"out/fifo.mkv", "out/dir.mkv", "out/null.mkv"}) {
        Result r = RunIn(s, {"-q", "-y", "clip.mkv", name});
        EXPECT_EQ(r.status, 1) << name;
        EXPECT_EQ(r.err, std::string("subremove: error: the output ") + name + " exists and is not a regular file\n");
    }
    EXPECT_EQ(Listing(s.Path("work/out")), "dir.mkv\nfifo.mkv\nnull.mkv\n");

    WriteFile(s.Path("work/victim"), "untouched");
    Shell("cd '" + s.Path("work/out") + "' && rm -rf * && ln -s ../victim new.mkv.part && ln -s ../victim .new.mkv.part");
    Result r = RunIn(s, {"-q", "clip.mkv", "out/new.mkv"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(ReadFile(s.Path("work/victim")), "untouched");
    EXPECT_EQ(Listing(s.Path("work/out")), ".new.mkv.part\nnew.mkv\nnew.mkv.part\n");
}

// Guards: names read as FFmpeg protocols ("pipe:1" writing to standard output, "http:" reaching
// out) instead of as files in the folder.
TEST_F(SafetyTest, NamesArePlainFiles) {
    Result out = RunIn(s, {"-q", "clip.mkv", "pipe:1.mkv"});
    EXPECT_EQ(out.status, 0) << out.err;
    EXPECT_EQ(ReadFile(s.Path("stdout.txt")), "");
    EXPECT_EQ(ReadFrames(s, s.Path("work/pipe:1.mkv"), kW, kH).size(), (size_t)kFrames);
    Result in = RunIn(s, {"-q", "pipe:1.mkv", "http:x.mkv"});
    EXPECT_EQ(in.status, 0) << in.err;
    EXPECT_EQ(ReadFrames(s, s.Path("work/http:x.mkv"), kW, kH).size(), (size_t)kFrames);
}

// Guards: a film sent into one image name (it used to end in a muxer error, or a crash with two
// threads) instead of a clear refusal; and a one-frame film into one image refused with it.
TEST_F(SafetyTest, SingleImageOutputHoldsOnePicture) {
    for (const char *threads : {"1", "2"}) {
        Result r = RunIn(s, {"-q", "--threads", threads, "clip.mkv", "out/single.png"});
        EXPECT_EQ(r.status, 1) << threads;
        EXPECT_TRUE(OneErrorLine(r.err)) << r.err;
        EXPECT_NE(r.err.find("out/single.png names one picture"), std::string::npos) << r.err;
        EXPECT_EQ(Listing(s.Path("work/out")), "");
    }
    Result one = RunIn(s, {"-q", "--threads", "2", "seq/000.png", "out/single.png"});
    EXPECT_EQ(one.status, 0) << one.err;
    EXPECT_EQ(ReadFile(s.Path("work/out/single.png")), ReadFile(s.Path("work/seq/000.png")));
}

class SafetyFilmTest : public ::testing::Test {
protected:
    // A clip long and busy enough that its outputs are large and take seconds to write.
    static void SetUpTestSuite() {
        film_ = new Scratch;
        Shell("mkdir -p '" + film_->Path("work") + "'");
        Shell(Ffmpeg("-f lavfi -i testsrc2=size=640x360:rate=25 -frames:v 300 -c:v mpeg4 -q:v 3 '" +
                     film_->Path("work/film.mp4") + "'"));
    }
    static void TearDownTestSuite() { delete film_; }
    void SetUp() override {
        ASSERT_TRUE(Exists(film_->Path("work/film.mp4")));
        Shell("mkdir -p '" + s.Path("work/out") + "' && ln -s '" + film_->Path("work/film.mp4") + "' '" +
              s.Path("work/film.mp4") + "'");
    }
    static Scratch *film_;
    Scratch s;
};
Scratch *SafetyFilmTest::film_ = nullptr;

// Guards: a failed write on any thread ignored (a cut-short file published), crashing, or leaving
// the temporary file or folder behind, for each kind of output.
TEST_F(SafetyFilmTest, WriteFailuresEndTheRunCleanly) {
    for (const char *output : {"out/clean.mkv", "out/clean.mp4", "out/%03d.png"}) {
        for (const char *threads : {"1", "2"}) {
            Result r = RunIn(s, {"-q", "--threads", threads, "film.mp4", output}, 64 << 10);
            EXPECT_EQ(r.status, 1) << output << " --threads " << threads;
            EXPECT_TRUE(OneErrorLine(r.err)) << r.err;
            EXPECT_NE(r.err.find("File too large"), std::string::npos) << r.err;
            EXPECT_EQ(Listing(s.Path("work/out")), "") << output << " --threads " << threads;
        }
    }
}

// Guards: a signal killing the run with its temporary file or folder left behind, a wrong status
// or message, or a run busy encoding that does not stop promptly.
TEST_F(SafetyFilmTest, SignalsStopTheRunAndRemoveWhatWasWritten) {
    struct Case {
        int signal;
        const char *name;
        const char *output;
        const char *threads;
    };
    for (const Case &c : {Case{SIGINT, "SIGINT", "out/clean.mkv", "2"}, Case{SIGTERM, "SIGTERM", "out/%03d.png", "1"},
                          Case{SIGHUP, "SIGHUP", "out/clean.mp4", "2"}, Case{SIGINT, "SIGINT", "out/%03d.png", "2"}}) {
        const pid_t pid = Start(s.Path("work"), {"-q", "--threads", c.threads, "film.mp4", c.output});
        // Signalled once the temporary file or folder holds something: mid-run, not at the start.
        const Clock::time_point start = Clock::now();
        while (Clock::now() - start < std::chrono::seconds(20)) {
            if (Shell("test -n \"$(find '" + s.Path("work/out") + "' -type f -size +1k -print -quit)\"") == 0) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        const Clock::time_point sent = Clock::now();
        kill(pid, c.signal);
        Result r = Finish(s.Path("work"), pid);
        const double seconds = std::chrono::duration<double>(Clock::now() - sent).count();
        EXPECT_EQ(r.status, 128 + c.signal) << c.output << ": " << r.err;
        EXPECT_EQ(WithoutNotes(r.err), std::string("subremove: error: interrupted by ") + c.name + ": nothing was written\n");
        EXPECT_LT(seconds, 2.0) << c.output;
        EXPECT_EQ(Listing(s.Path("work/out")), "") << c.output;
    }
}

}  // namespace

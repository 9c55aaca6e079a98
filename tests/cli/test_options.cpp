// subremove's command-line parser called directly: parses that follow one another in a process
// (as the fuzz target makes them) must not see anything of the one before.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cli/errors.h"
#include "cli/options.h"

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

}  // namespace

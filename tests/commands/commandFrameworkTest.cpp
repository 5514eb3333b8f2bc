// The command handler templates over a target class of the test's own, byte for byte.
#include <gtest/gtest.h>

#include <string>

#include "mdfServer.h"

namespace {

const std::string kDots = std::string(56, '.') + "\n";

// A command target that records what reached it.
class Recorder {
public:
    bool succeed(int argc, char** argv, std::string& out_r) {
        ++calls;
        lastArgc = argc;
        out_r += std::string("ran ") + argv[0] + "\n";
        return true;
    }
    bool fail(int /*argc*/, char** /*argv*/, std::string& out_r) {
        ++calls;
        out_r += "failed\n";
        return false;
    }
    int calls = 0;
    int lastArgc = 0;
};

typedef bool (Recorder::*RecorderCommand)(int, char**, std::string&);
typedef mdf::ACommandHandler<Recorder, RecorderCommand> RecorderHandler;

class CommandFrameworkTest : public testing::Test {
protected:
    // Runs `verb` (argv = {verb, "arg"}) through `handler_r`.
    bool run(mdf::PACommandHandler& handler_r, const std::string& verb, std::string& out_r) {
        std::string word = verb;
        std::string arg = "arg";
        char* argv[] = {&word[0], &arg[0], nullptr};
        return handler_r.handleCommand(verb, 2, argv, out_r);
    }
    static std::string state(const mdf::PACommandHandler& handler_r, bool detail = false) {
        std::string out;
        handler_r.showState(out, detail);
        return out;
    }
    static std::string help(const mdf::PACommandHandler& handler_r, bool showSuccessor) {
        std::string out;
        handler_r.showHelp(out, showSuccessor);
        return out;
    }

    Recorder target_m;
};

TEST_F(CommandFrameworkTest, WordIsFoundInAnyCaseAndStoredInLowerCase) {
    RecorderHandler handler("h");
    ASSERT_TRUE(handler.addCommand("Tst-Run", "runs", &Recorder::succeed, target_m));
    EXPECT_TRUE(handler.canHandleCommand("TST-RUN"));
    EXPECT_TRUE(handler.canHandleCommand("tst-run"));
    std::string out;
    EXPECT_TRUE(run(handler, "tSt-rUn", out));
    EXPECT_EQ("ran tSt-rUn\n", out);
    EXPECT_EQ(2, target_m.lastArgc);
    EXPECT_EQ("h Commands:\n  tst-run : runs\n" + kDots, help(handler, false));
}

TEST_F(CommandFrameworkTest, DuplicateAddInAnyCaseKeepsTheFirst) {
    RecorderHandler handler("h");
    ASSERT_TRUE(handler.addCommand("tst-a", "first", &Recorder::succeed, target_m));
    EXPECT_FALSE(handler.addCommand("TST-A", "second", &Recorder::fail, target_m));
    EXPECT_FALSE(handler.addCommand("tst-a", "third", &Recorder::fail, target_m));
    EXPECT_EQ(" Hdlr Name: h; Cmds Registered: 1; Msg Rx: 0 \n", state(handler));
    std::string out;
    EXPECT_TRUE(run(handler, "tst-a", out));
    EXPECT_EQ("h Commands:\n  tst-a : first\n" + kDots, help(handler, false));
}

TEST_F(CommandFrameworkTest, AddIsRefusedWhenTheServerKnowsTheWord) {
    mdf::Server& server = cmn::SingletonHolder<mdf::Server>::getInstance();
    RecorderHandler registered("registered");
    ASSERT_TRUE(server.registerNewHandler(&registered));
    ASSERT_TRUE(registered.addCommand("tst-x", "x", &Recorder::succeed, target_m));

    RecorderHandler other("other");
    EXPECT_FALSE(other.addCommand("TST-X", "x", &Recorder::succeed, target_m));
    EXPECT_FALSE(other.addCommand("HELP", "mine", &Recorder::succeed, target_m));
    EXPECT_FALSE(other.canHandleCommand("tst-x"));
    EXPECT_TRUE(server.deregisterHandler(&registered));
    EXPECT_TRUE(other.addCommand("tst-x", "x", &Recorder::succeed, target_m));
}

TEST_F(CommandFrameworkTest, RemoveInAnyCaseThenAddAgain) {
    RecorderHandler handler("h");
    ASSERT_TRUE(handler.addCommand("tst-a", "a", &Recorder::succeed, target_m));
    EXPECT_FALSE(handler.removeCommand("tst-unknown"));
    EXPECT_TRUE(handler.removeCommand("TST-A"));
    EXPECT_FALSE(handler.canHandleCommand("tst-a"));
    EXPECT_FALSE(handler.removeCommand("tst-a"));
    EXPECT_TRUE(handler.addCommand("tst-a", "again", &Recorder::fail, target_m));
    std::string out;
    EXPECT_FALSE(run(handler, "tst-a", out));
    EXPECT_EQ("failed\n", out);
}

TEST_F(CommandFrameworkTest, ChainCountsOnlyTheAcceptingHandler) {
    RecorderHandler first("first");
    RecorderHandler second("second");
    first.setSuccessor(&second);
    ASSERT_TRUE(first.addCommand("tst-a", "a", &Recorder::succeed, target_m));
    ASSERT_TRUE(second.addCommand("tst-b", "b", &Recorder::fail, target_m));

    std::string out;
    EXPECT_FALSE(run(first, "TST-B", out));  // accepted by second; the command fails
    EXPECT_EQ("failed\n", out);
    EXPECT_TRUE(run(first, "tst-a", out));
    out = "untouched";
    EXPECT_FALSE(run(first, "tst-none", out));
    EXPECT_EQ("untouched", out);
    EXPECT_EQ(2, target_m.calls);

    const std::string lines =
        " Hdlr Name: first; Cmds Registered: 1; Msg Rx: 1 \n"
        " Hdlr Name: second; Cmds Registered: 1; Msg Rx: 1 \n";
    EXPECT_EQ(lines, state(first, false));
    EXPECT_EQ(lines, state(first, true));
    EXPECT_EQ(" Hdlr Name: second; Cmds Registered: 1; Msg Rx: 1 \n", state(second));
}

TEST_F(CommandFrameworkTest, HelpFollowsTheSuccessorOnlyWhenAsked) {
    RecorderHandler first("first");
    RecorderHandler empty("empty");
    first.setSuccessor(&empty);
    ASSERT_TRUE(first.addCommand("tst-a", "does a", &Recorder::succeed, target_m));
    const std::string firstBlock = "first Commands:\n  tst-a : does a\n" + kDots;
    EXPECT_EQ(firstBlock, help(first, false));
    EXPECT_EQ(firstBlock + "empty Commands:\n" + kDots, help(first, true));
    EXPECT_EQ(" Hdlr Name: empty; Cmds Registered: 0; Msg Rx: 0 \n", state(empty));
}

TEST_F(CommandFrameworkTest, HelpListsWordsInLowerCaseByteOrder) {
    RecorderHandler handler("h");
    const char* words[] = {"Zeta", "alpha", "tst_B", "tst-b", "BETA", "_under"};
    for (const char* word : words) {
        ASSERT_TRUE(handler.addCommand(word, "x", &Recorder::succeed, target_m)) << word;
    }
    EXPECT_EQ(
        "h Commands:\n  _under : x\n  alpha : x\n  beta : x\n  tst-b : x\n  tst_b : x\n"
        "  zeta : x\n" +
            kDots,
        help(handler, false));
}

// A state line is formatted into 100 bytes: with one-digit counts, a name of 54 characters
// fills 99 bytes exactly; from 55 on the line is cut and loses its newline.
class StateLineLengthTest : public CommandFrameworkTest,
                            public testing::WithParamInterface<size_t> {};

TEST_P(StateLineLengthTest, LongNameCutsTheLineTo99Bytes) {
    const std::string name(GetParam(), 'n');
    RecorderHandler first(name);
    RecorderHandler next("next");
    first.setSuccessor(&next);
    std::string full = " Hdlr Name: " + name + "; Cmds Registered: 0; Msg Rx: 0 \n";
    const std::string nextLine = " Hdlr Name: next; Cmds Registered: 0; Msg Rx: 0 \n";
    EXPECT_EQ(full.substr(0, 99) + nextLine, state(first));
}

INSTANTIATE_TEST_SUITE_P(NameLengths, StateLineLengthTest, testing::Values(54, 55, 56, 200));

}  // namespace

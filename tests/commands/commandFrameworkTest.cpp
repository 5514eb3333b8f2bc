// The command handler templates over a target class of the test's own, byte for byte.
#include <gtest/gtest.h>

#include <string>

#include "mdfServer.h"

namespace {

const std::string kDots = std::string(56, '.') + "\n";

// A command target that writes what reached it.
class Recorder {
public:
    bool succeed(int argc, char** argv, std::string& out_r) {
        out_r += "ran " + std::string(argv[0]) + " " + std::to_string(argc) + "\n";
        return true;
    }
    bool fail(int /*argc*/, char** /*argv*/, std::string& out_r) {
        out_r += "failed\n";
        return false;
    }
};

typedef mdf::ACommandHandler<Recorder, bool (Recorder::*)(int, char**, std::string&)> Handler;

// Runs `verb` (argv = {verb, "arg"}) through `handler_r`; the response text, then the result.
std::string run(mdf::PACommandHandler& handler_r, std::string verb) {
    std::string arg = "arg";
    char* argv[] = {&verb[0], &arg[0], nullptr};
    std::string out;
    bool result = handler_r.handleCommand(verb, 2, argv, out);
    return out + (result ? "true" : "false");
}

// The handler's help, then its state, both with `follow` as the flag.
std::string shown(const mdf::PACommandHandler& handler_r, bool follow) {
    std::string out;
    handler_r.showHelp(out, follow);
    handler_r.showState(out, follow);
    return out;
}

Recorder target;

TEST(CommandFrameworkTest, WordsAreFoundInAnyCaseListedInLowerCaseAndAddedOnce) {
    Handler handler("h");
    for (const char* word : {"Zeta", "tst_B", "Tst-Run", "BETA", "_under"}) {
        ASSERT_TRUE(handler.addCommand(word, "x", &Recorder::succeed, target)) << word;
    }
    EXPECT_FALSE(handler.addCommand("ZETA", "second", &Recorder::fail, target));
    EXPECT_TRUE(handler.canHandleCommand("TST-RUN"));
    EXPECT_EQ("ran tSt-rUn 2\ntrue", run(handler, "tSt-rUn"));
    EXPECT_EQ("h Commands:\n  _under : x\n  beta : x\n  tst-run : x\n  tst_b : x\n  zeta : x\n" +
                  kDots + " Hdlr Name: h; Cmds Registered: 5; Msg Rx: 1 \n",
              shown(handler, false));
    EXPECT_FALSE(handler.removeCommand("tst-unknown"));
    EXPECT_TRUE(handler.removeCommand("TST-RUN"));
    EXPECT_FALSE(handler.canHandleCommand("tst-run"));
    EXPECT_TRUE(handler.addCommand("tst-run", "again", &Recorder::fail, target));
    EXPECT_EQ("failed\nfalse", run(handler, "tst-run"));
}

// State lines always follow the chain; help follows it only when asked.
TEST(CommandFrameworkTest, ChainCountsOnlyTheAcceptingHandler) {
    Handler first("first");
    Handler next("next");
    first.setSuccessor(&next);
    ASSERT_TRUE(first.addCommand("tst-a", "does a", &Recorder::succeed, target));
    ASSERT_TRUE(next.addCommand("tst-b", "b", &Recorder::fail, target));
    EXPECT_EQ("failed\nfalse", run(first, "TST-B"));  // accepted by the successor, which fails
    EXPECT_EQ("ran tst-a 2\ntrue", run(first, "tst-a"));
    EXPECT_EQ("false", run(first, "tst-none"));
    ASSERT_TRUE(next.removeCommand("tst-b"));
    const std::string firstHelp = "first Commands:\n  tst-a : does a\n" + kDots;
    const std::string states =
        " Hdlr Name: first; Cmds Registered: 1; Msg Rx: 1 \n"
        " Hdlr Name: next; Cmds Registered: 0; Msg Rx: 1 \n";
    EXPECT_EQ(firstHelp + states, shown(first, false));
    EXPECT_EQ(firstHelp + "next Commands:\n" + kDots + states, shown(first, true));
}

// A state line is formatted into 100 bytes: with one-digit counts, a name of 54 characters
// fills 99 bytes exactly; from 55 on the line is cut and loses its newline.
TEST(CommandFrameworkTest, LongNameCutsTheStateLineTo99Bytes) {
    for (size_t length : {54, 55, 200}) {
        const std::string name(length, 'n');
        Handler first(name);
        Handler next("next");
        first.setSuccessor(&next);
        EXPECT_EQ(name + " Commands:\n" + kDots +
                      (" Hdlr Name: " + name + "; Cmds Registered: 0; Msg Rx: 0 \n").substr(0, 99) +
                      " Hdlr Name: next; Cmds Registered: 0; Msg Rx: 0 \n",
                  shown(first, false))
            << length;
    }
}

}  // namespace

// mdf::Server in process: registration, the chain, line splitting and the help listing.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "mdfServer.h"

namespace {

const std::string kDots = std::string(56, '.') + "\n";

class Target {
public:
    // Writes its arguments joined by '|' and keeps them.
    bool echo(int argc, char** argv, std::string& out_r) {
        words.assign(argv, argv + argc);
        for (int i = 1; i < argc; ++i) {
            out_r += (i > 1 ? "|" : "") + std::string(argv[i]);
        }
        argv[0][0] = 'X';  // the words are the command's to write
        return true;
    }
    bool fail(int /*argc*/, char** /*argv*/, std::string& out_r) {
        out_r += "no\n";
        return false;
    }
    std::vector<std::string> words;
};

typedef mdf::ACommandHandler<Target, bool (Target::*)(int, char**, std::string&)> TargetHandler;

// Keeps a handler registered for the rest of a scope; declare it after the handler, so the
// handler is withdrawn before it is destroyed.
class ScopedRegistration {
public:
    explicit ScopedRegistration(mdf::PACommandHandler& handler_r)
        : handler_rm(handler_r),
          registered_m(
              cmn::SingletonHolder<mdf::Server>::getInstance().registerNewHandler(&handler_r)) {}
    ~ScopedRegistration() { withdraw(); }
    bool registered() const { return registered_m; }
    bool withdraw() {
        bool withdrawn =
            registered_m &&
            cmn::SingletonHolder<mdf::Server>::getInstance().deregisterHandler(&handler_rm);
        registered_m = false;
        return withdrawn;
    }

private:
    mdf::PACommandHandler& handler_rm;
    bool registered_m;
};

class MdfServerTest : public testing::Test {
protected:
    MdfServerTest() : server_m(cmn::SingletonHolder<mdf::Server>::getInstance()) {}
    // Binds `word` to Target::echo on a registered handler.
    void bind(const ScopedRegistration& registration_r, TargetHandler& handler_r,
              const std::string& word) {
        ASSERT_TRUE(registration_r.registered());
        ASSERT_TRUE(handler_r.addCommand(word, word + " help", &Target::echo, target_m));
    }
    bool execute(const std::string& line, std::string& out_r) {
        return server_m.executeCommand(line, out_r);
    }
    static std::string ownHelp() {
        return "mdf::Server Commands:\n  help : lists the commands of every handler\n"
               "  mdf-show-state : shows each handler's state and the operator socket\n" +
               kDots;
    }

    mdf::Server& server_m;
    Target target_m;
};

TEST_F(MdfServerTest, RegistrationRefusesNullDuplicatesAndStrangers) {
    TargetHandler handler("h");
    TargetHandler stranger("stranger");
    EXPECT_FALSE(server_m.registerNewHandler(nullptr));
    EXPECT_FALSE(server_m.deregisterHandler(nullptr));
    EXPECT_FALSE(server_m.deregisterHandler(&stranger));
    ASSERT_TRUE(server_m.registerNewHandler(&handler));
    EXPECT_FALSE(server_m.registerNewHandler(&handler));
    EXPECT_TRUE(server_m.deregisterHandler(&handler));
    EXPECT_FALSE(server_m.deregisterHandler(&handler));
}

TEST_F(MdfServerTest, WithdrawingTheMiddleHandlerRelinksTheChain) {
    TargetHandler first("first");
    TargetHandler middle("middle");
    TargetHandler last("last");
    ScopedRegistration firstIn(first);
    ScopedRegistration middleIn(middle);
    ScopedRegistration lastIn(last);
    bind(firstIn, first, "tst-first");
    bind(middleIn, middle, "tst-middle");
    bind(lastIn, last, "tst-last");
    ASSERT_TRUE(middleIn.withdraw());
    EXPECT_EQ(nullptr, middle.getSuccessor());
    EXPECT_EQ(&last, first.getSuccessor());

    std::string out;
    EXPECT_TRUE(execute("TST-LAST a", out));
    EXPECT_EQ("a", out);
    EXPECT_FALSE(server_m.commandExists("tst-middle"));
    EXPECT_TRUE(server_m.commandExists("Tst-First"));
    out.clear();
    EXPECT_TRUE(execute("help", out));
    EXPECT_EQ(ownHelp() + "first Commands:\n  tst-first : tst-first help\n" + kDots +
                  "last Commands:\n  tst-last : tst-last help\n" + kDots,
              out);
}

struct SplitCase {
    const char* line;
    std::vector<std::string> words;
};

class LineSplitTest : public MdfServerTest, public testing::WithParamInterface<SplitCase> {};

TEST_P(LineSplitTest, WordsAreSplitAtBlanksAndTabs) {
    TargetHandler handler("h");
    ScopedRegistration handlerIn(handler);
    bind(handlerIn, handler, "tst-echo");
    std::string out = "kept ";
    EXPECT_TRUE(execute(GetParam().line, out));
    EXPECT_EQ(GetParam().words, target_m.words);
    std::string joined;
    for (size_t i = 1; i < GetParam().words.size(); ++i) {
        joined += (i > 1 ? "|" : "") + GetParam().words[i];
    }
    EXPECT_EQ("kept " + joined, out);  // exactly the command's text, nothing around it
}

INSTANTIATE_TEST_SUITE_P(Lines, LineSplitTest,
                         testing::Values(SplitCase{"tst-echo", {"tst-echo"}},
                                         SplitCase{"tst-echo a b", {"tst-echo", "a", "b"}},
                                         SplitCase{"tst-echo\ta\tb", {"tst-echo", "a", "b"}},
                                         SplitCase{"  tst-echo   a \t\t b  ",
                                                   {"tst-echo", "a", "b"}},
                                         SplitCase{"TST-Echo x\ny", {"TST-Echo", "x\ny"}}));

TEST_F(MdfServerTest, EmptyLineAndUnknownWordFailWithAnExplanation) {
    TargetHandler handler("h");
    ScopedRegistration handlerIn(handler);
    bind(handlerIn, handler, "tst-echo");
    const char* emptyLines[] = {"", " \t "};
    for (const char* line : emptyLines) {
        std::string out;
        EXPECT_FALSE(execute(line, out)) << '"' << line << '"';
        EXPECT_FALSE(out.empty());
    }
    std::string out;
    EXPECT_FALSE(execute("tst-nothing 1", out));
    EXPECT_NE(std::string::npos, out.find("tst-nothing")) << out;
    EXPECT_TRUE(target_m.words.empty());
}

TEST_F(MdfServerTest, CommandResultAndTextPassThroughUnchanged) {
    TargetHandler handler("h");
    ScopedRegistration handlerIn(handler);
    bind(handlerIn, handler, "tst-echo");
    ASSERT_TRUE(handler.addCommand("tst-fail", "fails", &Target::fail, target_m));
    std::string out;
    EXPECT_FALSE(execute("tst-fail", out));
    EXPECT_EQ("no\n", out);
    out.clear();
    EXPECT_TRUE(execute("mdf-show-state", out));
    EXPECT_EQ(
        " Hdlr Name: mdf::Server; Cmds Registered: 2; Msg Rx: 1 \n"
        " Hdlr Name: h; Cmds Registered: 2; Msg Rx: 1 \n"
        "Listening on: -\n",
        out);
}

// A command may add commands while it runs (through commandExists): the server's lock must
// let the same thread back in.
class Reentrant {
public:
    explicit Reentrant(TargetHandler& handler_r, Target& target_r)
        : handler_rm(handler_r), target_rm(target_r) {}
    bool addMore(int /*argc*/, char** /*argv*/, std::string& out_r) {
        out_r += handler_rm.addCommand("tst-added", "added", &Target::echo, target_rm) ? "y" : "n";
        return true;
    }
    TargetHandler& handler_rm;
    Target& target_rm;
};

TEST_F(MdfServerTest, CommandMayAddCommandsWhileItRuns) {
    TargetHandler handler("h");
    ScopedRegistration handlerIn(handler);
    bind(handlerIn, handler, "tst-echo");
    Reentrant reentrant(handler, target_m);
    mdf::ACommandHandler<Reentrant, bool (Reentrant::*)(int, char**, std::string&)> adder("adder");
    ScopedRegistration adderIn(adder);
    ASSERT_TRUE(adderIn.registered());
    ASSERT_TRUE(adder.addCommand("tst-add", "adds", &Reentrant::addMore, reentrant));
    std::string out;
    EXPECT_TRUE(execute("tst-add", out));
    EXPECT_EQ("y", out);
    out.clear();
    EXPECT_TRUE(execute("tst-added q", out));
    EXPECT_EQ("q", out);
}

// Another thread registers and withdraws a handler while this one runs commands along the
// chain; the chain must stay whole for the walk (run it under ThreadSanitizer too).
TEST_F(MdfServerTest, RegistrationOnAnotherThreadKeepsTheChainWhole) {
    TargetHandler handler("h");
    ScopedRegistration handlerIn(handler);
    bind(handlerIn, handler, "tst-echo");
    Target otherTarget;
    TargetHandler other("other");
    ASSERT_TRUE(other.addCommand("tst-other", "other", &Target::echo, otherTarget));
    std::thread churn([this, &other] {
        for (int i = 0; i < 500; ++i) {
            server_m.registerNewHandler(&other);
            server_m.deregisterHandler(&other);
        }
    });
    for (int i = 0; i < 500; ++i) {
        std::string out;
        EXPECT_TRUE(execute("tst-echo z", out));
        EXPECT_EQ("z", out);
        out.clear();
        if (execute("tst-other y", out)) {
            EXPECT_EQ("y", out);
        }
    }
    churn.join();
    EXPECT_FALSE(server_m.commandExists("tst-other"));
}

}  // namespace

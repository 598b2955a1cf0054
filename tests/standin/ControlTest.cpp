// Test controls: injected faults, the client's cancel, and the record of requests.
#include <gtest/gtest.h>

#include <chrono>

#include "OdbcProbe.h"
#include "StandInEnv.h"

namespace {

using namespace std::chrono;
using standin::Fault;
using veltest::StandInEnv;

// How FreeTDS reports a server that closed the connection: 01000, "Unexpected EOF from the server".
constexpr long kEof = 20017;

class Controls : public ::testing::Test {
protected:
    StandInEnv Env;
    std::unique_ptr<probe::Connection> Open() {
        auto c = std::make_unique<probe::Connection>();
        probe::Outcome o = c->Connect(Env.ConnectionString(StandInEnv::kCommon));
        EXPECT_TRUE(o.Ok) << o.Text();
        return c;
    }
    static Fault Make(Fault::Action xWhat, const std::string& xMatch) {
        Fault f;
        f.What = xWhat;
        f.Match = xMatch;
        return f;
    }
    std::string Count() { return *Env.Rows(StandInEnv::kCommon, "SELECT COUNT(*) FROM vcControl")[0][0]; }
};

TEST_F(Controls, ErrorFaultAnswersInsteadOfRunningAndCountsItsRequests) {
    auto c = Open();
    Fault error = Make(Fault::Action::Error, "INTO vcControl");
    error.ErrorNumber = 4321;
    error.ErrorMessage = "Injected trouble.";
    error.Times = 1;
    Env.Server().AddFault(error);
    Fault second = Make(Fault::Action::Error, "select 'n");  // matched without case
    second.Nth = 2;
    Env.Server().AddFault(second);

    const std::string insert = "INSERT INTO vcControl (Suite, Code) VALUES ('A', 'B')";
    probe::Outcome first = c->Exec(insert);
    EXPECT_FALSE(first.Ok);
    EXPECT_TRUE(first.Has(4321) && first.Errors[0].Message == "Injected trouble.") << first.Text();
    EXPECT_EQ(Count(), "0");
    EXPECT_TRUE(c->Exec(insert).Ok) << "Times = 1 fires once";
    EXPECT_EQ(Count(), "1");

    std::vector<bool> ok;
    for (int i = 0; i < 3; ++i) ok.push_back(c->Exec("SELECT 'nth'").Ok);
    EXPECT_EQ(ok, (std::vector<bool>{true, false, true}));
}

TEST_F(Controls, DelayHoldsTheAnswerAndAttentionCancelsIt) {
    auto c = Open();
    Fault delay = Make(Fault::Action::Delay, "SELECT 'slow'");
    delay.DelayMs = 400;
    Env.Server().AddFault(delay);
    auto start = steady_clock::now();
    probe::Outcome slow = c->Exec("SELECT 'slow'");
    EXPECT_TRUE(slow.Ok) << slow.Text();
    EXPECT_GE(steady_clock::now() - start, milliseconds(400));
    EXPECT_EQ(slow.Data, (probe::Rows{{"slow"}}));

    // A query timeout makes the driver send an attention; the server acknowledges it and the
    // connection stays usable.
    Fault stuck = Make(Fault::Action::Delay, "SELECT 'stuck'");
    stuck.DelayMs = 20000;
    Env.Server().AddFault(stuck);
    c->QueryTimeout(1);
    start = steady_clock::now();
    probe::Outcome cancelled = c->Exec("SELECT 'stuck'");
    EXPECT_FALSE(cancelled.Ok);
    EXPECT_EQ(cancelled.Errors.empty() ? "" : cancelled.Errors[0].State, "HYT00") << cancelled.Text();
    EXPECT_LT(steady_clock::now() - start, seconds(10));
    probe::Outcome after = c->Exec("SELECT 'after'");
    EXPECT_EQ(after.Data, (probe::Rows{{"after"}})) << after.Text();
}

TEST_F(Controls, ClosingFaultsCutTheConnection) {
    // Before: the request never runs.
    auto before = Open();
    Env.Server().AddFault(Make(Fault::Action::CloseBefore, "INSERT INTO vcControl"));
    probe::Outcome o = before->Exec("INSERT INTO vcControl (Suite, Code) VALUES ('A', 'B')");
    EXPECT_FALSE(o.Ok);
    EXPECT_TRUE(o.Has(kEof)) << o.Text();
    EXPECT_EQ(Count(), "0");
    EXPECT_FALSE(before->Exec("SELECT 1").Ok) << "the connection is gone";
    Env.Server().ClearFaults();

    // In the middle of a result: halfway through a large archive.
    const std::string archive(4 << 20, 'z');
    Env.Seed(StandInEnv::kCommon, "INSERT INTO vcSysProgRelease (ProgName) VALUES ('big')");
    auto writer = Open();
    ASSERT_TRUE(writer->ExecWithBlob("UPDATE vcSysProgRelease SET RARFile = ? WHERE ProgName = 'big'", archive).Ok);
    Env.Server().AddFault(Make(Fault::Action::CloseMidResult, "SELECT [RARFile]"));
    probe::Outcome cut = writer->Exec("SELECT [RARFile] FROM vcSysProgRelease WHERE ProgName = 'big'");
    EXPECT_FALSE(cut.Ok);
    EXPECT_TRUE(cut.Data.empty());
    EXPECT_TRUE(cut.Has(kEof)) << cut.Text();

    // The server itself carries on.
    probe::Outcome fresh = Open()->Exec("SELECT DATALENGTH(RARFile) FROM vcSysProgRelease");
    EXPECT_EQ(fresh.Data, (probe::Rows{{std::to_string(archive.size())}})) << fresh.Text();
}

TEST_F(Controls, RequestsAreRecordedInOrderWithConnectionAndDatabase) {
    auto first = Open();
    auto second = std::make_unique<probe::Connection>();
    ASSERT_TRUE(second->Connect(Env.ConnectionString(StandInEnv::kCloud)).Ok);
    ASSERT_TRUE(first->Exec("SELECT 1\r\nFROM vcControl").Ok);
    ASSERT_TRUE(second->AutoCommit(false).Ok);
    ASSERT_TRUE(second->ExecWithBlob("UPDATE vcSysProgRelease SET  [RARFile] = ? WHERE [Version] = '1.2'", "PK").Ok);
    ASSERT_TRUE(second->EndTran(true).Ok);
    std::vector<standin::Request> want = {
        {1, "VelCommon", "batch", "SELECT 1\r\nFROM vcControl"},
        {2, "VelmoraControl", "tm", "BEGIN"},
        {2, "VelmoraControl", "rpc", "UPDATE vcSysProgRelease SET  [RARFile] = @P1 WHERE [Version] = '1.2'"},
        {2, "VelmoraControl", "tm", "COMMIT"},
    };
    std::vector<standin::Request> got = Env.Server().Requests();
    ASSERT_EQ(got.size(), want.size());
    for (size_t i = 0; i < want.size(); ++i) {
        EXPECT_EQ(got[i].Connection, want[i].Connection) << i;
        EXPECT_EQ(got[i].Database, want[i].Database) << i;
        EXPECT_EQ(got[i].Kind, want[i].Kind) << i;
        EXPECT_EQ(got[i].Text, want[i].Text) << i;
    }
    Env.Server().ClearRequests();
    EXPECT_TRUE(Env.Server().Requests().empty());
}

}  // namespace

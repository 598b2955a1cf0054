// The tds-standin program as scripts use it, with FreeTDS's tsql as the client.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

namespace fs = std::filesystem;

std::string ReadFile(const fs::path& xPath) {
    std::ifstream in(xPath, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void WriteFile(const fs::path& xPath, const std::string& xText) { std::ofstream(xPath, std::ios::binary) << xText; }

// One run of the program; its standard output is read up to the first line.
class Standin {
public:
    explicit Standin(std::vector<std::string> xArgs, const fs::path& xErr) {
        int out[2];
        if (pipe(out) != 0) throw std::runtime_error("pipe");
        FPid = fork();
        if (FPid == 0) {
            dup2(out[1], 1);
            FILE* err = std::fopen(xErr.c_str(), "w");
            dup2(fileno(err), 2);
            close(out[0]);
            std::vector<char*> argv{const_cast<char*>(STANDIN_EXE)};
            for (auto& a : xArgs) argv.push_back(a.data());
            argv.push_back(nullptr);
            execv(STANDIN_EXE, argv.data());
            _exit(127);
        }
        close(out[1]);
        FOut = fdopen(out[0], "r");
        char line[256] = {};
        if (std::fgets(line, sizeof line, FOut)) FFirstLine = line;
    }
    ~Standin() {
        if (FPid > 0 && !FReaped) {
            kill(FPid, SIGKILL);
            waitpid(FPid, nullptr, 0);
        }
        if (FOut) std::fclose(FOut);
    }
    const std::string& FirstLine() const { return FFirstLine; }
    int Port() const {
        auto colon = FFirstLine.rfind(':');
        return colon == std::string::npos ? 0 : std::atoi(FFirstLine.c_str() + colon + 1);
    }
    // Exit status after xSignal (0 sends none and only waits).
    int Stop(int xSignal) {
        if (xSignal) kill(FPid, xSignal);
        int status = 0;
        waitpid(FPid, &status, 0);
        FReaped = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

private:
    pid_t FPid = -1;
    FILE* FOut = nullptr;
    std::string FFirstLine;
    bool FReaped = false;
};

class Tool : public ::testing::Test {
protected:
    fs::path Dir;
    void SetUp() override {
        Dir = fs::temp_directory_path() / ("standin-tool-" + std::to_string(getpid()));
        fs::remove_all(Dir);
        fs::create_directories(Dir);
    }
    void TearDown() override { fs::remove_all(Dir); }
    std::string Tsql(int xPort, const std::string& xScript) {
        WriteFile(Dir / "script.sql", xScript);
        std::string cmd = "TDSVER=7.4 timeout 20 tsql -H 127.0.0.1 -p " + std::to_string(xPort) +
                          " -U velupd -P 'Secret;1' -D VelCommon < '" + (Dir / "script.sql").string() + "' > '" +
                          (Dir / "tsql.out").string() + "' 2>&1";
        std::system(cmd.c_str());
        return ReadFile(Dir / "tsql.out");
    }
};

TEST_F(Tool, ServesSeededDatabasesLogsRequestsAndStopsCleanly) {
    fs::path log = Dir / "requests.log";
    fs::path data = Dir / "data";
    std::vector<std::string> args = {"--port", "0", "--data", data.string(), "--user", "velupd:Secret;1",
                                     "--seed", "VelCommon=" VEL_SQL_DIR "/schema.sql", "--statement-log", log.string()};
    {
        Standin server(args, Dir / "err.txt");
        ASSERT_EQ(server.FirstLine().rfind("listening on 127.0.0.1:", 0), 0u) << server.FirstLine();
        ASSERT_GT(server.Port(), 0);
        std::string out = Tsql(server.Port(),
                               "INSERT INTO vcControl (Suite, Code, Details) VALUES ('VELMORA', 'CLOUDSVR', 'It''s')\n"
                               "go\nSELECT Code, Details FROM vcControl WITH (NOLOCK)\ngo\n");
        EXPECT_NE(out.find("CLOUDSVR\tIt's"), std::string::npos) << out;
        EXPECT_EQ(server.Stop(SIGTERM), 0);
    }
    std::string lines = ReadFile(log);
    EXPECT_NE(lines.find("1 VelCommon batch INSERT INTO vcControl (Suite, Code, Details) VALUES ('VELMORA', "
                         "'CLOUDSVR', 'It''s')\\n\n"),
              std::string::npos)
        << lines;

    // The data directory keeps the row for the next run; seeding the guarded schema again is harmless.
    Standin again(args, Dir / "err.txt");
    EXPECT_NE(Tsql(again.Port(), "SELECT Details FROM vcControl\ngo\n").find("It's"), std::string::npos);
    EXPECT_EQ(again.Stop(SIGINT), 0);
}

TEST_F(Tool, ABadSeedScriptStopsTheProgramWithTheError) {
    WriteFile(Dir / "bad.sql", "CREATE TABLE t (a INT)\nGO\nINSERT INTO t (a) VALUES (1)\nSELECT * FROM missing\n");
    Standin server({"--port", "0", "--seed", "VelCommon=" + (Dir / "bad.sql").string()}, Dir / "err.txt");
    EXPECT_EQ(server.FirstLine(), "");
    EXPECT_NE(server.Stop(0), 0);
    std::string err = ReadFile(Dir / "err.txt");
    EXPECT_NE(err.find("Msg 208, Level 16, State 1, Line 4: Invalid object name 'missing'."), std::string::npos) << err;
}

}  // namespace

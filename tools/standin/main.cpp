// tds-standin: runs the stand-in server until SIGINT or SIGTERM.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "StandIn.h"

namespace {

void Usage() {
    std::cerr << "usage: tds-standin [--port N] [--data DIR] [--user NAME:PASSWORD]...\n"
                 "                   [--database NAME]... [--seed DATABASE=SCRIPT.sql]... [--statement-log FILE]\n";
}

}  // namespace

int main(int argc, char** argv) {
    // Blocked before any thread starts, so that only sigwait below receives them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    standin::Options options;
    std::vector<std::string> databases;
    std::vector<std::pair<std::string, std::string>> seeds;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) {
                std::cerr << "tds-standin: " << arg << " needs a value\n";
                std::exit(2);
            }
            return argv[++i];
        };
        if (arg == "--port") {
            std::string v = value();
            char* end = nullptr;
            long port = std::strtol(v.c_str(), &end, 10);
            if (*end || port < 0 || port > 65535) {
                std::cerr << "tds-standin: bad port '" << v << "'\n";
                return 2;
            }
            options.Port = static_cast<uint16_t>(port);
        } else if (arg == "--data") {
            options.DataDir = value();
        } else if (arg == "--user") {
            std::string v = value();
            auto colon = v.find(':');
            if (colon == std::string::npos || colon == 0) {
                std::cerr << "tds-standin: --user wants NAME:PASSWORD\n";
                return 2;
            }
            options.Users.emplace_back(v.substr(0, colon), v.substr(colon + 1));
        } else if (arg == "--database") {
            databases.push_back(value());
        } else if (arg == "--seed") {
            std::string v = value();
            auto eq = v.find('=');
            if (eq == std::string::npos || eq == 0) {
                std::cerr << "tds-standin: --seed wants DATABASE=SCRIPT.sql\n";
                return 2;
            }
            seeds.emplace_back(v.substr(0, eq), v.substr(eq + 1));
        } else if (arg == "--statement-log") {
            options.StatementLog = value();
        } else if (arg == "--help" || arg == "-h") {
            Usage();
            return 0;
        } else {
            std::cerr << "tds-standin: unknown option '" << arg << "'\n";
            Usage();
            return 2;
        }
    }

    try {
        standin::Server server(options);
        for (const auto& name : databases) server.CreateDatabase(name);
        for (const auto& [database, script] : seeds) {
            std::ifstream in(script, std::ios::binary);
            if (!in) {
                std::cerr << "tds-standin: cannot read " << script << "\n";
                return 1;
            }
            std::stringstream text;
            text << in.rdbuf();
            try {
                server.Seed(database, text.str());
            } catch (const std::exception& e) {
                std::cerr << "tds-standin: " << script << " into " << database << ": " << e.what() << "\n";
                return 1;
            }
        }
        server.Start();
        std::cout << "listening on 127.0.0.1:" << server.Port() << std::endl;
        int signal = 0;
        sigwait(&stopSignals, &signal);
        server.Stop();
    } catch (const std::exception& e) {
        std::cerr << "tds-standin: " << e.what() << "\n";
        return 1;
    }
    return 0;
}

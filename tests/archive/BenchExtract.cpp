// Extracts one archive into a folder and prints the wall time, for the extraction benchmark.
#include "Error.h"
#include "ZipReader.h"

#include <QString>

#include <chrono>
#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: bench_extract ARCHIVE FOLDER\n");
        return 2;
    }
    try {
        const auto wStart = std::chrono::steady_clock::now();
        TZipReader wReader(QString::fromLocal8Bit(argv[1]));
        wReader.ExtractAll(QString::fromLocal8Bit(argv[2]));
        const std::chrono::duration<double> wTook = std::chrono::steady_clock::now() - wStart;
        std::printf("%.3f\n", wTook.count());
        return 0;
    } catch (const EVelError& x) {
        std::fprintf(stderr, "%s\n", x.what());
        return 1;
    }
}

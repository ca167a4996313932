// Downloads one URL with FileDownloader and prints the result code and the seconds it took.
// Usage: download_bench URL TARGET CONNECTIONS
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "net/file_downloader.h"

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s URL TARGET CONNECTIONS\n", argv[0]);
        return 2;
    }
    const int connections = std::atoi(argv[3]);
    velora::FileDownloader downloader(connections, 3600);
    const auto begin = std::chrono::steady_clock::now();
    const int result = downloader.download(argv[1], std::filesystem::path(argv[2]), 0, nullptr);
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - begin;
    std::printf("%d %.3f\n", result, took.count());
    return result == 0 ? 0 : 1;
}

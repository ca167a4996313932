// Our MD5 beside OpenSSL's, and the JSON wrapper on a manifest of typical size.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "base/cjson_object.h"
#include "base/crypto.h"
#include "base/sha256.h"

namespace {

std::string random_bytes(size_t n) {
    std::mt19937 gen(1321);
    std::string bytes(n, '\0');
    for (char& c : bytes) c = char(gen());
    return bytes;
}

void BM_Md5Ours(benchmark::State& state) {
    const std::string bytes = random_bytes(size_t(state.range(0)));
    for (auto _ : state) benchmark::DoNotOptimize(md5_hex(bytes));
    state.SetBytesProcessed(int64_t(state.iterations()) * state.range(0));
}
BENCHMARK(BM_Md5Ours)->Arg(64)->Arg(1 << 20);

void BM_Md5OpenSsl(benchmark::State& state) {
    const std::string bytes = random_bytes(size_t(state.range(0)));
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    for (auto _ : state) {
        EVP_Digest(bytes.data(), bytes.size(), digest, &size, EVP_md5(), nullptr);
        benchmark::DoNotOptimize(digest);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * state.range(0));
}
BENCHMARK(BM_Md5OpenSsl)->Arg(64)->Arg(1 << 20);

// The engine this processor gets (its SHA instructions where it has them), the portable
// one, and OpenSSL's.
void BM_Sha256Ours(benchmark::State& state) {
    const std::string bytes = random_bytes(size_t(state.range(0)));
    Sha256 sha(state.range(1) != 0);
    for (auto _ : state) {
        sha.update(bytes.data(), bytes.size());
        benchmark::DoNotOptimize(sha.digest());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * state.range(0));
    state.SetLabel(state.range(1) != 0 && Sha256::processor_has_extensions() ? "instructions"
                                                                             : "portable");
}
BENCHMARK(BM_Sha256Ours)->Args({1 << 20, 1})->Args({1 << 20, 0});

void BM_Sha256OpenSsl(benchmark::State& state) {
    const std::string bytes = random_bytes(size_t(state.range(0)));
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    for (auto _ : state) {
        EVP_Digest(bytes.data(), bytes.size(), digest, &size, EVP_sha256(), nullptr);
        benchmark::DoNotOptimize(digest);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * state.range(0));
}
BENCHMARK(BM_Sha256OpenSsl)->Arg(1 << 20);

std::string manifest_text() {
    neb::CJsonObject list;
    for (int i = 0; i < 600; ++i) {
        neb::CJsonObject entry;
        entry.add("filePath",
                  "plugins/module" + std::to_string(i / 20) + "/file" + std::to_string(i) + ".dll");
        entry.add("hash", md5_hex(std::to_string(i)));
        entry.add("fileSize", int64_t(i) * 7919 + 1024);
        list.append(entry);
    }
    neb::CJsonObject manifest;
    manifest.add("fileList", list);
    return manifest.to_text();
}

void BM_ManifestParse(benchmark::State& state) {
    const std::string text = manifest_text();
    for (auto _ : state) {
        neb::CJsonObject manifest;
        benchmark::DoNotOptimize(manifest.parse(text));
    }
    state.SetBytesProcessed(int64_t(state.iterations() * text.size()));
}
BENCHMARK(BM_ManifestParse);

void BM_ManifestPrint(benchmark::State& state) {
    const neb::CJsonObject manifest(manifest_text());
    for (auto _ : state) benchmark::DoNotOptimize(manifest.to_text());
}
BENCHMARK(BM_ManifestPrint);

// What the engine does per manifest: parse, then read every entry.
void BM_ManifestParseAndRead(benchmark::State& state) {
    const std::string text = manifest_text();
    for (auto _ : state) {
        neb::CJsonObject manifest(text);
        neb::CJsonObject& list = manifest.child("fileList");
        int64_t total = 0;
        for (int i = 0; i < list.array_size(); ++i) {
            std::string path, hash;
            int64_t size = 0;
            list.child(i).get("filePath", path);
            list.child(i).get("hash", hash);
            list.child(i).get("fileSize", size);
            total += size + int64_t(path.size() + hash.size());
        }
        benchmark::DoNotOptimize(total);
    }
}
BENCHMARK(BM_ManifestParseAndRead);

// Prints the usual table, then our MD5's throughput as a share of OpenSSL's for each input
// size: from the median of the repetitions (--benchmark_repetitions), else from the one run.
class Md5RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            const auto rate = run.counters.find("bytes_per_second");
            if (run.error_occurred || rate == run.counters.end()) continue;
            const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            if (run.run_type == Run::RT_Iteration || median) {
                Rate& entry = rates_[{run.run_name.function_name, run.run_name.args}];
                // A median outranks the single runs it summarises.
                if (median || !entry.median) entry = {rate->second.value, median};
            }
        }
    }

    void print_ratios() const {
        for (const auto& [key, ours] : rates_) {
            if (key.first != "BM_Md5Ours") continue;
            const auto theirs = rates_.find({"BM_Md5OpenSsl", key.second});
            if (theirs == rates_.end()) continue;
            std::printf("MD5 on %s bytes, ours / OpenSSL throughput: %.3f (%s)\n",
                        key.second.c_str(), ours.bytes_per_second / theirs->second.bytes_per_second,
                        ours.median && theirs->second.median ? "medians" : "single runs");
        }
    }

private:
    struct Rate {
        double bytes_per_second = 0;
        bool median = false;
    };
    std::map<std::pair<std::string, std::string>, Rate> rates_;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    Md5RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.print_ratios();
    benchmark::Shutdown();
    return 0;
}

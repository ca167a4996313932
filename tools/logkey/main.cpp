// Writes the report key file "log.key" from application versions and their credentials, for
// the vendor's releases, the local distribution server and the demo.
//
//   logkey --out log.key --entry 1.0.0 APP_ID APP_SECRET [--entry VERSION ID SECRET]...
//          [--plain credentials.json]
//
// --plain also writes the unencrypted JSON, which distserver takes as --credentials.

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <stdexcept>
#include <string>

#include "report/log_key.h"

namespace {

struct Options {
    std::filesystem::path out;
    std::filesystem::path plain;
    std::map<std::string, LogKeyEntry> entries;
};

void usage() {
    std::fputs(
        "usage: logkey --out FILE --entry VERSION APP_ID APP_SECRET [--entry ...]... "
        "[--plain FILE]\n"
        "  --out FILE      the encrypted key file to write (log.key)\n"
        "  --entry V I S   credentials I (appId) and S (appSecrect) of application version V;\n"
        "                  repeatable, one per version\n"
        "  --plain FILE    also write the same credentials as plain JSON\n",
        stderr);
}

Options parse_options(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--out" || arg == "--plain") {
            if (i + 1 >= argc) throw std::invalid_argument(arg + " needs a file");
            (arg == "--out" ? options.out : options.plain) = argv[++i];
        } else if (arg == "--entry") {
            if (i + 3 >= argc)
                throw std::invalid_argument("--entry needs VERSION APP_ID APP_SECRET");
            const std::string version = argv[i + 1];
            LogKeyEntry entry{argv[i + 2], argv[i + 3]};
            i += 3;
            if (version.empty() || entry.app_id.empty() || entry.app_secret.empty()) {
                throw std::invalid_argument("--entry values must not be empty");
            }
            if (!options.entries.emplace(version, entry).second) {
                throw std::invalid_argument("version " + version + " given twice");
            }
        } else {
            throw std::invalid_argument("unknown argument " + arg);
        }
    }
    if (options.out.empty()) throw std::invalid_argument("--out is required");
    if (options.entries.empty()) throw std::invalid_argument("at least one --entry is required");
    return options;
}

void write_text(const std::filesystem::path& file, const std::string& text) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    if (!out) throw std::runtime_error("cannot write " + file.string());
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    try {
        options = parse_options(argc, argv);
    } catch (const std::invalid_argument& e) {
        std::fprintf(stderr, "logkey: %s\n", e.what());
        usage();
        return 2;
    }
    try {
        write_text(options.out, make_log_key(options.entries));
        if (!options.plain.empty()) {
            write_text(options.plain, log_key_plaintext(options.entries) + "\n");
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "logkey: %s\n", e.what());
        return 1;
    }
    return 0;
}

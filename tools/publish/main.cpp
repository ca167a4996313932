// Turns a folder of suite files and a version into a release folder.
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <string>

#include "release_writer.h"

namespace {

void usage() {
    std::fprintf(
        stderr,
        "usage: publish --source DIR --version VERSION --out DIR\n"
        "               [--manifest-url URL] [--full-package FILE]\n"
        "               [--sign KEYFILE [--release-time TIME] [--expires DAYS]\n"
        "                [--product NAME] [--platform NAME]]\n"
        "       publish --resign-version-answer FILE --sign KEYFILE [--expires DAYS]\n"
        "  --manifest-url  absolute manifest URL for the version answer; without it\n"
        "                  the answer names manifest.json relative to where the\n"
        "                  release is served\n"
        "  --sign          sign the manifest and the version answer with the secret\n"
        "                  key of tools/releasekey (manifest.json.sig, version.json.sig);\n"
        "                  needs --manifest-url\n"
        "  --release-time  the signed release time (default: now, UTC)\n"
        "  --expires       days the signed version answer holds (default 7)\n"
        "  --product       the product the signed documents are for (default castmill)\n"
        "  --platform      the platform they are for: windows or linux (default: the\n"
        "                  one publish runs on)\n"
        "  --resign-version-answer  gives the signed version answer FILE (version.json)\n"
        "                  a fresh expiry and signs it again; its signature must be by\n"
        "                  the same key\n"
        "  --previous      an earlier release folder (repeatable, oldest first): each\n"
        "                  changed file gets a patch from its content there\n"
        "  --previous-count  how many of the last --previous folders patches are made\n"
        "                  from (default 3)\n"
        "  --no-compress   no compressed copies (<path>.zst) of the files\n");
}

}  // namespace

int main(int argc, char** argv) {
    castmill::tools::ReleaseInput input;
    std::filesystem::path resign;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--no-compress") {
            input.compress = false;
            continue;
        }
        if (i + 1 >= argc) {
            std::fprintf(stderr, "publish: %s needs a value\n", arg.c_str());
            usage();
            return 2;
        }
        const std::string value = argv[++i];
        if (arg == "--source") {
            input.source = value;
        } else if (arg == "--version") {
            input.version = value;
        } else if (arg == "--out") {
            input.out = value;
        } else if (arg == "--manifest-url") {
            input.manifest_url = value;
        } else if (arg == "--full-package") {
            input.full_package = value;
        } else if (arg == "--sign") {
            input.sign_key = value;
        } else if (arg == "--expires") {
            input.expires_days = std::stoi(value);
        } else if (arg == "--product") {
            input.product = value;
        } else if (arg == "--platform") {
            input.platform = value;
        } else if (arg == "--resign-version-answer") {
            resign = value;
        } else if (arg == "--release-time") {
            input.release_time = value;
        } else if (arg == "--previous") {
            input.previous.push_back(value);
        } else if (arg == "--previous-count") {
            input.previous_count = static_cast<size_t>(std::stoul(value));
        } else {
            std::fprintf(stderr, "publish: unknown option %s\n", arg.c_str());
            usage();
            return 2;
        }
    }
    if (!resign.empty()) {
        if (input.sign_key.empty()) {
            usage();
            return 2;
        }
        try {
            castmill::tools::resign_version_answer(resign, input.sign_key, input.expires_days);
            std::printf("signed %s again\n", resign.string().c_str());
            return 0;
        } catch (const std::exception& e) {
            std::fprintf(stderr, "publish: %s\n", e.what());
            return 1;
        }
    }
    if (input.source.empty() || input.version.empty() || input.out.empty()) {
        usage();
        return 2;
    }
    try {
        const auto summary = castmill::tools::write_release(input);
        std::printf("published %zu files (%llu bytes), version %s, to %s\n", summary.files,
                    static_cast<unsigned long long>(summary.bytes), input.version.c_str(),
                    input.out.string().c_str());
        if (summary.patches > 0)
            std::printf("patches: %zu (%llu bytes)\n", summary.patches,
                        static_cast<unsigned long long>(summary.patch_bytes));
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "publish: %s\n", e.what());
        return 1;
    }
}

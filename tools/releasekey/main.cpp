// Makes the vendor's Ed25519 release key pair: the secret key file that publish --sign
// reads (owner read/write only) and the public key text a build pins in
// CASTMILL_RELEASE_PUBLIC_KEY.
//
//   releasekey --out FILE     writes FILE (secret) and FILE.pub, prints the public key

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "base/release_signature.h"

#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

void usage() {
    std::fputs(
        "usage: releasekey --out FILE\n"
        "  writes the secret key to FILE (mode 0600, never overwritten) and the public key\n"
        "  to FILE.pub, and prints the public key for CASTMILL_RELEASE_PUBLIC_KEY\n",
        stderr);
}

// Creates the file only if it does not exist, readable by its owner alone from the start,
// so the secret is never on disk with wider permissions.
bool write_new_file(const std::filesystem::path& file, const std::string& text, bool secret) {
#ifndef _WIN32
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL, secret ? 0600 : 0644);
    if (fd < 0) return false;
    const bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    return ::close(fd) == 0 && written;
#else
    // Windows: the file inherits the folder's access list; keep the key in a private folder.
    (void)secret;
    if (std::filesystem::exists(file)) return false;
    std::ofstream out(file, std::ios::binary);
    out << text;
    out.close();
    return static_cast<bool>(out);
#endif
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3 || std::string(argv[1]) != "--out") {
        usage();
        return 2;
    }
    const std::filesystem::path out = argv[2];
    std::filesystem::path pub = out;
    pub += ".pub";
    if (std::filesystem::exists(out) || std::filesystem::exists(pub)) {
        std::fprintf(stderr, "releasekey: %s or its .pub exists; a key is never replaced\n",
                     out.string().c_str());
        return 1;
    }
    const ReleaseKeyPair pair = make_release_key_pair();
    if (!write_new_file(out, pair.secret_key + "\n", true)) {
        std::fprintf(stderr, "releasekey: cannot create %s\n", out.string().c_str());
        return 1;
    }
    if (!write_new_file(pub, pair.public_key + "\n", false)) {
        std::fprintf(stderr, "releasekey: cannot create %s\n", pub.string().c_str());
        return 1;
    }
    std::printf("%s\n", pair.public_key.c_str());
    return 0;
}

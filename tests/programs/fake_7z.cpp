// Stands in for the suite's 7z.exe in tests: "fake_7z a ARCHIVE INPUT" writes ARCHIVE, a
// "PK"-headed listing of the files under INPUT with their contents. Like the real archiver
// it fails (exit 2) on other commands, a missing input or an archive it cannot write.

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace fs = std::filesystem;

namespace {

void add_file(std::ofstream& out, const fs::path& file, const fs::path& name) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    out << name.generic_string() << '\n' << content.str().size() << '\n' << content.str() << '\n';
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4 || std::string(argv[1]) != "a") {
        std::fprintf(stderr, "usage: fake_7z a ARCHIVE INPUT\n");
        return 2;
    }
    const fs::path archive = argv[2];
    const fs::path input = argv[3];
    std::error_code ec;
    if (!fs::exists(input, ec)) {
        std::fprintf(stderr, "fake_7z: no input %s\n", input.c_str());
        return 2;
    }
    std::ofstream out(archive, std::ios::binary | std::ios::trunc);
    if (!out) {
        std::fprintf(stderr, "fake_7z: cannot write %s\n", archive.c_str());
        return 2;
    }
    out << "PK\x03\x04\n";
    if (fs::is_directory(input)) {
        for (const auto& entry : fs::recursive_directory_iterator(input)) {
            if (entry.is_regular_file()) {
                add_file(out, entry.path(), entry.path().lexically_relative(input.parent_path()));
            }
        }
    } else {
        add_file(out, input, input.filename());
    }
    out.close();
    return out ? 0 : 2;
}

// A main for a fuzz target built without libFuzzer: feeds it every file
// named on the command line, and every file in every directory named, each
// in an exact-size heap block. Lets the ordinary test run (gcc, the
// sanitizers, valgrind) replay the seed corpus and the saved crash inputs.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace {

bool replay(const std::filesystem::path &file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "cannot read %s\n", file.c_str());
        return false;
    }
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    auto *copy = static_cast<uint8_t *>(std::malloc(bytes.size() ? bytes.size() : 1));
    if (copy == nullptr) return false;
    if (!bytes.empty()) std::copy(bytes.begin(), bytes.end(), copy);
    LLVMFuzzerTestOneInput(copy, bytes.size());
    std::free(copy);
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    size_t count = 0;
    bool ok = true;
    for (int i = 1; i < argc; ++i) {
        const std::filesystem::path arg(argv[i]);
        std::vector<std::filesystem::path> files;
        if (std::filesystem::is_directory(arg)) {
            for (const auto &entry : std::filesystem::recursive_directory_iterator(arg))
                if (entry.is_regular_file()) files.push_back(entry.path());
        } else if (std::filesystem::exists(arg)) {
            files.push_back(arg);
        }
        for (const auto &f : files) {
            ok = replay(f) && ok;
            ++count;
        }
    }
    std::printf("replayed %zu inputs\n", count);
    // An empty corpus replays nothing: treat it as a failure, not a pass.
    return ok && count > 0 ? 0 : 1;
}

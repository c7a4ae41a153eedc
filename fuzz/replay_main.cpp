// Runs a fuzz target over saved inputs, for compilers without libFuzzer:
//   vx_fuzz_TARGET FILE-OR-FOLDER...
// Folders are read recursively in name order. A broken property aborts, which
// fails the test; no input at all is a failure too, since it means the
// corpus was not found.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz_support.h"

namespace fs = std::filesystem;

namespace {

std::vector<fs::path> Inputs(const fs::path &arg)
{
    std::vector<fs::path> files;
    if (fs::is_directory(arg)) {
        for (const auto &entry : fs::recursive_directory_iterator(arg))
            if (entry.is_regular_file()) files.push_back(entry.path());
        std::sort(files.begin(), files.end());
    }
    else if (fs::is_regular_file(arg))
        files.push_back(arg);
    else
        fprintf(stderr, "replay: no such input: %s\n", arg.c_str());
    return files;
}

} // namespace

int main(int argc, char **argv)
{
    size_t count = 0;
    for (int i = 1; i < argc; i++) {
        for (const auto &file : Inputs(argv[i])) {
            std::ifstream in(file, std::ios::binary);
            std::vector<char> bytes((std::istreambuf_iterator<char>(in)),
                std::istreambuf_iterator<char>());
            if (!in.eof() && in.fail()) {
                fprintf(stderr, "replay: cannot read %s\n", file.c_str());
                return 1;
            }
            fprintf(stderr, "replay: %s (%zu bytes)\n", file.c_str(), bytes.size());
            LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size());
            count++;
        }
    }
    printf("replayed %zu inputs\n", count);
    return count > 0 ? 0 : 1;
}

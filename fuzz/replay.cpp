// Entry point for the fuzz targets when they are built without libFuzzer: runs the target on
// each file named (or on each file of each directory named) and prints how long it took, so
// that the findings and the grown corpus of an instrumented campaign can be timed in a plain
// optimised build. Each time is printed when there are at most 20 inputs; the slowest always.
//
//   fuzz_directive [--limit=SECONDS] PATH...
//
// Exit status 1 when a file cannot be read or, with --limit, when any input took longer.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace {

bool read_file(const std::string &path, std::vector<uint8_t> *out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return false;
    }
    out->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

// The files to run: a directory stands for the regular files in it, in name order. False when
// a directory cannot be listed.
bool add_inputs(const std::string &path, std::vector<std::string> *out) {
    std::error_code ec;
    if (!std::filesystem::is_directory(path, ec)) {
        out->push_back(path);
        return true;
    }
    std::vector<std::string> files;
    std::filesystem::directory_iterator it(path, ec);
    for (; !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
        if (it->is_regular_file(ec)) {
            files.push_back(it->path().string());
        }
    }
    if (ec) {
        std::fprintf(stderr, "cannot list %s: %s\n", path.c_str(), ec.message().c_str());
        return false;
    }
    std::sort(files.begin(), files.end());
    out->insert(out->end(), files.begin(), files.end());
    return true;
}

} // namespace

int main(int argc, char **argv) {
    double limit = -1;
    int status = 0;
    bool named = false;
    std::vector<std::string> paths;
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--limit=", 8) == 0) {
            char *end = nullptr;
            limit = std::strtod(argv[i] + 8, &end);
            if (end == argv[i] + 8 || *end != '\0' || limit < 0) {
                std::fprintf(stderr, "bad limit: %s\n", argv[i]);
                return 1;
            }
        } else {
            named = true;
            if (!add_inputs(argv[i], &paths)) {
                status = 1;
            }
        }
    }
    if (!named) {
        std::fprintf(stderr, "usage: %s [--limit=SECONDS] PATH...\n", argv[0]);
        return 1;
    }
    size_t ran = 0;
    double worst = 0;
    std::string worst_path;
    std::vector<uint8_t> data;
    for (const std::string &path : paths) {
        if (!read_file(path, &data)) {
            std::fprintf(stderr, "cannot read %s\n", path.c_str());
            status = 1;
            continue;
        }
        ++ran;
        const auto t0 = std::chrono::steady_clock::now();
        LLVMFuzzerTestOneInput(data.data(), data.size());
        const double secs =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        if (paths.size() <= 20) {
            std::printf("%s: %zu bytes, %.4f s\n", path.c_str(), data.size(), secs);
        }
        if (secs >= worst) {
            worst = secs;
            worst_path = path;
        }
        if (limit >= 0 && secs > limit) {
            std::printf("over the limit: %s: %.4f s\n", path.c_str(), secs);
            status = 1;
        }
    }
    if (ran == 0) {
        std::printf("no inputs ran\n");
    } else {
        std::printf("%zu inputs, slowest %.4f s: %s\n", ran, worst, worst_path.c_str());
    }
    return status;
}

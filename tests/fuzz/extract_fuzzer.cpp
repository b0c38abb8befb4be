// libFuzzer harness: each input is extracted as a package into a scratch
// directory. A crash or sanitizer report fails the run, and so does any
// file that appears beside the destination instead of inside it.
#include "updater.h"

#include <spdlog/sinks/null_sink.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>

namespace fs = std::filesystem;

namespace {

struct sandbox {
    fs::path base;     // holds only the input file and box/
    fs::path box;      // holds only dest/ after every run
    fs::path input;
    fs::path dest;
};

sandbox make_sandbox()
{
    std::string pattern = (fs::temp_directory_path() / "extract-fuzz-XXXXXX").string();
    if (!::mkdtemp(pattern.data()))
        std::abort();
    sandbox s{pattern, fs::path(pattern) / "box", fs::path(pattern) / "input.zip", fs::path(pattern) / "box" / "dest"};
    fs::create_directories(s.box);
    spdlog::set_default_logger(spdlog::null_logger_mt("updater"));
    return s;
}

// Anything other than the expected names here was written outside dest.
void check_nothing_escaped(const sandbox& s)
{
    for (const auto& entry : fs::directory_iterator(s.base)) {
        if (entry.path() != s.input && entry.path() != s.box) {
            std::fprintf(stderr, "written outside the destination: %s\n", entry.path().c_str());
            std::abort();
        }
    }
    for (const auto& entry : fs::directory_iterator(s.box)) {
        if (entry.path() != s.dest) {
            std::fprintf(stderr, "written outside the destination: %s\n", entry.path().c_str());
            std::abort();
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static const sandbox s = make_sandbox();
    {
        std::ofstream out(s.input, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    try {
        extract_zip(s.input.string(), s.dest.string());
    } catch (const fs::filesystem_error&) {
        // A directory that can't be created is a reported failure, not a bug.
    }
    check_nothing_escaped(s);
    std::error_code ec;
    fs::remove_all(s.dest, ec);
    return 0;
}

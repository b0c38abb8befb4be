// A stand-in application: records how it was started into the file named by
// RECORD_FILE (written under a temporary name, then renamed, so a reader
// never sees half of it) and exits.
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <string>
#include <unistd.h>

namespace {

std::string link_target(const std::string& path)
{
    char buffer[PATH_MAX];
    const ssize_t size = ::readlink(path.c_str(), buffer, sizeof buffer - 1);
    return size < 0 ? std::string() : std::string(buffer, static_cast<std::size_t>(size));
}

// Descriptors above standard error that this process inherited.
std::string extra_descriptors()
{
    std::string list;
    DIR* dir = ::opendir("/proc/self/fd");
    if (!dir)
        return "?";
    const int own = ::dirfd(dir);
    while (const dirent* entry = ::readdir(dir)) {
        const int fd = std::atoi(entry->d_name);
        if (entry->d_name[0] != '.' && fd > 2 && fd != own)
            list += std::to_string(fd) + ":" + link_target("/proc/self/fd/" + std::to_string(fd)) + " ";
    }
    ::closedir(dir);
    return list;
}

}  // namespace

int main(int argc, char** argv)
{
    const char* record = std::getenv("RECORD_FILE");
    if (!record)
        return 2;
    // Listed before this program opens anything of its own.
    const std::string inherited = extra_descriptors();
    const std::string temporary = std::string(record) + ".tmp";
    FILE* out = std::fopen(temporary.c_str(), "w");
    if (!out)
        return 3;
    char cwd[PATH_MAX] = "";
    if (!::getcwd(cwd, sizeof cwd))
        cwd[0] = '\0';
    std::fprintf(out, "cwd=%s\n", cwd);
    std::fprintf(out, "session=%d\n", static_cast<int>(::getsid(0)));
    std::fprintf(out, "stdin=%s\n", link_target("/proc/self/fd/0").c_str());
    std::fprintf(out, "stdout=%s\n", link_target("/proc/self/fd/1").c_str());
    std::fprintf(out, "stderr=%s\n", link_target("/proc/self/fd/2").c_str());
    std::fprintf(out, "extra_fds=%s\n", inherited.c_str());
    for (int i = 0; i < argc; ++i)
        std::fprintf(out, "arg=%s\n", argv[i]);
    std::fclose(out);
    return std::rename(temporary.c_str(), record) == 0 ? 0 : 4;
}

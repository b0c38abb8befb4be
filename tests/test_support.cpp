#include "test_support.h"

#include <zip.h>

#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <grp.h>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace test {

scratch_dir::scratch_dir()
{
    std::string pattern = (fs::temp_directory_path() / "updater-test-XXXXXX").string();
    if (!::mkdtemp(pattern.data()))
        throw std::runtime_error("mkdtemp failed");
    path = pattern;
}

// An application a test's last update started may still write its record
// while the directory is removed, which then fails on the new file: the
// removal is tried again for a while.
scratch_dir::~scratch_dir()
{
    std::error_code ec;
    for (int attempt = 0; attempt < 50; ++attempt) {
        // Tests make read-only trees; open them up so that they can be removed.
        for (auto it = fs::recursive_directory_iterator(path, ec); !ec && it != fs::end(it); it.increment(ec))
            if (it->is_directory(ec) && !it->is_symlink(ec))
                fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
        fs::remove_all(path, ec);
        if (!fs::exists(path, ec))
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

std::string read_file(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

void write_file(const fs::path& path, const std::string& content)
{
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

std::vector<std::string> read_lines(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

std::string log_message_of(const std::string& line)
{
    // "[date time] [updater] [level] message"
    std::size_t pos = 0;
    for (int field = 0; field < 3; ++field) {
        pos = line.find("] ", pos);
        if (pos == std::string::npos)
            return line;
        pos += 2;
    }
    return line.substr(pos);
}

std::vector<std::string> log_messages(const fs::path& log_file)
{
    std::vector<std::string> messages;
    for (const std::string& line : read_lines(log_file))
        messages.push_back(log_message_of(line));
    return messages;
}

namespace {

void check(bool ok, const std::string& what)
{
    if (!ok)
        throw std::runtime_error("zip writing failed: " + what);
}

void add_zip_item(zip_t* archive, const zip_item& item)
{
    if (item.kind == item_kind::directory) {
        const zip_int64_t index = zip_dir_add(archive, item.name.c_str(), ZIP_FL_ENC_UTF_8);
        check(index >= 0, item.name);
        if (item.unix_mode)
            zip_file_set_external_attributes(archive, index, 0, ZIP_OPSYS_UNIX,
                                             (040000u | item.unix_mode) << 16 | 0x10);
        return;
    }
    zip_source_t* source = zip_source_buffer(archive, item.data.data(), item.data.size(), 0);
    check(source != nullptr, item.name);
    const zip_int64_t index = zip_file_add(archive, item.name.c_str(), source, ZIP_FL_ENC_UTF_8);
    if (index < 0) {
        zip_source_free(source);
        check(false, item.name);
    }
    const unsigned type = item.kind == item_kind::symlink ? 0120000u : 0100000u;
    const unsigned mode = item.unix_mode ? item.unix_mode : 0644u;
    if (item.made_on_windows)
        zip_file_set_external_attributes(archive, index, 0, ZIP_OPSYS_DOS, 0x20);  // the archive bit
    else
        zip_file_set_external_attributes(archive, index, 0, ZIP_OPSYS_UNIX, (type | mode) << 16);
    if (item.stored)
        zip_set_file_compression(archive, index, ZIP_CM_STORE, 0);
    else if (item.deflate_level)
        zip_set_file_compression(archive, index, ZIP_CM_DEFLATE, static_cast<zip_uint32_t>(item.deflate_level));
    if (item.encrypted)
        check(zip_file_set_encryption(archive, index, ZIP_EM_TRAD_PKWARE, "secret") == 0, item.name);
    if (item.mtime)
        check(zip_file_set_mtime(archive, static_cast<zip_uint64_t>(index), item.mtime, 0) == 0, item.name);
}

}  // namespace

void write_zip(const fs::path& path, const std::vector<zip_item>& items)
{
    int error = 0;
    zip_t* archive = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
    check(archive != nullptr, path.string());
    for (const zip_item& item : items)
        add_zip_item(archive, item);
    if (items.empty()) {
        // libzip writes nothing for an empty archive; a bare end record is
        // what other tools produce.
        zip_discard(archive);
        write_file(path, std::string("PK\x05\x06", 4) + std::string(18, '\0'));
        return;
    }
    check(zip_close(archive) == 0, zip_strerror(archive));
}

void patch_bytes(const fs::path& path, const std::string& from, const std::string& to)
{
    std::string content = read_file(path);
    std::size_t count = 0;
    for (std::size_t pos = content.find(from); pos != std::string::npos; pos = content.find(from, pos + 1)) {
        content.replace(pos, from.size(), to);
        ++count;
    }
    if (count == 0)
        throw std::runtime_error("patch_bytes: pattern not found");
    write_file(path, content);
}

void write_zip_with_bad_crc(const fs::path& path, std::vector<zip_item> items, const std::string& bad_name)
{
    items.push_back({bad_name, "CORRUPTIBLE-CONTENT", item_kind::file, 0, false, true});
    write_zip(path, items);
    patch_bytes(path, "CORRUPTIBLE-CONTENT", "CORRUPTIBLE-CONTENU");
}

void make_app_root(const fs::path& root, const std::map<std::string, std::string>& old_files)
{
    fs::create_directories(root / "current");
    for (const auto& [name, content] : old_files)
        write_file(root / "current" / name, content);
}

std::map<std::string, std::string> tree_contents(const fs::path& dir)
{
    std::map<std::string, std::string> files;
    if (!fs::exists(dir))
        return files;
    for (const auto& entry : fs::recursive_directory_iterator(dir))
        if (entry.is_regular_file() && !entry.is_symlink())
            files[fs::relative(entry.path(), dir).generic_string()] = read_file(entry.path());
    return files;
}

namespace {

std::vector<char*> c_strings(const std::vector<std::string>& strings)
{
    std::vector<char*> pointers;
    for (const std::string& s : strings)
        pointers.push_back(const_cast<char*>(s.c_str()));
    pointers.push_back(nullptr);
    return pointers;
}

}  // namespace

run_result run_program(const std::vector<std::string>& argv,
                       const std::map<std::string, std::string>& extra_env, int run_as)
{
    scratch_dir output;
    const fs::path out_file = output.path / "out";
    const fs::path err_file = output.path / "err";
    std::vector<std::string> env;
    // A name given in extra_env replaces the inherited one: getenv would
    // return whichever comes first.
    for (char** e = environ; *e; ++e) {
        const std::string entry = *e;
        if (!extra_env.count(entry.substr(0, entry.find('='))))
            env.push_back(entry);
    }
    for (const auto& [name, value] : extra_env)
        env.push_back(name + "=" + value);
    std::vector<char*> args = c_strings(argv);
    std::vector<char*> envp = c_strings(env);
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int out = ::open(out_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = ::open(err_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(out, 1);
        ::dup2(err, 2);
        if (run_as != -1 && (::setgroups(0, nullptr) != 0 || ::setgid(run_as) != 0 || ::setuid(run_as) != 0))
            ::_exit(126);
        ::execve(args[0], args.data(), envp.data());
        ::_exit(127);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    run_result result;
    result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result.out = read_file(out_file);
    result.err = read_file(err_file);
    return result;
}

void give_tree_to(const fs::path& dir, int user)
{
    if (::lchown(dir.c_str(), user, user) != 0)
        throw std::runtime_error("lchown failed: " + dir.string());
    for (const auto& entry : fs::recursive_directory_iterator(dir))
        if (::lchown(entry.path().c_str(), user, user) != 0)
            throw std::runtime_error("lchown failed: " + entry.path().string());
}

int start_program(const std::vector<std::string>& argv)
{
    std::vector<char*> args = c_strings(argv);
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int null_fd = ::open("/dev/null", O_RDWR);
        ::dup2(null_fd, 1);
        ::dup2(null_fd, 2);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    return pid;
}

bool wait_for_file(const fs::path& path, int timeout_ms)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!fs::exists(path)) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

}  // namespace test

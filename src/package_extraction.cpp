// Package extraction: every entry of the zip package, in central-directory
// order, streamed into the destination directory. Entry names and link
// targets that could reach outside the destination are refused.
#include "updater.h"

#include "entry_data.h"
#include "platform.h"

#include <zip.h>

#include <memory>

namespace {

namespace fs = std::filesystem;

struct zip_archive_closer {
    // The archive is only read, so closing must never write anything back.
    void operator()(zip_t* archive) const { zip_discard(archive); }
};
using zip_archive_ptr = std::unique_ptr<zip_t, zip_archive_closer>;

enum class entry_kind { directory, file, symlink };

constexpr zip_uint32_t dos_directory_attribute = 0x10;
constexpr unsigned unix_type_mask = 0170000;
constexpr unsigned unix_symlink_type = 0120000;
constexpr unsigned unix_permission_mask = 0777;
// Link targets longer than this are not real paths on any platform we run on.
constexpr zip_uint64_t max_symlink_target = 4096;

bool is_separator(char c)
{
    return c == '/' || c == '\\';
}

bool has_drive_prefix(const std::string& name)
{
    return name.size() >= 2 && name[1] == ':' &&
           ((name[0] >= 'A' && name[0] <= 'Z') || (name[0] >= 'a' && name[0] <= 'z'));
}

// Splits on both separators, dropping empty and "." components.
std::vector<std::string> split_components(const std::string& text)
{
    std::vector<std::string> parts;
    std::string part;
    for (const char c : text + "/") {
        if (!is_separator(c)) {
            part += c;
            continue;
        }
        if (!part.empty() && part != ".")
            parts.push_back(part);
        part.clear();
    }
    return parts;
}

struct entry_info {
    entry_kind kind;
    unsigned mode;  // permission bits, or no_recorded_mode
};

entry_info classify_entry(zip_t* archive, zip_uint64_t index, const std::string& name)
{
    zip_uint8_t opsys = 0;
    zip_uint32_t attributes = 0;
    if (zip_file_get_external_attributes(archive, index, 0, &opsys, &attributes) != 0)
        attributes = 0;
    entry_info info{entry_kind::file, no_recorded_mode};
    const unsigned unix_mode = attributes >> 16;
    bool unix_symlink = false;
    if (opsys == ZIP_OPSYS_UNIX && unix_mode != 0) {
        info.mode = unix_mode & unix_permission_mask;
        unix_symlink = (unix_mode & unix_type_mask) == unix_symlink_type;
    }
    if ((!name.empty() && name.back() == '/') || (attributes & dos_directory_attribute) != 0)
        info.kind = entry_kind::directory;
    else if (unix_symlink)
        info.kind = entry_kind::symlink;
    return info;
}

// Splits an entry name into path components, treating "/" and "\\" alike and
// dropping empty and "." components. Returns false for a name that could
// leave the destination: absolute, with a drive prefix, or with "..".
bool safe_entry_components(const std::string& name, std::vector<std::string>& components)
{
    components.clear();
    if (name.empty() || is_separator(name[0]) || has_drive_prefix(name))
        return false;
    components = split_components(name);
    for (const std::string& part : components)
        if (part == ".." || !platform_allows_component(part))
            return false;
    return true;
}

// True when a symbolic link stored at the given components, pointing at
// target, resolves inside the destination root.
bool symlink_target_stays_inside(const std::vector<std::string>& link_components, const std::string& target)
{
    // The system reads the target only up to a NUL byte, so a NUL would let
    // it see other components than the ones checked here.
    if (target.empty() || is_separator(target[0]) || has_drive_prefix(target) ||
        target.find('\0') != std::string::npos || link_components.empty())
        return false;
    // ".." is allowed only as a leading run that climbs no higher than the
    // link's own directory depth. A ".." after a name could climb back out
    // through another link, so it is refused.
    std::size_t climbs = 0;
    bool descended = false;
    for (const std::string& part : split_components(target)) {
        if (part != "..") {
            descended = true;
            continue;
        }
        if (descended)
            return false;
        ++climbs;
    }
    return climbs < link_components.size();
}

// Reads the link target as entry data, checked like a file's.
bool read_symlink_target(const entry_source& source, const zip_stat_t& stat, entry_data_buffers& buffers,
                         std::string& target)
{
    if (stat.size == 0 || stat.size > max_symlink_target)
        return false;
    entry_data data;
    if (!open_entry_data(source, stat, buffers, data))
        return false;
    target.clear();
    for (;;) {
        const char* chunk = nullptr;
        const long long got = next_entry_chunk(data, chunk);
        if (got <= 0)
            return got == 0;
        target.append(chunk, static_cast<std::size_t>(got));
    }
}

// Streams the entry's data into a new file; false as soon as reading or
// writing fails. Whatever was written stays.
bool extract_file(const entry_source& source, const zip_stat_t& stat, const fs::path& dest,
                  const std::vector<std::string>& parts, unsigned mode, entry_data_buffers& buffers)
{
    entry_data data;
    if (!open_entry_data(source, stat, buffers, data))
        return false;
    entry_file_ptr file = create_entry_file(dest, parts, mode);
    if (!file)
        return false;
    for (;;) {
        const char* chunk = nullptr;
        const long long got = next_entry_chunk(data, chunk);
        if (got < 0)
            return false;
        if (got == 0)
            return finish_entry_file(std::move(file), stat.mtime);
        if (!write_entry_data(*file, chunk, static_cast<std::size_t>(got)))
            return false;
    }
}

bool extract_symlink(const entry_source& source, const zip_stat_t& stat, const fs::path& dest,
                     const std::vector<std::string>& parts, entry_data_buffers& buffers)
{
    std::string target;
    return read_symlink_target(source, stat, buffers, target) && symlink_target_stays_inside(parts, target) &&
           write_entry_symlink(dest, parts, target);
}

// Returns false for an entry that must be refused or could not be written;
// raises filesystem_error when a directory can't be created.
bool extract_entry(const entry_source& source, const zip_stat_t& stat, const entry_info& info,
                   const fs::path& dest, entry_data_buffers& buffers)
{
    std::vector<std::string> parts;
    if (!safe_entry_components(stat.name, parts))
        return false;
    if (info.kind == entry_kind::directory) {
        create_entry_directories(dest, parts, info.mode);
        return true;
    }
    if (parts.empty())
        return false;
    if (info.kind == entry_kind::symlink)
        return extract_symlink(source, stat, dest, parts, buffers);
    return extract_file(source, stat, dest, parts, info.mode, buffers);
}

bool stat_entry(zip_t* archive, zip_uint64_t index, zip_stat_t& stat)
{
    zip_stat_init(&stat);
    return zip_stat_index(archive, index, 0, &stat) == 0 && (stat.valid & ZIP_STAT_NAME) != 0;
}

zip_archive_ptr open_package(const std::string& package_path)
{
    int open_error = 0;
    // Not ZIP_CHECKCONS: it rejects archives that name a path twice, which
    // must extract with the later entry winning. Every entry's data is still
    // checked against its CRC-32 and size as it is read.
    return zip_archive_ptr(zip_open(package_path_for_zip(package_path).c_str(), ZIP_RDONLY, &open_error));
}

// Stored and deflated data is read through a handle of its own at the
// offsets the central directory gives; the zip library reads the rest, and
// everything when those offsets can't be found.
bool extract_entries(zip_t* archive, const std::string& package_path, zip_uint64_t count, const fs::path& dest)
{
    std::vector<zip_stat_t> stats;
    zip_stat_t stat;
    while (stats.size() < count && stat_entry(archive, stats.size(), stat))
        stats.push_back(stat);
    entry_data_buffers buffers = new_entry_data_buffers();
    const package_file_ptr package = open_package_file(package_path);
    std::vector<std::uint64_t> local_headers(stats.size(), unknown_offset);
    if (package)
        read_local_header_offsets(*package, archive, count, stats, buffers, local_headers);
    for (zip_uint64_t index = 0; index < stats.size(); ++index) {
        const entry_source source{package.get(), local_headers[index], archive, index};
        const entry_info info = classify_entry(archive, index, stats[index].name);
        if (!extract_entry(source, stats[index], info, dest, buffers)) {
            spdlog::error("Failed to extract: {}", stats[index].name);
            return false;
        }
    }
    if (stats.size() < count) {
        spdlog::error("Failed to stat file index {}", stats.size());
        return false;
    }
    return true;
}

}  // namespace

bool extract_zip(const std::string& package_path, const std::string& dest_dir)
{
    zip_archive_ptr archive = open_package(package_path);
    if (!archive) {
        spdlog::error("Failed to open zip: {}", package_path);
        return false;
    }
    const zip_int64_t count = zip_get_num_entries(archive.get(), 0);
    spdlog::info("Extracting {} files from {}", count, package_path);
    if (!extract_entries(archive.get(), package_path, static_cast<zip_uint64_t>(count), path_from_narrow(dest_dir)))
        return false;
    archive.reset();
    spdlog::info("Extraction complete: {} files", count);
    return true;
}

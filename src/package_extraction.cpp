// Package extraction: every entry of the zip package, in central-directory
// order, streamed into the destination directory. Entry names and link
// targets that could reach outside the destination are refused.
#include "updater.h"

#include <zip.h>
#include <memory>

namespace {

namespace fs = std::filesystem;

struct zip_archive_closer {
    // The archive is only read, so closing must never write anything back.
    void operator()(zip_t* archive) const { zip_discard(archive); }
};
using zip_archive_ptr = std::unique_ptr<zip_t, zip_archive_closer>;

struct zip_entry_closer {
    void operator()(zip_file_t* entry) const { zip_fclose(entry); }
};
using zip_entry_ptr = std::unique_ptr<zip_file_t, zip_entry_closer>;

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

// Stored and deflated entries, nearly all there are, are read raw from the
// package in large chunks, inflated here and checked against the recorded
// CRC-32. That skips the zip library's own layers, which read the package a
// few kilobytes at a time with a seek before each read. Other methods go
// through the library, which checks their CRC-32 itself.
constexpr std::size_t raw_chunk_size = 256 * 1024;
constexpr std::size_t data_chunk_size = 64 * 1024;

// Allocated once per package and shared by all its entries.
struct chunk_buffers {
    std::vector<unsigned char> raw = std::vector<unsigned char>(raw_chunk_size);
    std::vector<char> data = std::vector<char>(data_chunk_size);
    deflate_decoder_ptr decoder;
};

struct entry_stream {
    entry_stream(zip_file_t* entry_file, const zip_stat_t& stat, bool own_crc_check, chunk_buffers& shared)
        : file(entry_file), expected_size(stat.size), expected_crc(stat.crc), check_crc(own_crc_check),
          buffers(shared)
    {
    }

    zip_file_t* file;
    const zip_uint64_t expected_size;
    const std::uint32_t expected_crc;
    const bool check_crc;
    chunk_buffers& buffers;
    bool inflating = false;
    bool raw_ended = false;  // all compressed bytes have been read
    bool ended = false;      // the deflate stream is complete
    inflate_window window{};
    std::uint32_t crc = 0;
    zip_uint64_t total = 0;
};

bool start_inflating(entry_stream& s)
{
    chunk_buffers& buffers = s.buffers;
    if (!buffers.decoder)
        buffers.decoder = new_deflate_decoder();
    s.inflating = buffers.decoder && restart_deflate_decoder(*buffers.decoder);
    return s.inflating;
}

// Reads the next chunk of compressed data; false on a read error.
bool refill_raw(entry_stream& s)
{
    const zip_int64_t got = zip_fread(s.file, s.buffers.raw.data(), s.buffers.raw.size());
    if (got < 0)
        return false;
    s.raw_ended = got == 0;
    s.window.in = s.buffers.raw.data();
    s.window.in_size = static_cast<std::size_t>(got);
    return true;
}

// Inflates into the data buffer until it is full or the stream ends;
// returns the byte count or -1 on damaged data. The decoder may still owe
// output after the last compressed byte is read, so running out of input
// is damage only once a call makes no progress at all.
long long inflate_chunk(entry_stream& s)
{
    std::vector<char>& data = s.buffers.data;
    s.window.out = data.data();
    s.window.out_size = data.size();
    while (s.window.out_size > 0 && !s.ended) {
        if (s.window.in_size == 0 && !s.raw_ended && !refill_raw(s))
            return -1;
        const std::size_t in_before = s.window.in_size;
        const std::size_t out_before = s.window.out_size;
        const inflate_status status = inflate_some(*s.buffers.decoder, s.window);
        if (status == inflate_status::damaged)
            return -1;
        s.ended = status == inflate_status::ended;
        if (!s.ended && s.window.in_size == in_before && s.window.out_size == out_before && s.raw_ended)
            return -1;  // the compressed data ended before the stream did
    }
    return static_cast<long long>(data.size() - s.window.out_size);
}

// The size check backs up the CRC: a stream that ends early or runs long
// must never pass as a complete file.
long long next_chunk(entry_stream& s, const char*& chunk)
{
    chunk = s.buffers.data.data();
    long long got;
    if (s.inflating)
        got = s.ended ? 0 : inflate_chunk(s);
    else
        got = zip_fread(s.file, s.buffers.data.data(), s.buffers.data.size());
    if (got < 0)
        return -1;
    if (s.check_crc)
        s.crc = update_crc32(s.crc, chunk, static_cast<std::size_t>(got));
    s.total += static_cast<zip_uint64_t>(got);
    if (s.total > s.expected_size)
        return -1;
    if (got == 0 && (s.total != s.expected_size || (s.check_crc && s.crc != s.expected_crc)))
        return -1;
    return got;
}

bool has_raw_reader(const zip_stat_t& stat)
{
    constexpr zip_uint64_t needed = ZIP_STAT_SIZE | ZIP_STAT_CRC | ZIP_STAT_COMP_METHOD;
    return (stat.valid & needed) == needed &&
           (stat.comp_method == ZIP_CM_STORE || stat.comp_method == ZIP_CM_DEFLATE);
}

bool is_encrypted(const zip_stat_t& stat)
{
    return (stat.valid & ZIP_STAT_ENCRYPTION_METHOD) != 0 && stat.encryption_method != ZIP_EM_NONE;
}

bool read_symlink_target(zip_t* archive, zip_uint64_t index, zip_uint64_t size, std::string& target)
{
    if (size == 0 || size > max_symlink_target)
        return false;
    zip_entry_ptr entry(zip_fopen_index(archive, index, 0));
    if (!entry)
        return false;
    target.assign(size, '\0');
    const zip_int64_t got = zip_fread(entry.get(), target.data(), size);
    char extra;
    return got == static_cast<zip_int64_t>(size) && zip_fread(entry.get(), &extra, 1) == 0;
}

bool extract_file(zip_t* archive, zip_uint64_t index, const zip_stat_t& stat, const fs::path& dest,
                  const std::vector<std::string>& parts, unsigned mode, chunk_buffers& buffers)
{
    // Raw reading would hand over encrypted bytes unchecked; such entries
    // are refused, as no password is ever given.
    if (is_encrypted(stat))
        return false;
    const bool raw = has_raw_reader(stat);
    zip_entry_ptr entry(zip_fopen_index(archive, index, raw ? ZIP_FL_COMPRESSED : 0));
    if (!entry)
        return false;
    entry_stream stream(entry.get(), stat, raw, buffers);
    if (raw && stat.comp_method == ZIP_CM_DEFLATE && !start_inflating(stream))
        return false;
    return write_entry_file(dest, parts, mode, stat.mtime,
                            [&stream](const char*& chunk) { return next_chunk(stream, chunk); });
}

bool extract_symlink(zip_t* archive, zip_uint64_t index, const zip_stat_t& stat,
                     const fs::path& dest, const std::vector<std::string>& parts)
{
    std::string target;
    return read_symlink_target(archive, index, stat.size, target) &&
           symlink_target_stays_inside(parts, target) &&
           write_entry_symlink(dest, parts, target);
}

// Returns false for an entry that must be refused or could not be written;
// raises filesystem_error when a directory can't be created.
bool extract_entry(zip_t* archive, zip_uint64_t index, const zip_stat_t& stat, const fs::path& dest,
                   chunk_buffers& buffers)
{
    std::vector<std::string> parts;
    if (!safe_entry_components(stat.name, parts))
        return false;
    const entry_info info = classify_entry(archive, index, stat.name);
    if (info.kind == entry_kind::directory) {
        create_entry_directories(dest, parts, info.mode);
        return true;
    }
    if (parts.empty())
        return false;
    if (info.kind == entry_kind::symlink)
        return extract_symlink(archive, index, stat, dest, parts);
    return extract_file(archive, index, stat, dest, parts, info.mode, buffers);
}

bool extract_entries(zip_t* archive, zip_int64_t count, const fs::path& dest)
{
    chunk_buffers buffers;
    for (zip_int64_t i = 0; i < count; ++i) {
        const auto index = static_cast<zip_uint64_t>(i);
        zip_stat_t stat;
        zip_stat_init(&stat);
        if (zip_stat_index(archive, index, 0, &stat) != 0 || (stat.valid & ZIP_STAT_NAME) == 0) {
            spdlog::error("Failed to stat file index {}", i);
            return false;
        }
        if (!extract_entry(archive, index, stat, dest, buffers)) {
            spdlog::error("Failed to extract: {}", stat.name);
            return false;
        }
    }
    return true;
}

}  // namespace

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

bool symlink_target_stays_inside(const std::vector<std::string>& link_components,
                                 const std::string& target)
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

bool extract_zip(const std::string& package_path, const std::string& dest_dir)
{
    int open_error = 0;
    // Not ZIP_CHECKCONS: it rejects archives that name a path twice, which
    // must extract with the later entry winning. Every entry's data is still
    // checked against its CRC-32 and size as it is read.
    zip_archive_ptr archive(zip_open(package_path_for_zip(package_path).c_str(), ZIP_RDONLY, &open_error));
    if (!archive) {
        spdlog::error("Failed to open zip: {}", package_path);
        return false;
    }
    const zip_int64_t count = zip_get_num_entries(archive.get(), 0);
    spdlog::info("Extracting {} files from {}", count, package_path);
    if (!extract_entries(archive.get(), count, path_from_narrow(dest_dir)))
        return false;
    archive.reset();
    spdlog::info("Extraction complete: {} files", count);
    return true;
}

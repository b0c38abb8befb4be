// Where each entry's data lies in the package. The zip library finds it but
// does not tell, and a library handle per worker would hold the whole
// central directory once for each. So the central directory is read once
// more here, for the offsets of the local headers only, and each of its
// entries must match the library's entry of the same index. Where the two
// disagree the library's view stands and the offsets are not used.
#include "entry_data.h"

#include <algorithm>
#include <cstring>
#include <iterator>

namespace {

constexpr std::uint32_t end_signature = 0x06054b50;
constexpr std::uint32_t zip64_locator_signature = 0x07064b50;
constexpr std::uint32_t zip64_end_signature = 0x06064b50;
constexpr std::uint32_t central_signature = 0x02014b50;
constexpr std::uint32_t local_signature = 0x04034b50;
constexpr std::size_t end_size = 22;
constexpr std::size_t zip64_locator_size = 20;
constexpr std::size_t zip64_end_size = 56;
constexpr std::size_t central_size = 46;
constexpr std::size_t local_size = 30;
constexpr std::size_t max_comment = 65535;
// A central header field with this value is given in the zip64 extra field.
constexpr std::uint64_t in_zip64_extra = 0xffffffff;
constexpr std::uint64_t zip64_extra_id = 1;

std::uint64_t little_endian(const unsigned char* bytes, std::size_t count)
{
    std::uint64_t value = 0;
    for (std::size_t i = count; i-- > 0;)
        value = value << 8 | bytes[i];
    return value;
}

// A stretch of the package in a buffer, moved on as a walk needs.
struct package_window {
    const package_file& package;
    std::vector<unsigned char>& buffer;
    std::uint64_t start;
    std::size_t filled;
};

// The size bytes at offset, valid until the next call; null where the
// package ends before them or can't be read.
const unsigned char* window_bytes(package_window& window, std::uint64_t offset, std::size_t size)
{
    const bool inside = offset >= window.start && offset - window.start <= window.filled &&
                        size <= window.filled - (offset - window.start);
    if (!inside) {
        const long long got = read_package_at(window.package, offset, window.buffer.data(), window.buffer.size());
        window.start = offset;
        window.filled = got < 0 ? 0 : static_cast<std::size_t>(got);
        if (size > window.filled)
            return nullptr;
    }
    return window.buffer.data() + (offset - window.start);
}

struct directory_location {
    std::uint64_t offset;
    std::uint64_t entries;
};

// Reads the end record at offset and, where a zip64 locator precedes it
// (as the zip library, too, then takes it), the zip64 end record.
bool read_end_records(package_window& window, std::uint64_t offset, directory_location& where)
{
    const unsigned char* end = window_bytes(window, offset, end_size);
    if (!end || little_endian(end, 4) != end_signature)
        return false;
    where = {little_endian(end + 16, 4), little_endian(end + 10, 2)};
    const unsigned char* locator =
        offset < zip64_locator_size ? nullptr : window_bytes(window, offset - zip64_locator_size, zip64_locator_size);
    if (!locator || little_endian(locator, 4) != zip64_locator_signature)
        return true;
    const unsigned char* record = window_bytes(window, little_endian(locator + 8, 8), zip64_end_size);
    if (!record || little_endian(record, 4) != zip64_end_signature)
        return false;
    where = {little_endian(record + 48, 8), little_endian(record + 32, 8)};
    return true;
}

// Replaces the sizes and the offset that the central header leaves to the
// zip64 extra field with its values, which come in that order.
bool apply_zip64_extra(const unsigned char* extra, std::size_t size, std::uint64_t (&fields)[3])
{
    if (std::find(std::begin(fields), std::end(fields), in_zip64_extra) == std::end(fields))
        return true;
    for (std::size_t at = 0; at + 4 <= size;) {
        const std::size_t length = little_endian(extra + at + 2, 2);
        if (length > size - at - 4)
            return false;
        if (little_endian(extra + at, 2) == zip64_extra_id) {
            std::size_t used = 0;
            for (std::uint64_t& field : fields) {
                if (field != in_zip64_extra)
                    continue;
                if (used + 8 > length)
                    return false;
                field = little_endian(extra + at + 4 + used, 8);
                used += 8;
            }
            return true;
        }
        at += 4 + length;
    }
    return false;
}

bool same_entry(zip_t* archive, zip_uint64_t index, const zip_stat_t& stat, const unsigned char* name,
                std::size_t name_size, std::uint64_t compressed, std::uint64_t crc)
{
    const char* raw_name = zip_get_name(archive, index, ZIP_FL_ENC_RAW);
    return raw_name && std::strlen(raw_name) == name_size && std::memcmp(raw_name, name, name_size) == 0 &&
           compressed == stat.comp_size && crc == stat.crc;
}

// Walks the central directory at where, reading each entry's local header
// offset and checking the entry against the library's.
bool read_directory(package_window& window, const directory_location& where, zip_t* archive,
                    const std::vector<zip_stat_t>& stats, std::vector<std::uint64_t>& offsets)
{
    std::uint64_t at = where.offset;
    for (zip_uint64_t index = 0; index < stats.size(); ++index) {
        const unsigned char* header = window_bytes(window, at, central_size);
        if (!header || little_endian(header, 4) != central_signature)
            return false;
        const std::uint64_t crc = little_endian(header + 16, 4);
        // uncompressed size, compressed size, local header offset
        std::uint64_t fields[3] = {little_endian(header + 24, 4), little_endian(header + 20, 4),
                                   little_endian(header + 42, 4)};
        const std::size_t name_size = little_endian(header + 28, 2);
        const std::size_t extra_size = little_endian(header + 30, 2);
        const std::size_t comment_size = little_endian(header + 32, 2);
        const unsigned char* name = window_bytes(window, at + central_size, name_size + extra_size);
        if (!name || !apply_zip64_extra(name + name_size, extra_size, fields) ||
            !same_entry(archive, index, stats[index], name, name_size, fields[1], crc))
            return false;
        offsets[index] = fields[2];
        at += central_size + name_size + extra_size + comment_size;
    }
    return true;
}

// Where end records may start: every signature in the package's last
// 64 KiB and 22 bytes (the longest comment and the record), the last first.
std::vector<std::uint64_t> end_record_candidates(package_window& window, std::uint64_t package_size)
{
    const std::uint64_t tail_start = package_size - std::min<std::uint64_t>(package_size, end_size + max_comment);
    const std::size_t tail_size = static_cast<std::size_t>(package_size - tail_start);
    const unsigned char* tail = window_bytes(window, tail_start, tail_size);
    std::vector<std::uint64_t> candidates;
    for (std::size_t at = tail && tail_size >= end_size ? tail_size - end_size + 1 : 0; at-- > 0;)
        if (little_endian(tail + at, 4) == end_signature)
            candidates.push_back(tail_start + at);
    return candidates;
}

}  // namespace

bool read_local_header_offsets(const package_file& package, zip_t* archive, zip_uint64_t count,
                               const std::vector<zip_stat_t>& stats, entry_data_buffers& buffers,
                               std::vector<std::uint64_t>& offsets)
{
    offsets.assign(stats.size(), unknown_offset);
    std::uint64_t package_size = 0;
    if (stats.empty() || !package_file_size(package, package_size))
        return stats.empty();
    package_window window{package, buffers.raw, 0, 0};
    // A package may hold more than one directory that agrees with the zip
    // library's on every name, size and CRC-32 (a second end record hidden in
    // the comment) while pointing at other data. Which one the library reads
    // can't be told from here, so only a package where every agreeing
    // directory points at the same data is read at offsets.
    std::vector<std::uint64_t> found;
    for (const std::uint64_t candidate : end_record_candidates(window, package_size)) {
        directory_location where{};
        std::vector<std::uint64_t> candidate_offsets(stats.size(), unknown_offset);
        if (!read_end_records(window, candidate, where) || where.entries != count ||
            !read_directory(window, where, archive, stats, candidate_offsets))
            continue;
        if (!found.empty() && found != candidate_offsets) {
            found.clear();
            break;
        }
        found = std::move(candidate_offsets);
    }
    if (found.empty())
        return false;
    offsets = std::move(found);
    return true;
}

bool entry_data_offset(const package_file& package, std::uint64_t local_header, std::uint64_t& data_offset)
{
    unsigned char header[local_size];
    if (read_package_at(package, local_header, header, sizeof header) != static_cast<long long>(sizeof header) ||
        little_endian(header, 4) != local_signature)
        return false;
    // The local name and extra field may differ in length from the
    // central directory's.
    data_offset = local_header + local_size + little_endian(header + 26, 2) + little_endian(header + 28, 2);
    return true;
}

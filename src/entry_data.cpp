// Reading entry data. Stored and deflated entries, nearly all there are, are
// read raw from the package in large chunks at their offsets, through the
// worker's own handle, inflated here and checked against the recorded
// CRC-32. That skips the zip library's own layers, which read the package a
// few kilobytes at a time with a seek before each read, through one file
// position that threads can't share. Other methods go through the library,
// which checks their CRC-32 itself.
#include "entry_data.h"

#include <algorithm>

namespace {

constexpr std::size_t raw_chunk_size = 256 * 1024;
constexpr std::size_t data_chunk_size = 64 * 1024;
// How far ahead of its reads a long entry's data is asked for, in steps
// that each stay within what one request may bring in (Linux brings in at
// most the device's read-ahead size per request, 128 KiB by default).
constexpr std::uint64_t read_ahead_window = 128 << 20;
constexpr std::uint64_t read_ahead_step = 128 << 10;

bool has_raw_reader(const zip_stat_t& stat)
{
    constexpr zip_uint64_t needed = ZIP_STAT_SIZE | ZIP_STAT_COMP_SIZE | ZIP_STAT_CRC | ZIP_STAT_COMP_METHOD;
    return (stat.valid & needed) == needed &&
           (stat.comp_method == ZIP_CM_STORE || stat.comp_method == ZIP_CM_DEFLATE);
}

bool is_encrypted(const zip_stat_t& stat)
{
    return (stat.valid & ZIP_STAT_ENCRYPTION_METHOD) != 0 && stat.encryption_method != ZIP_EM_NONE;
}

bool start_inflating(entry_data& data)
{
    entry_data_buffers& buffers = *data.buffers;
    if (!buffers.decoder)
        buffers.decoder = new_deflate_decoder();
    data.inflating = buffers.decoder && restart_deflate_decoder(*buffers.decoder);
    return data.inflating;
}

void keep_reading_ahead(entry_data& data)
{
    const std::uint64_t until = data.raw_offset + std::min(data.raw_left, read_ahead_window);
    std::uint64_t from = std::max(data.read_ahead_until, data.raw_offset);
    for (; from < until; from += read_ahead_step)
        read_package_ahead(*data.package, from, std::min(read_ahead_step, until - from));
    data.read_ahead_until = std::max(data.read_ahead_until, until);
}

// Reads the next chunk of compressed data; false when the package can't
// be read or ends before the entry's data does.
bool refill_raw(entry_data& data)
{
    std::vector<unsigned char>& raw = data.buffers->raw;
    const std::size_t wanted = static_cast<std::size_t>(std::min<std::uint64_t>(raw.size(), data.raw_left));
    if (data.raw_left > wanted)
        keep_reading_ahead(data);
    if (wanted > 0 && read_package_at(*data.package, data.raw_offset, raw.data(), wanted) !=
                          static_cast<long long>(wanted))
        return false;
    data.raw_offset += wanted;
    data.raw_left -= wanted;
    data.raw_ended = wanted == 0;
    data.window.in = raw.data();
    data.window.in_size = wanted;
    return true;
}

// Stored data needs no decoding: it is handed over from the raw buffer.
long long stored_chunk(entry_data& data, const char*& chunk)
{
    if (!refill_raw(data))
        return -1;
    chunk = reinterpret_cast<const char*>(data.window.in);
    return static_cast<long long>(data.window.in_size);
}

// Inflates into the data buffer until it is full or the stream ends;
// returns the byte count or -1 on damaged data. The decoder may still owe
// output after the last compressed byte is read, so running out of input
// is damage only once a call makes no progress at all.
long long inflate_chunk(entry_data& data)
{
    std::vector<char>& out = data.buffers->data;
    inflate_window& window = data.window;
    window.out = out.data();
    window.out_size = out.size();
    while (window.out_size > 0 && !data.ended) {
        if (window.in_size == 0 && !data.raw_ended && !refill_raw(data))
            return -1;
        const std::size_t in_before = window.in_size;
        const std::size_t out_before = window.out_size;
        const inflate_status status = inflate_some(*data.buffers->decoder, window);
        if (status == inflate_status::damaged)
            return -1;
        data.ended = status == inflate_status::ended;
        if (!data.ended && window.in_size == in_before && window.out_size == out_before && data.raw_ended)
            return -1;  // the compressed data ended before the stream did
    }
    return static_cast<long long>(out.size() - window.out_size);
}

// The entry's data follows its local header.
bool open_raw(const entry_source& source, const zip_stat_t& stat, entry_data& data)
{
    if (!entry_data_offset(*source.package, source.local_header, data.raw_offset))
        return false;
    data.package = source.package;
    data.raw_left = stat.comp_size;
    return true;
}

}  // namespace

entry_data_buffers new_entry_data_buffers()
{
    return {std::vector<unsigned char>(raw_chunk_size), std::vector<char>(data_chunk_size), nullptr};
}

bool read_through_library(const zip_stat_t& stat)
{
    return !is_encrypted(stat) && !has_raw_reader(stat);
}

bool open_entry_data(const entry_source& source, const zip_stat_t& stat, entry_data_buffers& buffers,
                     entry_data& data)
{
    // Raw reading would hand over encrypted bytes unchecked; such entries
    // are refused, as no password is ever given.
    if (is_encrypted(stat))
        return false;
    data.buffers = &buffers;
    data.expected_size = stat.size;
    data.expected_crc = stat.crc;
    if (has_raw_reader(stat) && source.package && source.local_header != unknown_offset)
        return open_raw(source, stat, data) && !(stat.comp_method == ZIP_CM_DEFLATE && !start_inflating(data));
    if (source.archive)
        data.file.reset(zip_fopen_index(source.archive, source.index, 0));
    return data.file != nullptr;
}

// The size check backs up the CRC: a stream that ends early or runs long
// must never pass as a complete file.
long long next_entry_chunk(entry_data& data, const char*& chunk)
{
    std::vector<char>& out = data.buffers->data;
    chunk = out.data();
    long long got;
    if (data.inflating)
        got = data.ended ? 0 : inflate_chunk(data);
    else if (data.package)
        got = stored_chunk(data, chunk);
    else
        got = zip_fread(data.file.get(), out.data(), out.size());
    if (got < 0)
        return -1;
    if (data.package)
        data.crc = update_crc32(data.crc, chunk, static_cast<std::size_t>(got));
    data.total += static_cast<zip_uint64_t>(got);
    if (data.total > data.expected_size)
        return -1;
    if (got == 0 && (data.total != data.expected_size || (data.package && data.crc != data.expected_crc)))
        return -1;
    return got;
}

// The deflate decoder and CRC-32 that extraction uses. The same tests run
// against each decoder the build can select, with zlib's encoder and CRC as
// the reference.
#include "deflate.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <random>

namespace {

std::string sample_data(std::size_t size, unsigned seed)
{
    // Runs of repeated words (long matches) between random stretches
    // (literals and stored blocks).
    std::mt19937 rng(seed);
    std::string data;
    const std::string words[] = {"alpha ", "beta ", "gamma\n", "delta, ", "epsilon "};
    while (data.size() < size) {
        if (rng() % 4 == 0) {
            for (int i = 0; i < 2000; ++i)
                data += static_cast<char>(rng());
        } else {
            for (int i = 0; i < 500; ++i)
                data += words[rng() % 5];
        }
    }
    data.resize(size);
    return data;
}

std::string raw_deflate(const std::string& data, int level)
{
    z_stream z{};
    EXPECT_EQ(deflateInit2(&z, level, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY), Z_OK);
    std::string out(deflateBound(&z, data.size()), '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    z.avail_in = static_cast<uInt>(data.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

struct decode_result {
    inflate_status status = inflate_status::running;
    std::string output;
};

// Feeds the stream in_piece bytes at a time into out_piece-byte windows, as
// extraction does, and keeps calling without input once it is used up,
// until the decoder ends, fails or stops making progress.
decode_result decode(deflate_decoder& decoder, const std::string& stream, std::size_t in_piece,
                     std::size_t out_piece)
{
    decode_result result;
    std::vector<char> out(out_piece);
    std::size_t offset = 0;
    for (;;) {
        const std::size_t take = std::min(in_piece, stream.size() - offset);
        inflate_window window{reinterpret_cast<const unsigned char*>(stream.data()) + offset, take,
                              out.data(), out.size()};
        result.status = inflate_some(decoder, window);
        const std::size_t used = take - window.in_size;
        const std::size_t produced = out.size() - window.out_size;
        offset += used;
        result.output.append(out.data(), produced);
        if (result.status != inflate_status::running)
            return result;
        if (used == 0 && produced == 0 && offset == stream.size())
            return result;  // nothing more will come
    }
}

TEST(deflate_decoder, decodes_any_split_of_input_and_output)
{
    const std::string data = sample_data(600 * 1024, 1);
    const std::string stream = raw_deflate(data, 6);
    deflate_decoder_ptr decoder = new_deflate_decoder();
    ASSERT_TRUE(decoder);
    // Whole chunks as extraction uses them, then pieces small enough that
    // matches, block headers and the end code straddle every boundary.
    const std::pair<std::size_t, std::size_t> splits[] = {
        {256 * 1024, 64 * 1024}, {1, 64 * 1024}, {stream.size(), 1}, {3, 7}, {4096, 1000}};
    for (const auto& [in_piece, out_piece] : splits) {
        ASSERT_TRUE(restart_deflate_decoder(*decoder));
        const decode_result result = decode(*decoder, stream, in_piece, out_piece);
        EXPECT_EQ(result.status, inflate_status::ended) << in_piece << "/" << out_piece;
        EXPECT_TRUE(result.output == data) << in_piece << "/" << out_piece;
    }
}

TEST(deflate_decoder, reports_damage_and_never_ends_a_cut_stream)
{
    deflate_decoder_ptr decoder = new_deflate_decoder();
    // A final block of the reserved type 3.
    EXPECT_EQ(decode(*decoder, std::string("\x07\x00\x00\x00", 4), 4, 1024).status, inflate_status::damaged);

    // A stored block whose length and its complement disagree.
    ASSERT_TRUE(restart_deflate_decoder(*decoder));
    EXPECT_EQ(decode(*decoder, std::string("\x01\x05\x00\x00\x00", 5), 5, 1024).status,
              inflate_status::damaged);

    // The first half of a good stream: the decoder must not claim the end.
    const std::string data = sample_data(200 * 1024, 2);
    const std::string stream = raw_deflate(data, 6);
    ASSERT_TRUE(restart_deflate_decoder(*decoder));
    const decode_result cut = decode(*decoder, stream.substr(0, stream.size() / 2), 1000, 4096);
    EXPECT_NE(cut.status, inflate_status::ended);
    EXPECT_LT(cut.output.size(), data.size());

    // And a restart after all that decodes a good stream in full.
    ASSERT_TRUE(restart_deflate_decoder(*decoder));
    const decode_result whole = decode(*decoder, stream, 1000, 4096);
    EXPECT_EQ(whole.status, inflate_status::ended);
    EXPECT_TRUE(whole.output == data);
}

TEST(crc32, matches_the_reference_in_one_piece_and_in_many)
{
    EXPECT_EQ(update_crc32(0, "123456789", 9), 0xCBF43926u);
    EXPECT_EQ(update_crc32(0, "", 0), 0u);
    const std::string data = sample_data(300 * 1024 + 13, 3);
    const auto reference =
        static_cast<std::uint32_t>(crc32_z(0, reinterpret_cast<const Bytef*>(data.data()), data.size()));
    EXPECT_EQ(update_crc32(0, data.data(), data.size()), reference);
    std::uint32_t chained = 0;
    for (std::size_t offset = 0, piece = 1; offset < data.size(); offset += piece, piece = piece * 3 + 1)
        chained = update_crc32(chained, data.data() + offset, std::min(piece, data.size() - offset));
    EXPECT_EQ(chained, reference);
}

}  // namespace

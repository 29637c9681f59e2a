#include "image/image_fingerprint.h"

#include <cstdio>

#include <array>
#include <cstring>

#include "console/trace.h"

namespace {

// CRC-32 with the reflected polynomial 0xEDB88320, eight bytes per step
// ("slicing by 8"): a megabyte in about a millisecond.
using CrcTables = std::array<std::array<std::uint32_t, 256>, 8>;

constexpr CrcTables make_crc_tables() {
    CrcTables tables{};
    for (std::uint32_t n = 0; n < 256; ++n) {
        std::uint32_t c = n;
        for (int k = 0; k < 8; ++k) c = (c & 1U) != 0 ? 0xEDB88320U ^ (c >> 1) : c >> 1;
        tables[0][n] = c;
    }
    for (std::size_t t = 1; t < 8; ++t) {
        for (std::size_t n = 0; n < 256; ++n) {
            tables[t][n] = (tables[t - 1][n] >> 8) ^ tables[0][tables[t - 1][n] & 0xFF];
        }
    }
    return tables;
}

constexpr CrcTables CRC = make_crc_tables();

// SHA-256 (FIPS 180-4).
constexpr std::uint32_t K[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

constexpr std::uint32_t rotr(std::uint32_t x, int n) {
    return (x >> n) | (x << (32 - n));
}

void sha256_block(std::uint32_t state[8], const std::uint8_t* block) {
    std::uint32_t w[64];
    for (std::size_t i = 0; i < 16; ++i) {
        w[i] = (static_cast<std::uint32_t>(block[4 * i]) << 24) | (static_cast<std::uint32_t>(block[4 * i + 1]) << 16) |
               (static_cast<std::uint32_t>(block[4 * i + 2]) << 8) | block[4 * i + 3];
    }
    for (std::size_t i = 16; i < 64; ++i) {
        const std::uint32_t s0 = rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
        const std::uint32_t s1 = rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
        w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    std::uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
    for (std::size_t i = 0; i < 64; ++i) {
        const std::uint32_t t1 = h + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + ((e & f) ^ (~e & g)) + K[i] + w[i];
        const std::uint32_t t2 = (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
        h = g;
        g = f;
        f = e;
        e = d + t1;
        d = c;
        c = b;
        b = a;
        a = t1 + t2;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
    state[5] += f;
    state[6] += g;
    state[7] += h;
}

}  // namespace

std::uint32_t crc32_of(const std::uint8_t* data, std::size_t size, std::uint32_t crc) {
    std::uint32_t c = ~crc;
    for (; size >= 8; data += 8, size -= 8) {
        const std::uint32_t low = c ^ (static_cast<std::uint32_t>(data[0]) | (static_cast<std::uint32_t>(data[1]) << 8) |
                                       (static_cast<std::uint32_t>(data[2]) << 16) |
                                       (static_cast<std::uint32_t>(data[3]) << 24));
        c = CRC[7][low & 0xFF] ^ CRC[6][(low >> 8) & 0xFF] ^ CRC[5][(low >> 16) & 0xFF] ^ CRC[4][low >> 24] ^
            CRC[3][data[4]] ^ CRC[2][data[5]] ^ CRC[1][data[6]] ^ CRC[0][data[7]];
    }
    for (; size > 0; ++data, --size) c = CRC[0][(c ^ *data) & 0xFF] ^ (c >> 8);
    return ~c;
}

void sha256_of(const std::uint8_t* data, std::size_t size, std::uint8_t digest[32]) {
    std::uint32_t state[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                              0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    const std::uint64_t bits = static_cast<std::uint64_t>(size) * 8;
    std::size_t done = 0;
    for (; size - done >= 64; done += 64) sha256_block(state, data + done);
    // The rest, the 0x80 end mark, zeros, and the length in bits: one or two blocks.
    std::uint8_t tail[128] = {};
    const std::size_t rest = size - done;
    if (rest > 0) std::memcpy(tail, data + done, rest);
    tail[rest] = 0x80;
    const std::size_t tail_size = rest < 56 ? 64 : 128;
    for (int i = 0; i < 8; ++i) tail[tail_size - 1 - i] = static_cast<std::uint8_t>(bits >> (8 * i));
    for (std::size_t at = 0; at < tail_size; at += 64) sha256_block(state, tail + at);
    for (std::size_t i = 0; i < 8; ++i) {
        for (std::size_t k = 0; k < 4; ++k) digest[4 * i + k] = static_cast<std::uint8_t>(state[i] >> (24 - 8 * k));
    }
}

void format_sha256(const std::uint8_t digest[32], char text[65]) {
    static const char HEX[] = "0123456789abcdef";
    for (std::size_t i = 0; i < 32; ++i) {
        text[2 * i] = HEX[digest[i] >> 4];
        text[2 * i + 1] = HEX[digest[i] & 0x0F];
    }
    text[64] = '\0';
}

void trace_fingerprint(const ImageFingerprint& fingerprint) {
    if (!tracing()) return;
    char sha256[65];
    format_sha256(fingerprint.sha256, sha256);
    trace("image sent: CRC-32 0x%08X, SHA-256 %s", fingerprint.crc32, sha256);
}

ImageFingerprint fingerprint_image(const ImageWindow& image) {
    ImageFingerprint fingerprint{};
    fingerprint.crc32 = crc32_of(image.bytes, TRANSFER_LENGTH);
    sha256_of(image.bytes, TRANSFER_LENGTH, fingerprint.sha256);
    return fingerprint;
}

std::string crc32_text(std::uint32_t crc32) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", crc32);
    return text;
}

std::string sha256_text(const std::uint8_t digest[32]) {
    char text[65];
    format_sha256(digest, text);
    return text;
}

#include "bytes.hpp"

#include <cctype>
#include <cstring>

namespace sndlatch {

namespace {

const char *const kTruncated = "the file is truncated or its headers are inconsistent";

} // namespace

uint16_t rd16(const Bytes &b, size_t off) {
    if (off > b.size() || b.size() - off < 2)
        refuse(Reason::Damaged, kTruncated);
    return uint16_t(b[off] | (b[off + 1] << 8));
}

uint32_t rd32(const Bytes &b, size_t off) {
    if (off > b.size() || b.size() - off < 4)
        refuse(Reason::Damaged, kTruncated);
    return uint32_t(b[off]) | (uint32_t(b[off + 1]) << 8) | (uint32_t(b[off + 2]) << 16) |
           (uint32_t(b[off + 3]) << 24);
}

void ByteSource::read(size_t off, void *dst, size_t len) const {
    if (off > size() || size() - off < len)
        refuse(Reason::Damaged, kTruncated);
    if (len != 0)
        read_checked(off, dst, len);
}

uint8_t ByteSource::at(size_t off) const {
    uint8_t b = 0;
    read(off, &b, 1);
    return b;
}

uint16_t rd16(const ByteSource &b, size_t off) {
    uint8_t v[2];
    b.read(off, v, 2);
    return uint16_t(v[0] | (v[1] << 8));
}

uint32_t rd32(const ByteSource &b, size_t off) {
    uint8_t v[4];
    b.read(off, v, 4);
    return uint32_t(v[0]) | (uint32_t(v[1]) << 8) | (uint32_t(v[2]) << 16) | (uint32_t(v[3]) << 24);
}

void BytesSource::read_checked(size_t off, void *dst, size_t len) const {
    std::memcpy(dst, bytes_.data() + off, len);
}

void wr16(Bytes &b, size_t off, uint16_t v) {
    if (off > b.size() || b.size() - off < 2)
        throw std::out_of_range("wr16 past end");
    b[off] = uint8_t(v);
    b[off + 1] = uint8_t(v >> 8);
}

void wr32(Bytes &b, size_t off, uint32_t v) {
    if (off > b.size() || b.size() - off < 4)
        throw std::out_of_range("wr32 past end");
    for (int i = 0; i < 4; ++i)
        b[off + i] = uint8_t(v >> (8 * i));
}

uint64_t align_up(uint64_t v, uint64_t a) {
    return (v + a - 1) & ~(a - 1);
}

bool iequals(const std::string &a, const std::string &b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    }
    return true;
}

} // namespace sndlatch

// Bytes of an untrusted file: bounds-checked little-endian access to a
// buffer or to a file read on demand. A read past the end is a Refusal (the
// file is truncated); a write past the end is a bug in the caller.
#pragma once

#include "refusal.hpp"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace sndlatch {

using Bytes = std::vector<uint8_t>;

// Little-endian access. Reads past the end raise a Refusal (the input is
// truncated); writes past the end are a bug in the caller and throw
// std::out_of_range.
uint16_t rd16(const Bytes &b, size_t off);
uint32_t rd32(const Bytes &b, size_t off);

// Read-only random access to the bytes of a file, whether they are in
// memory or still on disk. read() raises a Refusal for any range that does
// not lie within size(), like rd16 and rd32.
class ByteSource {
  public:
    virtual ~ByteSource() = default;
    virtual size_t size() const = 0;
    // Copies [off, off + len) to dst.
    void read(size_t off, void *dst, size_t len) const;
    uint8_t at(size_t off) const;

  protected:
    // Called with a range already checked against size().
    virtual void read_checked(size_t off, void *dst, size_t len) const = 0;
};

uint16_t rd16(const ByteSource &b, size_t off);
uint32_t rd32(const ByteSource &b, size_t off);

// A ByteSource over a buffer, which must outlive it.
class BytesSource : public ByteSource {
  public:
    explicit BytesSource(const Bytes &bytes) : bytes_(bytes) {}
    size_t size() const override {
        return bytes_.size();
    }

  protected:
    void read_checked(size_t off, void *dst, size_t len) const override;

  private:
    const Bytes &bytes_;
};

void wr16(Bytes &b, size_t off, uint16_t v);
void wr32(Bytes &b, size_t off, uint32_t v);

// Rounds v up to a multiple of a (a power of two); no overflow for values
// that fit in 32 bits.
uint64_t align_up(uint64_t v, uint64_t a);

// Case-insensitive ASCII comparison, as the Windows loader compares names.
bool iequals(const std::string &a, const std::string &b);

} // namespace sndlatch

// Realising a patch plan: in memory, streamed to a file, or read as a file
// before it exists.
#include "patch.hpp"

#include <algorithm>
#include <cstring>
#include <ostream>

namespace sndlatch {

namespace {

// The input is streamed through a buffer of this size.
constexpr size_t kStreamChunk = 256 * 1024;

// What planned_output() returns.
class PlannedOutput : public ByteSource {
  public:
    PlannedOutput(const PatchPlan &plan, std::shared_ptr<const ByteSource> input)
        : plan_(plan), input_(std::move(input)) {}
    size_t size() const override {
        return plan_.size;
    }

  protected:
    void read_checked(size_t off, void *dst, size_t len) const override {
        uint8_t *to = static_cast<uint8_t *>(dst);
        size_t start = 0;
        for (const OutputPiece &p : plan_.pieces) {
            if (len == 0)
                break;
            if (off < start + p.size) {
                const size_t in = off - start, n = std::min(len, p.size - in);
                if (p.from_input)
                    input_->read(p.input_off + in, to, n);
                else
                    std::memcpy(to, p.bytes.data() + in, n);
                to += n;
                off += n;
                len -= n;
            }
            start += p.size;
        }
        if (len != 0)
            throw std::logic_error("the plan's pieces do not add up to its size");
    }

  private:
    const PatchPlan &plan_;
    std::shared_ptr<const ByteSource> input_;
};

// The PE checksum over bytes that arrive in pieces of any length: the sum
// of all little-endian 16-bit words, folded to 16 bits, plus the length.
class Checksum {
  public:
    void add(const uint8_t *p, size_t n) {
        if (n != 0 && odd_) {
            sum_ += uint32_t(p[0]) << 8 | pending_;
            odd_ = false;
            ++p;
            --n;
        }
        sum_ += sum_words(p, n / 2);
        if (n % 2) {
            pending_ = p[n - 1];
            odd_ = true;
        }
    }
    uint32_t finish(size_t total_size) {
        uint64_t s = sum_ + (odd_ ? pending_ : 0);
        while (s >> 16)
            s = (s & 0xFFFF) + (s >> 16);
        return uint32_t(s + total_size);
    }

  private:
    static bool little_endian() {
        const uint16_t one = 1;
        uint8_t first;
        std::memcpy(&first, &one, 1);
        return first == 1;
    }

    // Sum of n little-endian words. On a little-endian machine, eight bytes
    // at a time: four 16-bit words are added into 32-bit lanes of two
    // accumulators, which are emptied before a lane could overflow.
    static uint64_t sum_words(const uint8_t *p, size_t n) {
        static const bool fast = little_endian();
        uint64_t total = 0;
        constexpr uint64_t kLanes = 0x0000FFFF0000FFFFull;
        while (fast && n >= 4) {
            const size_t qwords = std::min<size_t>(n / 4, size_t(1) << 15);
            uint64_t a = 0, b = 0;
            for (size_t i = 0; i < qwords; ++i) {
                uint64_t x;
                std::memcpy(&x, p + 8 * i, 8);
                a += x & kLanes;
                b += (x >> 16) & kLanes;
            }
            total += (a & 0xFFFFFFFF) + (a >> 32) + (b & 0xFFFFFFFF) + (b >> 32);
            p += 8 * qwords;
            n -= 4 * qwords;
        }
        for (size_t i = 0; i < n; ++i)
            total += uint32_t(p[2 * i]) | uint32_t(p[2 * i + 1]) << 8;
        return total;
    }

    uint64_t sum_ = 0;
    uint8_t pending_ = 0;
    bool odd_ = false;
};

} // namespace

std::shared_ptr<const ByteSource> planned_output(const PatchPlan &plan,
                                                 std::shared_ptr<const ByteSource> input) {
    return std::make_shared<PlannedOutput>(plan, std::move(input));
}

Bytes build_patched(const Bytes &file, const Analysis &a, const PatchOptions &opts) {
    const PatchPlan plan = plan_patch(a, opts);
    Bytes out;
    out.reserve(plan.size);
    for (const OutputPiece &p : plan.pieces) {
        if (!p.from_input) {
            out.insert(out.end(), p.bytes.begin(), p.bytes.end());
            continue;
        }
        if (p.input_off > file.size() || file.size() - p.input_off < p.size)
            throw std::logic_error("the plan reads past the end of the input");
        out.insert(out.end(), file.begin() + ptrdiff_t(p.input_off),
                   file.begin() + ptrdiff_t(p.input_off + p.size));
    }
    if (plan.set_checksum)
        wr32(out, plan.checksum_off, pe_checksum(out, plan.checksum_off));
    return out;
}

void write_patched(const PatchPlan &plan, const ByteSource &input, std::ostream &out) {
    const std::streampos start = out.tellp();
    Checksum sum;
    Bytes buffer;
    for (const OutputPiece &p : plan.pieces) {
        if (!p.from_input) {
            sum.add(p.bytes.data(), p.bytes.size());
            out.write(reinterpret_cast<const char *>(p.bytes.data()),
                      std::streamsize(p.bytes.size()));
            continue;
        }
        // A reused buffer: fresh memory is what costs most for a big file.
        buffer.resize(std::min<size_t>(p.size, kStreamChunk));
        for (size_t done = 0; done < p.size && out;) {
            const size_t n = std::min(buffer.size(), p.size - done);
            input.read(p.input_off + done, buffer.data(), n);
            sum.add(buffer.data(), n);
            out.write(reinterpret_cast<const char *>(buffer.data()), std::streamsize(n));
            done += n;
        }
    }
    if (plan.set_checksum && out) {
        uint8_t field[4];
        const uint32_t value = sum.finish(plan.size);
        for (int i = 0; i < 4; ++i)
            field[i] = uint8_t(value >> (8 * i));
        out.seekp(start + std::streamoff(plan.checksum_off));
        out.write(reinterpret_cast<const char *>(field), 4);
        out.seekp(start + std::streamoff(plan.size));
    }
}

uint32_t pe_checksum(const Bytes &file, size_t checksum_off) {
    // The checksum field itself counts as zero.
    auto byte = [&](size_t j) -> uint32_t {
        if (j >= file.size() || (j >= checksum_off && j - checksum_off < 4))
            return 0;
        return file[j];
    };
    uint64_t sum = 0;
    for (size_t i = 0; i < file.size(); i += 2) {
        sum += byte(i) | (byte(i + 1) << 8);
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    sum = (sum & 0xFFFF) + (sum >> 16);
    return uint32_t(sum + file.size());
}

} // namespace sndlatch

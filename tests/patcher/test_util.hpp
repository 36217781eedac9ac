// Helpers shared by the sndlatch-patch unit tests.
#pragma once

#include "cli.hpp"
#include "pe.hpp"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <vector>
#include <string>

namespace testutil {

// What one run of the tool gave: its exit code and what it printed.
struct Result {
    int code;
    std::string out, err;
};

inline Result cli(const std::vector<std::string> &args) {
    std::ostringstream out, err;
    const int code = sndlatch::run(args, out, err);
    return {code, out.str(), err.str()};
}

inline bool has(const std::string &s, const std::string &part) {
    return s.find(part) != std::string::npos;
}

using sndlatch::Bytes;

inline Bytes read(const std::filesystem::path &p) {
    std::ifstream in(p, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void write(const std::filesystem::path &p, const Bytes &data) {
    std::ofstream(p, std::ios::binary)
        .write(reinterpret_cast<const char *>(data.data()), std::streamsize(data.size()));
}

// A host program built by tests/hosts (see hosts.cmake).
inline Bytes host(const std::string &name) {
    return read(std::string(SNDLATCH_HOSTS_DIR) + "/" + name);
}

inline size_t opt(const Bytes &b) {
    return sndlatch::rd32(b, 0x3c) + 24;
}

inline void set_dir(Bytes &b, int index, uint32_t rva, uint32_t size) {
    sndlatch::wr32(b, opt(b) + 96 + 8 * size_t(index), rva);
    sndlatch::wr32(b, opt(b) + 100 + 8 * size_t(index), size);
}

// Appends `extra` to the file data of the last section, which must end the
// file, and gives the section `zero_tail` more bytes in memory than in the
// file. Returns the RVA at which `extra` starts.
inline uint32_t grow_last_section(Bytes &b, const Bytes &extra, uint32_t zero_tail = 0) {
    using namespace sndlatch;
    const PeImage pe = parse_pe(b);
    const Section last = pe.sections.back();
    if (size_t(last.raw_ptr) + last.raw_size != b.size())
        throw std::logic_error("the last section's data does not end the file");
    const uint32_t start = last.va + last.raw_size;
    b.insert(b.end(), extra.begin(), extra.end());
    const size_t h = pe.section_table_off + kSectionHeaderSize * (pe.sections.size() - 1);
    const uint32_t raw = uint32_t(last.raw_size + extra.size());
    wr32(b, h + 8, raw + zero_tail);
    wr32(b, h + 16, raw);
    wr32(b, pe.size_of_image_off(),
         uint32_t(align_up(uint64_t(last.va) + raw + zero_tail, pe.section_alignment)));
    return start;
}

// Makes a module read as sndlatch's drop-in: its version resource's
// FileDescription, in UTF-16, is what tells one.
inline void mark_as_dropin(Bytes &b, const std::string &bits) {
    for (const char c : "sndlatch drop-in winmm.dll (" + bits + ")") {
        b.push_back(uint8_t(c));
        b.push_back(0);
    }
}

// A fresh directory under the system temp dir, removed afterwards.
struct TempDir {
    std::filesystem::path path = std::filesystem::temp_directory_path() /
                                 ("sndlatch-test-" + std::to_string(std::random_device()()));
    TempDir() {
        std::filesystem::create_directory(path);
    }
    ~TempDir() {
        std::filesystem::remove_all(path);
    }
    std::string operator/(const std::string &name) const {
        return (path / name).string();
    }
    size_t file_count() const {
        return size_t(std::distance(std::filesystem::directory_iterator(path),
                                    std::filesystem::directory_iterator()));
    }
};

} // namespace testutil

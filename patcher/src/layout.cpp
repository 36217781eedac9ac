#include "layout.hpp"

#include <string>

namespace sndlatch {

namespace {

[[noreturn]] void broken(const std::string &rule) {
    refuse(Reason::NoRoom, "the patched program would break the loader's layout rules: " + rule);
}

std::string hex(uint64_t v) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    do {
        s.insert(s.begin(), digits[v & 15]);
        v >>= 4;
    } while (v != 0);
    return "0x" + s;
}

} // namespace

void check_loader_layout(const PeImage &pe) {
    const uint32_t sa = pe.section_alignment, fa = pe.file_alignment;
    if (pe.section_table_end() > pe.size_of_headers)
        broken("the section table runs past SizeOfHeaders");
    const bool flat = mapped_flat(pe);
    if (flat && fa != sa)
        broken("with a section alignment below a page, the file alignment must equal it");

    uint64_t next_va = 0;
    for (size_t i = 0; i < pe.sections.size(); ++i) {
        const Section &s = pe.sections[i];
        const std::string name = "section " + s.name + " ";
        if (s.va % sa != 0)
            broken(name + "starts at " + hex(s.va) + ", not on the section alignment");
        if (i != 0 && s.va != next_va)
            broken(name + "starts at " + hex(s.va) + ", not right after the previous one at " +
                   hex(next_va));
        if (s.va < pe.size_of_headers || (s.raw_size != 0 && s.raw_ptr < pe.size_of_headers))
            broken(name + "overlaps the headers");
        if (flat && s.raw_ptr != s.va)
            broken(name + "has file offset " + hex(s.raw_ptr) + " but address " + hex(s.va) +
                   " in a flat-mapped image");
        next_va = align_up(uint64_t(s.va) + s.mapped_size(), sa);
    }
    const Section &last = pe.sections.back();
    if (last.raw_ptr % fa != 0 || last.raw_size % fa != 0)
        broken("the file data of section " + last.name + " is not aligned to the file alignment");
    if (pe.size_of_image != next_va)
        broken("SizeOfImage is " + hex(pe.size_of_image) + ", the sections end at " + hex(next_va));
}

void check_no_relocations_in(const PeImage &pe, uint32_t rva, uint32_t size) {
    const DataDir dir = pe.dir(kDirBaseReloc);
    const uint64_t end = uint64_t(rva) + size;
    auto read = [&](uint32_t at, size_t len) {
        uint8_t v[4] = {};
        if (!pe.read_mapped(dir.rva + at, v, len))
            refuse(Reason::Damaged, "the base relocation table points outside the file");
        return uint32_t(v[0]) | (uint32_t(v[1]) << 8) | (uint32_t(v[2]) << 16) |
               (uint32_t(v[3]) << 24);
    };
    // Blocks of 4 KB pages: an 8-byte header, then 16-bit entries whose top
    // 4 bits are the type (0 is padding) and low 12 bits the page offset.
    for (uint32_t at = 0; dir.rva != 0 && at < dir.size && dir.size - at >= 8;) {
        const uint32_t page = read(at, 4), block = read(at + 4, 4);
        if (block < 8 || block > dir.size - at)
            break; // the loader stops at a malformed block too
        if (page < end && uint64_t(page) + kPageSize > rva) {
            for (uint32_t e = 8; e + 2 <= block; e += 2) {
                const uint32_t entry = read(at + e, 2);
                const uint64_t target = uint64_t(page) + (entry & 0xFFF);
                if ((entry >> 12) != 0 && target < end && target + 4 > rva)
                    refuse(Reason::NoRoom, "a base relocation of the program points into the space "
                                           "the new section would take");
            }
        }
        at += block;
    }
}

size_t new_header_offset(const PeImage &pe) {
    const size_t slot = pe.section_table_end();
    size_t limit = pe.size_of_headers;
    for (const Section &s : pe.sections) {
        if (s.raw_size != 0)
            limit = std::min<size_t>(limit, s.raw_ptr);
        limit = std::min<size_t>(limit, s.va);
    }
    const char *const full = "there is no room for one more section header (the headers are full)";
    if (pe.sections.size() >= 0xFFFF || slot + kSectionHeaderSize > limit)
        refuse(Reason::NoRoom, full);
    const DataDir bound = pe.dir(kDirBoundImport);
    for (size_t i = slot; i < slot + kSectionHeaderSize; ++i) {
        const bool in_bound = bound.size != 0 && i >= bound.rva && i - bound.rva < bound.size;
        if (pe.file->at(i) != 0 && !in_bound)
            refuse(Reason::NoRoom, full);
    }
    return slot;
}

} // namespace sndlatch

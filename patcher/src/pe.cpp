#include "pe.hpp"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace sndlatch {

namespace {

const char *const kTruncated = "the file is truncated or its headers are inconsistent";

bool is_pow2(uint32_t v) {
    return v != 0 && (v & (v - 1)) == 0;
}

} // namespace

bool is_winmm(const std::string &dll) {
    return iequals(dll, "winmm.dll") || iequals(dll, "winmm");
}

uint32_t Section::file_backed() const {
    // The loader maps at most VirtualSize bytes; a zero VirtualSize means
    // the raw size is the size.
    return virtual_size ? std::min(raw_size, virtual_size) : raw_size;
}

uint32_t Section::mapped_size() const {
    return virtual_size ? virtual_size : raw_size;
}

size_t PeImage::section_table_end() const {
    return section_table_off + kSectionHeaderSize * sections.size();
}

bool PeImage::rva_to_offset(uint32_t rva, size_t len, size_t &off) const {
    const uint64_t end = uint64_t(rva) + len;
    if (end <= size_of_headers) {
        off = rva;
        return end <= file->size();
    }
    for (const Section &s : sections) {
        if (rva >= s.va && end <= uint64_t(s.va) + s.file_backed()) {
            off = size_t(s.raw_ptr) + (rva - s.va);
            return uint64_t(off) + len <= file->size();
        }
    }
    return false;
}

bool PeImage::rva_in_section(uint32_t rva, size_t len) const {
    const uint64_t end = uint64_t(rva) + len;
    for (const Section &s : sections) {
        if (rva >= s.va && end <= uint64_t(s.va) + s.mapped_size())
            return true;
    }
    return false;
}

bool PeImage::read_mapped(uint32_t rva, void *dst, size_t len) const {
    const uint64_t end = uint64_t(rva) + len;
    if (end <= size_of_headers) {
        if (end > file->size())
            return false;
        file->read(rva, dst, len);
        return true;
    }
    for (const Section &s : sections) {
        if (rva < s.va || end > uint64_t(s.va) + s.mapped_size())
            continue;
        const uint64_t backed_end = uint64_t(s.va) + s.file_backed();
        const size_t n = rva < backed_end ? size_t(std::min(end, backed_end) - rva) : 0;
        const size_t off = size_t(s.raw_ptr) + (rva - s.va);
        if (n != 0 && (off > file->size() || file->size() - off < n))
            return false;
        file->read(off, dst, n);
        std::memset(static_cast<uint8_t *>(dst) + n, 0, len - n);
        return true;
    }
    return false;
}

uint32_t PeImage::read32_at_rva(uint32_t rva) const {
    uint8_t v[4];
    if (!read_mapped(rva, v, 4))
        refuse(Reason::Damaged, "an import table entry points outside the file");
    return uint32_t(v[0]) | (uint32_t(v[1]) << 8) | (uint32_t(v[2]) << 16) | (uint32_t(v[3]) << 24);
}

uint16_t PeImage::read16_at_rva(uint32_t rva) const {
    uint8_t v[2];
    if (!read_mapped(rva, v, 2))
        refuse(Reason::Damaged, "an import table entry points outside the file");
    return uint16_t(v[0] | (v[1] << 8));
}

std::string PeImage::read_cstring_at_rva(uint32_t rva, size_t max_len) const {
    char c;
    if (!read_mapped(rva, &c, 1))
        refuse(Reason::Damaged, "an import name points outside the file");
    // The string must end within the same section, so map its full length.
    std::string s;
    for (size_t i = 0; i <= max_len; ++i) {
        if (!read_mapped(uint32_t(rva + i), &c, 1))
            refuse(Reason::Damaged, "an import name runs off its section");
        if (c == '\0')
            return s;
        s.push_back(c);
    }
    refuse(Reason::Damaged, "an import name is unreasonably long");
}

PeImage parse_pe(const Bytes &file) {
    return parse_pe(std::make_shared<BytesSource>(file));
}

PeImage parse_pe(std::shared_ptr<const ByteSource> source) {
    PeImage pe = parse_pe_any(std::move(source));
    if (pe.pe32_plus)
        refuse(Reason::Bit64,
               "it is a 64-bit (PE32+) program; only 32-bit programs can be patched");
    return pe;
}

PeImage parse_pe_any(std::shared_ptr<const ByteSource> source) {
    PeImage pe;
    pe.file = std::move(source);
    const ByteSource &file = *pe.file;

    if (file.size() < 0x40 || file.at(0) != 'M' || file.at(1) != 'Z')
        refuse(Reason::NotAProgram, "not a Windows program (no MZ header)");
    if (file.size() > 0xFFFFFFFFu - 0x100000u)
        refuse(Reason::Damaged, "the file is too large for a 32-bit program");
    pe.pe_off = rd32(file, dos_header::e_lfanew);
    char signature[4] = {};
    if (pe.pe_off > file.size() || file.size() - pe.pe_off < 4 + file_header::kSize ||
        (file.read(pe.pe_off, signature, 4), std::memcmp(signature, "PE\0\0", 4) != 0))
        refuse(Reason::NotAProgram,
               "not a PE program (MS-DOS or other executable, or damaged header)");

    pe.coff_off = pe.pe_off + 4;
    pe.machine = rd16(file, pe.coff_off + file_header::Machine);
    const uint16_t nsections = rd16(file, pe.coff_off + file_header::NumberOfSections);
    pe.symbol_table_ptr = rd32(file, pe.coff_off + file_header::PointerToSymbolTable);
    pe.symbol_count = rd32(file, pe.coff_off + file_header::NumberOfSymbols);
    pe.size_of_optional_header = rd16(file, pe.coff_off + file_header::SizeOfOptionalHeader);
    pe.characteristics = rd16(file, pe.coff_off + file_header::Characteristics);
    pe.opt_off = pe.coff_off + file_header::kSize;

    pe.magic = rd16(file, pe.opt_off + optional_header::Magic);
    pe.pe32_plus = pe.magic == kMagicPe32Plus;
    if (pe.pe32_plus && pe.machine != kMachineAmd64)
        refuse(Reason::NotAProgram, "it is a 64-bit (PE32+) program, but not for x86-64");
    if (!pe.pe32_plus && pe.magic != kMagicPe32)
        refuse(Reason::NotAProgram, "unknown optional header type; not a 32-bit PE program");
    if (!pe.pe32_plus && pe.machine != kMachineI386)
        refuse(Reason::NotAProgram, "it is not an x86 (i386) program");
    // The fields up to the data directories; PE32+ has a 64-bit image base
    // and stack and heap sizes, and no BaseOfData.
    const size_t dirs_off = pe.data_dir_off(0) - pe.opt_off;
    if (pe.size_of_optional_header < dirs_off)
        refuse(Reason::Damaged, kTruncated);

    pe.image_base = pe.pe32_plus ? 0 : rd32(file, pe.opt_off + optional_header::ImageBase32);
    pe.section_alignment = rd32(file, pe.opt_off + optional_header::SectionAlignment);
    pe.file_alignment = rd32(file, pe.opt_off + optional_header::FileAlignment);
    pe.size_of_image = rd32(file, pe.opt_off + optional_header::SizeOfImage);
    pe.size_of_headers = rd32(file, pe.opt_off + optional_header::SizeOfHeaders);
    pe.checksum = rd32(file, pe.opt_off + optional_header::CheckSum);
    pe.dll_characteristics = rd16(file, pe.opt_off + optional_header::DllCharacteristics);
    // NumberOfRvaAndSizes is the field before the data directories.
    const uint32_t ndirs = rd32(file, pe.opt_off + dirs_off - 4);
    pe.data_dir_count = std::min<uint32_t>(ndirs, kNumDataDirs);
    if (dirs_off + 8 * size_t(pe.data_dir_count) > pe.size_of_optional_header)
        refuse(Reason::Damaged, kTruncated);
    for (uint32_t i = 0; i < pe.data_dir_count; ++i) {
        pe.dirs[i].rva = rd32(file, pe.data_dir_off(int(i)));
        pe.dirs[i].size = rd32(file, pe.data_dir_off(int(i)) + data_directory::Size);
    }

    if (!is_pow2(pe.section_alignment) || !is_pow2(pe.file_alignment) ||
        pe.file_alignment > pe.section_alignment || pe.file_alignment > 0x10000)
        refuse(Reason::Damaged, "the section or file alignment in the header is invalid");

    pe.section_table_off = pe.opt_off + pe.size_of_optional_header;
    if (nsections == 0)
        refuse(Reason::Damaged, "the program has no sections");
    const size_t table_end = pe.section_table_off + kSectionHeaderSize * nsections;
    if (table_end > file.size() || table_end > pe.size_of_headers ||
        pe.size_of_headers > file.size())
        refuse(Reason::Damaged, kTruncated);

    uint64_t prev_end = 0;
    for (size_t i = 0; i < nsections; ++i) {
        const size_t h = pe.section_table_off + kSectionHeaderSize * i;
        Section s;
        char name[8];
        file.read(h + section_header::Name, name, 8);
        for (size_t k = 0; k < 8 && name[k] != 0; ++k)
            s.name.push_back(name[k]);
        s.virtual_size = rd32(file, h + section_header::VirtualSize);
        s.va = rd32(file, h + section_header::VirtualAddress);
        s.raw_size = rd32(file, h + section_header::SizeOfRawData);
        s.raw_ptr = rd32(file, h + section_header::PointerToRawData);
        s.characteristics = rd32(file, h + section_header::Characteristics);
        if (s.raw_size != 0 && uint64_t(s.raw_ptr) + s.raw_size > file.size())
            refuse(Reason::Damaged,
                   "the file is truncated (section " + s.name + " extends past its end)");
        if (s.raw_size != 0 && s.raw_ptr < pe.size_of_headers)
            refuse(Reason::Damaged, "section " + s.name + " overlaps the headers");
        // The loader needs sections in ascending, non-overlapping order.
        if (s.va < prev_end || s.va < pe.size_of_headers)
            refuse(Reason::Damaged,
                   "the section table is inconsistent (sections overlap or are out of order)");
        prev_end = uint64_t(s.va) + align_up(s.mapped_size(), pe.section_alignment);
        if (prev_end > 0xFFFFFFFFu)
            refuse(Reason::Damaged, kTruncated);
        if (s.raw_size != 0)
            pe.end_of_section_data =
                std::max<size_t>(pe.end_of_section_data, size_t(s.raw_ptr) + s.raw_size);
        pe.sections.push_back(s);
    }
    pe.end_of_section_data = std::max<size_t>(pe.end_of_section_data, pe.size_of_headers);
    return pe;
}

} // namespace sndlatch

// Reading and validating 32-bit PE images, held in memory or read from a
// file on demand.
//
// The file is untrusted: every offset and RVA taken from it is checked
// against the buffer before use, and anything that does not add up raises
// a Refusal whose message is a one-line reason fit for the user.
#pragma once

#include "bytes.hpp"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace sndlatch {

enum DataDirIndex {
    kDirExport = 0,
    kDirImport = 1,
    kDirSecurity = 4,
    kDirBaseReloc = 5,
    kDirDebug = 6,
    kDirBoundImport = 11,
    kDirIat = 12,
    kDirDelayImport = 13,
    kDirClr = 14,
    kNumDataDirs = 16,
};

// COFF / optional header flags this tool looks at.
constexpr uint16_t kFileExecutable = 0x0002;
constexpr uint16_t kFileDll = 0x2000;
constexpr uint16_t kDllCharForceIntegrity = 0x0080;
constexpr uint16_t kMachineI386 = 0x014c;
constexpr uint16_t kMachineAmd64 = 0x8664;
constexpr uint16_t kMagicPe32 = 0x010b;
constexpr uint16_t kMagicPe32Plus = 0x020b;

constexpr size_t kSectionHeaderSize = 40;
constexpr size_t kImportDescSize = 20;

struct DataDir {
    uint32_t rva = 0;
    uint32_t size = 0;
};

struct Section {
    std::string name; // up to 8 chars, trailing NULs dropped
    uint32_t virtual_size = 0;
    uint32_t va = 0;
    uint32_t raw_size = 0;
    uint32_t raw_ptr = 0;
    uint32_t characteristics = 0;

    // Bytes of the section that come from the file.
    uint32_t file_backed() const;
    // Bytes of address space the section occupies.
    uint32_t mapped_size() const;
};

struct PeImage {
    std::shared_ptr<const ByteSource> file;

    size_t pe_off = 0;   // offset of "PE\0\0"
    size_t coff_off = 0; // COFF file header
    size_t opt_off = 0;  // optional header
    size_t section_table_off = 0;

    uint16_t machine = 0;
    uint16_t characteristics = 0;
    uint16_t size_of_optional_header = 0;
    uint32_t symbol_table_ptr = 0;
    uint32_t symbol_count = 0;

    uint16_t magic = 0;
    bool pe32_plus = false;  // a 64-bit (x86-64) image: read, never patched
    uint32_t image_base = 0; // of a 32-bit image; 0 for a 64-bit one
    uint32_t section_alignment = 0;
    uint32_t file_alignment = 0;
    uint32_t size_of_image = 0;
    uint32_t size_of_headers = 0;
    uint32_t checksum = 0;
    uint16_t dll_characteristics = 0;
    uint32_t data_dir_count = 0; // NumberOfRvaAndSizes, capped at 16

    DataDir dirs[kNumDataDirs];
    std::vector<Section> sections;

    // End of the last byte of section data in the file; anything after it
    // (symbol table, certificate, installer payload) is trailing data.
    size_t end_of_section_data = 0;

    // Offsets of header fields that the patcher rewrites.
    size_t checksum_off() const {
        return opt_off + 64;
    }
    size_t size_of_image_off() const {
        return opt_off + 56;
    }
    size_t size_of_init_data_off() const {
        return opt_off + 8;
    }
    size_t data_dir_off(int index) const {
        return opt_off + (pe32_plus ? 112 : 96) + 8 * size_t(index);
    }
    size_t section_table_end() const;

    // Maps [rva, rva+len) to a file offset when the whole range is backed
    // by file bytes of one section (or of the headers).
    bool rva_to_offset(uint32_t rva, size_t len, size_t &off) const;
    // True when [rva, rva+len) lies in the address space of one section.
    bool rva_in_section(uint32_t rva, size_t len) const;

    // Copies [rva, rva+len) as the loader maps it: file bytes, and zeros in
    // the tail of a section past its raw data. False when the range is not
    // within the headers or within one section.
    bool read_mapped(uint32_t rva, void *dst, size_t len) const;

    uint32_t read32_at_rva(uint32_t rva) const;
    uint16_t read16_at_rva(uint32_t rva) const;
    std::string read_cstring_at_rva(uint32_t rva, size_t max_len) const;
};

// Parses and validates the headers. Refuses anything that is not a
// well-formed 32-bit x86 PE image; does not judge whether it is patchable.
// The image refers to `file`, which must outlive it.
PeImage parse_pe(std::shared_ptr<const ByteSource> file);
PeImage parse_pe(const Bytes &file);

// As parse_pe, but a well-formed 64-bit x86-64 (PE32+) image is accepted
// too, for reading its tables: it is never patched.
PeImage parse_pe_any(std::shared_ptr<const ByteSource> file);

struct Thunk {
    bool by_ordinal = false;
    uint16_t ordinal = 0;
    uint16_t hint = 0;
    std::string name;
    uint32_t value = 0; // the lookup table entry as stored (its low half in a 64-bit image)
};

struct ImportDescriptor {
    uint32_t original_first_thunk = 0;
    uint32_t time_date_stamp = 0;
    uint32_t forwarder_chain = 0;
    uint32_t name_rva = 0;
    uint32_t first_thunk = 0;
    std::string dll;
    std::vector<Thunk> thunks; // without the terminating zero

    // The address slot of thunk i in a 32-bit image (the only ones patched).
    uint32_t slot_rva(size_t i) const {
        return first_thunk + uint32_t(4 * i);
    }
};

std::vector<ImportDescriptor> read_imports(const PeImage &pe);

// Names of the DLLs in the delay-load import table.
std::vector<std::string> read_delay_import_dlls(const PeImage &pe);

// True when the export table names `name` (exact case, as GetProcAddress
// compares). Raises a Refusal when the export table is damaged.
bool exports_name(const PeImage &pe, const std::string &name);

// True for "WINMM.DLL" in any case, with or without the extension.
bool is_winmm(const std::string &dll);

} // namespace sndlatch

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

// Offsets of the header and table fields this tool reads or writes, named
// as in the platform's IMAGE_* structures (winnt.h).
namespace dos_header { // IMAGE_DOS_HEADER
constexpr size_t e_lfanew = 0x3c;
} // namespace dos_header
namespace file_header { // IMAGE_FILE_HEADER, after the "PE\0\0" signature
constexpr size_t Machine = 0, NumberOfSections = 2, PointerToSymbolTable = 8, NumberOfSymbols = 12,
                 SizeOfOptionalHeader = 16, Characteristics = 18, kSize = 20;
} // namespace file_header
// IMAGE_OPTIONAL_HEADER32 and IMAGE_OPTIONAL_HEADER64: the fields named here
// lie at the same offsets in both, but ImageBase is 64-bit in the second,
// which has no BaseOfData, so its data directories start later.
namespace optional_header {
constexpr size_t Magic = 0, SizeOfInitializedData = 8, ImageBase32 = 28, SectionAlignment = 32,
                 FileAlignment = 36, SizeOfImage = 56, SizeOfHeaders = 60, CheckSum = 64,
                 DllCharacteristics = 70, DataDirectory32 = 96, DataDirectory64 = 112;
} // namespace optional_header
namespace data_directory { // IMAGE_DATA_DIRECTORY
constexpr size_t VirtualAddress = 0, Size = 4;
} // namespace data_directory
namespace section_header { // IMAGE_SECTION_HEADER
constexpr size_t Name = 0, VirtualSize = 8, VirtualAddress = 12, SizeOfRawData = 16,
                 PointerToRawData = 20, Characteristics = 36;
} // namespace section_header
namespace import_descriptor { // IMAGE_IMPORT_DESCRIPTOR
constexpr size_t OriginalFirstThunk = 0, TimeDateStamp = 4, ForwarderChain = 8, Name = 12,
                 FirstThunk = 16;
} // namespace import_descriptor
namespace delayload_descriptor { // IMAGE_DELAYLOAD_DESCRIPTOR
constexpr size_t Attributes = 0, DllNameRVA = 4, kSize = 32;
} // namespace delayload_descriptor
namespace export_directory { // IMAGE_EXPORT_DIRECTORY
constexpr size_t NumberOfNames = 24, AddressOfNames = 32, kSize = 40;
} // namespace export_directory

constexpr size_t kSectionHeaderSize = 40; // sizeof(IMAGE_SECTION_HEADER)
constexpr size_t kImportDescSize = 20;    // sizeof(IMAGE_IMPORT_DESCRIPTOR)

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
        return opt_off + optional_header::CheckSum;
    }
    size_t size_of_image_off() const {
        return opt_off + optional_header::SizeOfImage;
    }
    size_t size_of_init_data_off() const {
        return opt_off + optional_header::SizeOfInitializedData;
    }
    size_t data_dir_off(int index) const {
        return opt_off +
               (pe32_plus ? optional_header::DataDirectory64 : optional_header::DataDirectory32) +
               8 * size_t(index);
    }
    size_t section_table_end() const;
    // A data directory; empty when the header has fewer.
    DataDir dir(int index) const {
        return uint32_t(index) < data_dir_count ? dirs[index] : DataDir{};
    }

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

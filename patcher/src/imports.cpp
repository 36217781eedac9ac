// Reading the import, delay-load import and export tables of a parsed image.
#include "pe.hpp"

namespace sndlatch {

namespace {

// Limits that no real program comes near; they stop a hostile file from
// making the tool walk millions of entries. kMaxThunks bounds the imports
// of one descriptor and of all of them together, since descriptors may
// share one lookup table.
constexpr size_t kMaxDescriptors = 4096;
constexpr size_t kMaxThunks = 65536;
constexpr size_t kMaxNameLen = 4096;

} // namespace

std::vector<ImportDescriptor> read_imports(const PeImage &pe) {
    std::vector<ImportDescriptor> out;
    const DataDir dir = pe.dir(kDirImport);
    if (dir.rva == 0)
        return out;

    size_t total_thunks = 0;
    for (size_t i = 0;; ++i) {
        if (i >= kMaxDescriptors)
            refuse(Reason::Damaged, "the import table has no end");
        // The terminating descriptor may lie in a section's zero-filled
        // tail, where the loader reads zeros.
        Bytes raw(kImportDescSize);
        if (!pe.read_mapped(uint32_t(dir.rva + kImportDescSize * i), raw.data(), raw.size()))
            refuse(Reason::Damaged, "the import table points outside the file");
        ImportDescriptor d;
        d.original_first_thunk = rd32(raw, import_descriptor::OriginalFirstThunk);
        d.time_date_stamp = rd32(raw, import_descriptor::TimeDateStamp);
        d.forwarder_chain = rd32(raw, import_descriptor::ForwarderChain);
        d.name_rva = rd32(raw, import_descriptor::Name);
        d.first_thunk = rd32(raw, import_descriptor::FirstThunk);
        // The loader stops at the first descriptor without a name or IAT.
        if (d.name_rva == 0 || d.first_thunk == 0)
            break;
        d.dll = pe.read_cstring_at_rva(d.name_rva, 255);

        // Bound imports keep the real addresses in the IAT; with no lookup
        // table there would be nothing left to rebind them from.
        if (d.original_first_thunk == 0 && d.time_date_stamp != 0)
            refuse(Reason::Damaged,
                   "imports from " + d.dll + " are bound and have no lookup table");
        const uint32_t table = d.original_first_thunk ? d.original_first_thunk : d.first_thunk;
        // Entries are 8 bytes in a 64-bit image, the ordinal flag its top bit.
        const uint32_t entry = pe.pe32_plus ? 8 : 4;
        for (size_t k = 0;; ++k) {
            if (k >= kMaxThunks)
                refuse(Reason::Damaged, "the imports from " + d.dll + " have no end");
            const uint32_t at = uint32_t(table + entry * k);
            const uint32_t high = pe.pe32_plus ? pe.read32_at_rva(at + 4) : 0;
            const uint32_t v = pe.read32_at_rva(at);
            if (v == 0 && high == 0)
                break;
            if (++total_thunks > kMaxThunks)
                refuse(Reason::Damaged, "the program imports unreasonably many functions");
            Thunk t;
            t.value = v;
            if (pe.pe32_plus ? (high & 0x80000000u) != 0 : (v & 0x80000000u) != 0) {
                t.by_ordinal = true;
                t.ordinal = uint16_t(v & 0xFFFF);
            } else {
                if (high != 0)
                    refuse(Reason::Damaged,
                           "an import of " + d.dll + " names its function at an invalid address");
                t.hint = pe.read16_at_rva(v);
                t.name = pe.read_cstring_at_rva(v + 2, kMaxNameLen);
            }
            d.thunks.push_back(t);
        }
        // The loader writes one slot per entry, plus the IAT's terminator.
        if (!pe.rva_in_section(d.first_thunk, entry * (d.thunks.size() + 1)))
            refuse(Reason::Damaged,
                   "the import address table for " + d.dll + " lies outside the image");
        out.push_back(std::move(d));
    }
    return out;
}

std::vector<std::string> read_delay_import_dlls(const PeImage &pe) {
    std::vector<std::string> out;
    const DataDir dir = pe.dir(kDirDelayImport);
    if (dir.rva == 0)
        return out;
    for (size_t i = 0;; ++i) {
        if (i >= kMaxDescriptors)
            refuse(Reason::Damaged, "the delay-load import table has no end");
        Bytes raw(delayload_descriptor::kSize);
        if (!pe.read_mapped(uint32_t(dir.rva + delayload_descriptor::kSize * i), raw.data(),
                            raw.size()))
            refuse(Reason::Damaged, "the delay-load import table points outside the file");
        const uint32_t attributes = rd32(raw, delayload_descriptor::Attributes);
        uint32_t name = rd32(raw, delayload_descriptor::DllNameRVA);
        if (name == 0)
            break;
        // Old linkers stored virtual addresses instead of RVAs (attribute
        // bit 0 clear).
        if ((attributes & 1) == 0 && name >= pe.image_base)
            name -= pe.image_base;
        out.push_back(pe.read_cstring_at_rva(name, 255));
    }
    return out;
}

bool exports_name(const PeImage &pe, const std::string &name) {
    const DataDir dir = pe.dir(kDirExport);
    if (dir.rva == 0)
        return false;
    Bytes raw(export_directory::kSize);
    if (!pe.read_mapped(dir.rva, raw.data(), raw.size()))
        refuse(Reason::Damaged, "the export table points outside the file");
    const uint32_t count = rd32(raw, export_directory::NumberOfNames),
                   names = rd32(raw, export_directory::AddressOfNames);
    if (count > kMaxThunks)
        refuse(Reason::Damaged, "the export table is unreasonably large");
    // Names are compared as far as they agree, so most cost one byte.
    for (uint32_t i = 0; i < count; ++i) {
        const uint32_t rva = pe.read32_at_rva(uint32_t(names + 4 * uint64_t(i)));
        for (size_t k = 0;; ++k) {
            char c;
            if (!pe.read_mapped(uint32_t(rva + k), &c, 1))
                refuse(Reason::Damaged, "an export name points outside the file");
            if (k == name.size()) {
                if (c == '\0')
                    return true;
                break;
            }
            if (c != name[k])
                break;
        }
    }
    return false;
}
} // namespace sndlatch

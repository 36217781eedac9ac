// Planning the patched image: the rebuilt import directory in its new
// section, the rewritten header block, and the plan read back before it is
// returned.
#include "patch.hpp"

#include "layout.hpp"

#include <algorithm>
#include <cstring>
#include <ostream>

namespace sndlatch {

namespace {

constexpr uint32_t kScnInitializedData = 0x00000040;
constexpr uint32_t kScnMemRead = 0x40000000;

// One descriptor of the rebuilt import directory. Its lookup table, DLL
// name and hint/name entries are all written into the new section, so the
// directory is complete in one place (tools such as objdump expect that).
struct NewDescriptor {
    std::string dll;
    std::vector<Thunk> thunks;
    uint32_t first_thunk = 0;
};

// Descriptors for one WINMM import: runs of ordinary slots keep importing
// from WINMM, and each waveOutOpen slot gets a sndlatch descriptor of its own.
void split_winmm(const ImportDescriptor &d, std::vector<NewDescriptor> &out) {
    size_t run_start = 0;
    auto flush = [&](size_t end) {
        if (end == run_start)
            return;
        NewDescriptor n;
        n.dll = d.dll;
        n.first_thunk = d.slot_rva(run_start);
        n.thunks.assign(d.thunks.begin() + ptrdiff_t(run_start), d.thunks.begin() + ptrdiff_t(end));
        out.push_back(n);
    };
    for (size_t k = 0; k < d.thunks.size(); ++k) {
        if (d.thunks[k].by_ordinal || d.thunks[k].name != "waveOutOpen")
            continue;
        flush(k);
        NewDescriptor n;
        n.dll = kDllName;
        n.first_thunk = d.slot_rva(k);
        Thunk t;
        t.name = kExportName;
        n.thunks.push_back(t);
        out.push_back(n);
        run_start = k + 1;
    }
    flush(d.thunks.size());
}

// Lays out the new section at `va`: descriptors, then lookup tables, then
// names. Returns the section's contents.
Bytes build_import_section(const std::vector<NewDescriptor> &descs, uint32_t va) {
    size_t lookup_words = 0;
    for (const NewDescriptor &n : descs)
        lookup_words += n.thunks.size() + 1;
    const size_t lookup_start = kImportDescSize * (descs.size() + 1);
    Bytes content(lookup_start + 4 * lookup_words, 0);

    // Names go after the tables; equal DLL names share one copy.
    std::vector<std::pair<std::string, uint32_t>> dll_names;
    auto add_string = [&](const std::string &str) {
        const uint32_t rva = uint32_t(va + content.size());
        content.insert(content.end(), str.begin(), str.end());
        content.push_back(0);
        return rva;
    };
    auto dll_name_rva = [&](const std::string &dll) {
        for (const auto &[name, rva] : dll_names)
            if (name == dll)
                return rva;
        const uint32_t rva = add_string(dll);
        dll_names.emplace_back(dll, rva);
        return rva;
    };

    size_t lookup = lookup_start;
    for (size_t i = 0; i < descs.size(); ++i) {
        const NewDescriptor &n = descs[i];
        const size_t d = kImportDescSize * i;
        wr32(content, d + import_descriptor::OriginalFirstThunk, uint32_t(va + lookup));
        // TimeDateStamp and ForwarderChain stay zero: nothing is bound.
        wr32(content, d + import_descriptor::Name, dll_name_rva(n.dll));
        wr32(content, d + import_descriptor::FirstThunk, n.first_thunk);
        for (const Thunk &t : n.thunks) {
            uint32_t entry = t.value;
            if (!t.by_ordinal) {
                if (content.size() % 2)
                    content.push_back(0); // hint/name entries are word aligned
                entry = uint32_t(va + content.size());
                content.push_back(uint8_t(t.hint));
                content.push_back(uint8_t(t.hint >> 8));
                add_string(t.name);
            }
            wr32(content, lookup, entry);
            lookup += 4;
        }
        lookup += 4; // terminating zero
    }
    return content;
}

} // namespace

PatchPlan plan_patch(const Analysis &a, const PatchOptions &opts) {
    const PeImage &pe = a.pe;
    const ByteSource &file = *pe.file;

    // Every header field that changes lies before the end of the new
    // section header; that block is rewritten, the rest is copied or added.
    const size_t h = new_header_offset(pe);
    Bytes header(h + kSectionHeaderSize);
    file.read(0, header.data(), header.size());

    // Drop the signature. The certificate is normally the last thing in the
    // file; then it is cut off, otherwise its bytes stay as inert data.
    size_t data_end = file.size();
    if (a.has_signature && opts.strip_signature) {
        const DataDir sec = pe.dir(kDirSecurity);
        if (sec.rva >= pe.end_of_section_data && sec.rva <= file.size() &&
            align_up(uint64_t(sec.rva) + sec.size, 8) >= file.size())
            data_end = sec.rva;
        wr32(header, pe.data_dir_off(kDirSecurity), 0);
        wr32(header, pe.data_dir_off(kDirSecurity) + data_directory::Size, 0);
    }

    std::vector<NewDescriptor> descs;
    for (const ImportDescriptor &d : a.imports) {
        if (is_winmm(d.dll)) {
            split_winmm(d, descs);
            continue;
        }
        NewDescriptor n;
        n.dll = d.dll;
        n.thunks = d.thunks;
        n.first_thunk = d.first_thunk;
        descs.push_back(n);
    }

    // The new section follows the last one in memory, with no gap: the
    // loader refuses images whose sections are not contiguous.
    uint64_t image_end = 0;
    for (const Section &s : pe.sections)
        image_end = std::max<uint64_t>(image_end, uint64_t(s.va) + s.mapped_size());
    const uint64_t va64 = align_up(image_end, pe.section_alignment);
    const Bytes content = build_import_section(descs, uint32_t(va64));
    const size_t content_size = content.size();
    if (va64 + content_size > 0xFFFFFFFFu - pe.section_alignment)
        refuse(Reason::NoRoom, "the patched program would be too large");
    const uint32_t va = uint32_t(va64);

    // The new section goes after the last section's data, padded to the
    // file alignment; trailing data (COFF symbol table and the like) moves
    // behind it, and everything before it keeps its offset. A flat-mapped
    // image needs its file offset equal to its address: the padding then
    // also backs the last section's zero-filled tail, with zeros.
    const size_t old_end = pe.end_of_section_data;
    uint64_t raw_ptr = align_up(old_end, pe.file_alignment);
    if (mapped_flat(pe)) {
        if (raw_ptr > va)
            refuse(Reason::NoRoom,
                   "it is mapped flat (section alignment below a page) and its file data runs "
                   "past its sections in memory, so no section can follow at the same "
                   "offset");
        raw_ptr = va;
    }
    const uint64_t raw_size = align_up(content_size, pe.file_alignment);
    const uint64_t total = raw_ptr + raw_size + (data_end - old_end);
    if (total > 0xFFFFFFFFu)
        refuse(Reason::NoRoom, "the patched program would be too large");
    Bytes appended(size_t(raw_ptr + raw_size - old_end), 0);
    std::copy(content.begin(), content.end(), appended.begin() + ptrdiff_t(raw_ptr - old_end));
    const size_t shift = appended.size();

    std::fill(header.begin() + ptrdiff_t(h), header.end(), 0);
    std::memcpy(&header[h + section_header::Name], kSectionName, std::strlen(kSectionName));
    wr32(header, h + section_header::VirtualSize, uint32_t(content_size));
    wr32(header, h + section_header::VirtualAddress, va);
    wr32(header, h + section_header::SizeOfRawData, uint32_t(raw_size));
    wr32(header, h + section_header::PointerToRawData, uint32_t(raw_ptr));
    wr32(header, h + section_header::Characteristics, kScnInitializedData | kScnMemRead);
    wr16(header, pe.coff_off + file_header::NumberOfSections, uint16_t(pe.sections.size() + 1));

    if (pe.symbol_table_ptr != 0 && pe.symbol_table_ptr >= old_end &&
        pe.symbol_table_ptr <= data_end)
        wr32(header, pe.coff_off + file_header::PointerToSymbolTable,
             uint32_t(pe.symbol_table_ptr + shift));

    wr32(header, pe.size_of_image_off(),
         uint32_t(align_up(va64 + content_size, pe.section_alignment)));
    wr32(header, pe.size_of_init_data_off(),
         rd32(header, pe.size_of_init_data_off()) + uint32_t(raw_size));
    wr32(header, pe.data_dir_off(kDirImport), va);
    wr32(header, pe.data_dir_off(kDirImport) + data_directory::Size,
         uint32_t(kImportDescSize * (descs.size() + 1)));
    wr32(header, pe.data_dir_off(kDirBoundImport), 0);
    wr32(header, pe.data_dir_off(kDirBoundImport) + data_directory::Size, 0);

    // The loader makes only the IAT directory's range writable while it
    // fills in imports, so the range must cover every slot it writes.
    const DataDir iat = pe.dir(kDirIat);
    uint64_t lo = UINT64_MAX, hi = 0;
    bool covered = iat.size != 0;
    for (const ImportDescriptor &d : a.imports) {
        const uint64_t b = d.first_thunk, e = b + 4 * (d.thunks.size() + 1);
        lo = std::min(lo, b);
        hi = std::max(hi, e);
        covered = covered && b >= iat.rva && e <= uint64_t(iat.rva) + iat.size;
    }
    if (!covered) {
        if (iat.size != 0) {
            lo = std::min<uint64_t>(lo, iat.rva);
            hi = std::max<uint64_t>(hi, uint64_t(iat.rva) + iat.size);
        }
        wr32(header, pe.data_dir_off(kDirIat), uint32_t(lo));
        wr32(header, pe.data_dir_off(kDirIat) + data_directory::Size, uint32_t(hi - lo));
    }

    PatchPlan plan;
    plan.size = size_t(total);
    if (pe.checksum != 0) {
        plan.set_checksum = true;
        plan.checksum_off = pe.checksum_off();
        wr32(header, plan.checksum_off, 0);
    }
    auto add_bytes = [&](Bytes b) {
        OutputPiece p;
        p.size = b.size();
        p.bytes = std::move(b);
        plan.pieces.push_back(std::move(p));
    };
    auto add_input = [&](size_t from, size_t to) {
        OutputPiece p;
        p.from_input = true;
        p.input_off = from;
        p.size = to - from;
        plan.pieces.push_back(std::move(p));
    };
    add_bytes(std::move(header));
    add_input(h + kSectionHeaderSize, old_end);
    add_bytes(std::move(appended));
    add_input(old_end, data_end);

    // Check our own work before anyone writes it out: it must follow the
    // loader's rules and read back as patched.
    const Analysis again = analyze(planned_output(plan, pe.file), PatchOptions{});
    check_loader_layout(again.pe);
    check_no_relocations_in(again.pe, va, uint32_t(content_size));
    if (again.verdict != Verdict::AlreadyPatched)
        throw std::logic_error("patched image does not read back as patched");
    return plan;
}

Decision decide(std::shared_ptr<const ByteSource> file, const PatchOptions &opts) {
    Decision d;
    d.analysis = analyze(std::move(file), opts);
    if (d.analysis.verdict == Verdict::Patchable)
        d.plan = plan_patch(d.analysis, opts);
    return d;
}

} // namespace sndlatch

// The rules the Windows loader applies to an image's section layout.
//
// The patcher checks every image it plans against them before anything is
// written, so that a program it cannot place a section in correctly is
// refused rather than written out broken.
#pragma once

#include "pe.hpp"

namespace sndlatch {

// Images with a section alignment below a page are mapped as one flat view
// of the file, so each section's file offset must equal its address.
constexpr uint32_t kPageSize = 0x1000;

inline bool mapped_flat(const PeImage &pe) {
    return pe.section_alignment < kPageSize;
}

// Raises a Refusal naming the first rule that `pe` breaks: sections in
// address order, aligned and without gaps; the last section's file data
// aligned to the file alignment; SizeOfImage and SizeOfHeaders; and in a
// flat-mapped image, file offset equal to address for every section. The
// file data of sections before the last is not checked for alignment: the
// loader rounds it, and those sections come from the program unchanged.
void check_loader_layout(const PeImage &pe);

// Raises a Refusal when a base relocation would change a byte in
// [rva, rva + size). The appended section holds only RVAs, which a rebased
// image (any DLL, and programs with ASLR) needs unchanged.
void check_no_relocations_in(const PeImage &pe, uint32_t rva, uint32_t size);

// Where the new section header goes: the slot after the last header, which
// must lie before the first section's data and be unused (zero bytes, or
// the bound-import table, which the patch drops anyway). Raises a Refusal
// when there is no such room.
size_t new_header_offset(const PeImage &pe);

} // namespace sndlatch

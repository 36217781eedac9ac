// Deciding whether a program can be patched, and building the patched image.
//
// The patch appends one read-only section holding a rebuilt import
// directory. Every descriptor is copied except WINMM's, which is split
// around each waveOutOpen slot so that the slot gets its own descriptor
// importing sndlatch.dll!sndlatch. The IAT stays where it is, because the
// program's code calls through its slots.
#pragma once

#include "pe.hpp"

#include <string>
#include <vector>

namespace sndlatch {

constexpr const char* kDllName = "sndlatch.dll";
constexpr const char* kExportName = "sndlatch";
constexpr const char* kSectionName = ".sndlat";

struct PatchOptions {
    bool strip_signature = false;
};

enum class Verdict { Patchable, AlreadyPatched };

struct Analysis {
    Verdict verdict = Verdict::Patchable;
    PeImage pe;
    std::vector<ImportDescriptor> imports;
    std::vector<uint32_t> redirected_slots;  // RVAs of waveOutOpen IAT slots
    bool has_signature = false;
};

// Checks everything that decides whether the file can be patched. Throws
// Refusal with a one-line reason when it cannot. The analysis refers to
// `file`, which must outlive it.
Analysis analyze(const Bytes& file, const PatchOptions& opts);

// Builds the patched image. `a` must come from analyze(file) with verdict
// Patchable. Throws Refusal when the image leaves no way to add the section.
Bytes build_patched(const Bytes& file, const Analysis& a, const PatchOptions& opts);

// The PE checksum as the Windows image helper computes it.
uint32_t pe_checksum(const Bytes& file, size_t checksum_off);

}  // namespace sndlatch

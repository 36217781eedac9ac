// Deciding whether a program can be patched, and building the patched image.
//
// The patch appends one read-only section holding a rebuilt import
// directory. Every descriptor is copied except WINMM's, which is split
// around each waveOutOpen slot so that the slot gets its own descriptor
// importing sndlatch.dll!sndlatch. The IAT stays where it is, because the
// program's code calls through its slots.
#pragma once

#include "pe.hpp"

#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

namespace sndlatch {

constexpr const char *kDllName = "sndlatch.dll";
constexpr const char *kExportName = "sndlatch";
constexpr const char *kSectionName = ".sndlat";

// Said of a 32-bit module that is or can be patched and also imports
// waveOutClose; the drop-in keeps closes working, so it is the remedy.
constexpr const char *kCloseNote =
    "it also imports waveOutClose: a closed device that is opened again gets the closed "
    "handle back, so test the sound after a level change; if it is gone, undo the patch "
    "(--restore) and use the drop-in winmm.dll (--dropin)";

// Ends the text of a refusal that the drop-in overcomes.
constexpr const char *kDropinHint = "; the drop-in winmm.dll works without patching (--dropin)";

// A refusal as the user reads it: its reason, and whether the drop-in helps.
std::string refusal_text(const Refusal &r);

struct PatchOptions {
    bool strip_signature = false;
};

enum class Verdict { Patchable, AlreadyPatched };

struct Analysis {
    Verdict verdict = Verdict::Patchable;
    PeImage pe;
    std::vector<ImportDescriptor> imports;
    std::vector<uint32_t> redirected_slots; // RVAs of waveOutOpen IAT slots
    bool has_signature = false;
    bool is_dll = false;
    bool imports_wave_out_close = false;
};

// Checks everything that decides whether the file can be patched. Throws
// Refusal with a one-line reason when it cannot. The analysis refers to
// `file`, which must outlive it.
Analysis analyze(std::shared_ptr<const ByteSource> file, const PatchOptions &opts);
Analysis analyze(const Bytes &file, const PatchOptions &opts);

// One stretch of the patched program: bytes made by the patcher, or a range
// of the input file copied unchanged.
struct OutputPiece {
    bool from_input = false;
    size_t input_off = 0; // when from_input
    size_t size = 0;
    Bytes bytes; // when not from_input; size() == size
};

// The patched program, described rather than built, so that it can be
// realised in memory or streamed to a file without holding the input.
struct PatchPlan {
    std::vector<OutputPiece> pieces; // in output order
    size_t size = 0;
    // When set, the PE checksum of the whole output goes at checksum_off;
    // the pieces hold zero there.
    bool set_checksum = false;
    size_t checksum_off = 0;
};

// Plans the patched image and checks that it reads back as patched. `a`
// must come from analyze() with verdict Patchable. Throws Refusal when the
// image leaves no way to add the section.
PatchPlan plan_patch(const Analysis &a, const PatchOptions &opts);

// Everything patching decides, short of writing: the analysis and, for a
// patchable program, the complete plan with its layout checks. --check,
// --scan and patching all go through it, so they cannot disagree.
struct Decision {
    Analysis analysis;
    PatchPlan plan; // empty unless analysis.verdict is Patchable
};
Decision decide(std::shared_ptr<const ByteSource> file, const PatchOptions &opts);

// The planned output read as a file, so that a plan can be checked by
// analysing it before anything is written. Both must outlive the result.
std::shared_ptr<const ByteSource> planned_output(const PatchPlan &plan,
                                                 std::shared_ptr<const ByteSource> input);

// Builds the patched image in memory. `a` must come from analyze(file) with
// verdict Patchable.
Bytes build_patched(const Bytes &file, const Analysis &a, const PatchOptions &opts);

// Writes the patched image to a seekable stream, reading the unchanged
// ranges from `input` a few hundred KiB at a time and computing the
// checksum on the way. The caller checks the stream's state afterwards.
void write_patched(const PatchPlan &plan, const ByteSource &input, std::ostream &out);

// The PE checksum as the Windows image helper computes it.
uint32_t pe_checksum(const Bytes &file, size_t checksum_off);

} // namespace sndlatch

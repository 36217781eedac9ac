#include "refusal.hpp"

namespace sndlatch {

namespace {

// Every reason with what the drop-in does about it, in one place.
const struct {
    Reason reason;
    bool dropin_overcomes;
} kReasons[] = {
    {Reason::Damaged, false},       {Reason::NotAProgram, false},  {Reason::Bit64, false},
    {Reason::NotNative, false},     {Reason::IsSndlatch, false},   {Reason::Packed, true},
    {Reason::ForceIntegrity, true}, {Reason::Signed, true},        {Reason::ByOrdinal, true},
    {Reason::DelayLoaded, true},    {Reason::NoWaveOutOpen, true}, {Reason::NoRoom, true},
};

} // namespace

bool dropin_overcomes(Reason reason) {
    for (const auto &r : kReasons)
        if (r.reason == reason)
            return r.dropin_overcomes;
    return false;
}

void refuse(Reason reason, const std::string &why) {
    throw Refusal(reason, why);
}

} // namespace sndlatch

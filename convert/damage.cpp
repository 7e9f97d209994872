#include <cmath>

#include "audio/audio.h"
#include "convert/convert.h"
#include "convert/frame.h"

namespace tolvek::convert {

namespace {

// "0:45", or "1:02:03" from an hour on.
std::string time_text(double seconds) { return clock_text(seconds, seconds >= 3600.0); }

}  // namespace

Damage damage_from(const audio::Damage& found, std::uint32_t rate) {
    using Kind = audio::Damage::Kind;
    const double at_s = static_cast<double>(found.frame) / rate;
    switch (found.kind) {
        case Kind::CorruptPacket: return {at_s, "corrupt packet"};
        case Kind::CrcMismatch: return {at_s, "CRC mismatch"};
        case Kind::FramesMissing: return {at_s, "frames missing"};
        case Kind::NoEndPage: return {at_s, "truncated: no end-of-stream page"};
        case Kind::PartialPage: return {at_s, "truncated: ends on a partial page"};
        case Kind::Truncated: break;
    }
    const double announced_s = static_cast<double>(found.announced_frames) / rate;
    return {at_s, "truncated: " + time_text(at_s) + " of " + time_text(announced_s) + " present"};
}

std::string damage_text(const Damage& damage) {
    return "damaged" + (damage.at_s ? " at " + time_text(*damage.at_s) : std::string()) + " (" + damage.reason + ")";
}

}  // namespace tolvek::convert

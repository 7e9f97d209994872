// The time of day a recording starts at, when it is known, so that a long
// recording's time axis can read as a clock: from a Broadcast WAV's bext
// chunk or a name like 20240512_053000.wav (the recorder's local clock,
// shown as it is), a creation_time tag (UTC), or the user (in the offset
// given).
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tolvek::audio {
class Stream;
}

namespace tolvek::convert {

struct ClockStart {
    int year = 0, month = 0, day = 0;
    double seconds = 0.0;  // since that day's midnight
    std::string zone;      // "" (local, as recorded), "UTC", or "+02:00"
    friend bool operator==(const ClockStart&, const ClockStart&) = default;
};

// ISO 8601: "2024-05-12T05:30:00" (or a blank for the T), seconds optional
// and fractional, then nothing, "Z" or an offset "+02:00", "+0200", "-05".
std::optional<ClockStart> parse_iso_time(std::string_view text);
// YYYYMMDD_HHMMSS or YYYYMMDD-HHMMSS anywhere in the file's name.
std::optional<ClockStart> clock_from_name(std::string_view path);

// The start of `stream` (at `path`): the bext date and time, else the
// creation_time tag, else the name.
std::optional<ClockStart> recorded_start(const audio::Stream& stream, const std::string& path);

// "2024-05-12T05:30:00" with "Z" for UTC or the offset: the report's field.
std::string iso_text(const ClockStart& c);
// The date and start as the title shows them: "2024-05-12 05:30:00 UTC".
std::string title_clock_text(const ClockStart& c);
// A time of day `offset_s` after the start: "05:30", or "05:30:15" when
// `with_seconds`.
std::string clock_label(const ClockStart& c, double offset_s, bool with_seconds);

}  // namespace tolvek::convert

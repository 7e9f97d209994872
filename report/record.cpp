#include "report/record.h"

#include <utility>


namespace tolvek::report {

const std::array<Field, kFieldCount> kFields{{
    {"source", &Record::source},
    {"picture", &Record::picture},
    {"status", &Record::status},
    {"reason", &Record::reason},
    {"codec", &Record::codec},
    {"rate_hz", &Record::rate_hz},
    {"channels", &Record::channels},
    {"duration_s", &Record::duration_s},
    {"bitrate_kbps", &Record::bitrate_kbps},
    {"size_bytes", &Record::size_bytes},
    {"columns", &Record::columns},
    {"seconds_per_column", &Record::seconds_per_column},
    {"coverage_pct", &Record::coverage_pct},
    {"peak_dbfs", &Record::peak_dbfs},
    {"clipped_samples", &Record::clipped_samples},
    {"silence_pct", &Record::silence_pct},
    {"cutoff_hz", &Record::cutoff_hz},
    {"lossy_origin", &Record::lossy_origin},
    {"elapsed_ms", &Record::elapsed_ms},
    {"damaged_at_s", &Record::damaged_at_s},
    {"upsampled_from_hz", &Record::upsampled_from_hz},
    {"bit_depth", &Record::bit_depth},
    {"effective_bits", &Record::effective_bits},
    {"md5_ok", &Record::md5_ok},
    {"loudness_lufs", &Record::loudness_lufs},
    {"loudness_range_lu", &Record::loudness_range_lu},
    {"true_peak_dbtp", &Record::true_peak_dbtp},
    {"artist", &Record::artist},
    {"album", &Record::album},
    {"title", &Record::title},
    {"data", &Record::data},
    {"start_time", &Record::start_time},
}};

std::string_view status_word(convert::Outcome outcome) {
    switch (outcome) {
        case convert::Outcome::Written: return kStatusWritten;
        case convert::Outcome::Damaged: return kStatusDamaged;
        case convert::Outcome::NotAudio: return kStatusNotAudio;
        case convert::Outcome::Unsupported: return kStatusUnsupported;
        case convert::Outcome::SaveError: return kStatusSaveError;
        case convert::Outcome::BeforeTime: return kStatusSkipped;
        case convert::Outcome::Unreadable: break;
    }
    return kStatusUnreadable;
}

Record Record::unreadable(std::string source, std::string reason) {
    Record r;
    r.source = std::move(source);
    r.status = std::string(kStatusUnreadable);
    r.reason = std::move(reason);
    return r;
}

Record Record::duplicate_picture(std::string source, const std::string& picture) {
    Record r;
    r.source = std::move(source);
    r.status = std::string(kStatusSaveError);
    r.reason = "its picture " + picture + " was already made in this run";
    return r;
}

Record Record::up_to_date(std::string source, std::string picture, Record kept) {
    kept.source = std::move(source);
    kept.picture = std::move(picture);
    if (kept.status == kStatusDamaged) return kept;
    kept.status = std::string(kStatusUpToDate);
    kept.reason.reset();
    return kept;
}

namespace {

std::optional<std::string> text_or_none(const std::string& text) {
    if (text.empty()) return std::nullopt;
    return text;
}

// What the samples, the checksum, the loudness and the tags say.
void add_verdicts(const convert::Result& result, Record& r) {
    if (result.upsampled_from_hz) r.upsampled_from_hz = *result.upsampled_from_hz;
    r.bit_depth = text_or_none(result.bit_depth);
    r.effective_bits = result.effective_bits;
    if (result.md5_ok) r.md5_ok = *result.md5_ok ? "yes" : "no";
    // +0.0: no value is written as "-0".
    if (result.loudness_lufs) r.loudness_lufs = *result.loudness_lufs + 0.0;
    if (result.loudness_range_lu) r.loudness_range_lu = *result.loudness_range_lu + 0.0;
    if (result.true_peak_dbtp) r.true_peak_dbtp = *result.true_peak_dbtp + 0.0;
    r.artist = text_or_none(result.artist);
    r.album = text_or_none(result.album);
    r.title = text_or_none(result.title);
}

}  // namespace

Record record_from(const std::string& source, const convert::Result& result) {
    Record r;
    r.source = source;
    r.status = std::string(status_word(result.outcome));
    if (result.outcome == convert::Outcome::Written || result.outcome == convert::Outcome::Damaged)
        r.picture = result.picture;
    if (!result.data.empty()) r.data = result.data;
    if (!result.start_time.empty()) r.start_time = result.start_time;
    if (!result.reason.empty()) r.reason = result.reason;
    if (result.outcome == convert::Outcome::Damaged && result.damage) {
        r.reason = result.damage->reason;
        r.damaged_at_s = result.damage->at_s;
    }
    if (result.rate > 0) r.rate_hz = result.rate;
    if (result.channels > 0) r.channels = result.channels;
    if (result.rate > 0) r.duration_s = result.seconds;
    if (result.size_bytes > 0) r.size_bytes = static_cast<std::int64_t>(result.size_bytes);
    if (result.columns > 0) {
        r.columns = result.columns;
        r.seconds_per_column = (result.drawn_seconds > 0.0 ? result.drawn_seconds : result.seconds) / result.columns;
    }
    // Adding +0.0 turns -0.0 into 0.0, so no peak is written as "-0".
    if (result.peak_dbfs) r.peak_dbfs = *result.peak_dbfs + 0.0;
    if (result.clipped_samples) r.clipped_samples = static_cast<std::int64_t>(*result.clipped_samples);
    r.silence_pct = result.silence_pct;
    if (result.cutoff) r.cutoff_hz = result.cutoff->hz;
    if (!result.codec.empty()) {
        r.codec = result.codec;
        if (const auto origin = convert::analysis::lossy_origin(result.codec, result.cutoff)) r.lossy_origin = std::string(*origin);
    }
    if (result.bitrate_kbps > 0) r.bitrate_kbps = result.bitrate_kbps;
    if (result.columns > 0) r.coverage_pct = result.coverage_pct;
    add_verdicts(result, r);
    return r;
}

}  // namespace tolvek::report

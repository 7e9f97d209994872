#include "batch/records.h"

#include "convert/stamp.h"
#include "report/format.h"

namespace tolvek::batch {

void store_record(const convert::Result& result, image::Metadata& metadata) {
    std::string line = report::json_line(report::record_from(result.source, result));
    if (line.ends_with('\n')) line.pop_back();
    metadata.emplace_back(kRecordKey, std::move(line));
}

std::optional<report::Record> stored_record(const image::Metadata& metadata) {
    const auto line = convert::metadata_value(metadata, kRecordKey);
    std::vector<report::Record> kept;
    if (!line || !report::parse_report(*line, report::Format::JsonLines, kept) || kept.size() != 1)
        return std::nullopt;
    return kept.front();
}

RunRecords::RunRecords(std::string report_path, std::string index_path, std::string walked)
    : report_path_(std::move(report_path)) {
    if (!index_path.empty()) index_.emplace(std::move(index_path), std::move(walked));
}

void RunRecords::add(report::Record record) {
    if (wanted()) records_.push_back(std::move(record));
}

std::vector<std::pair<std::string, Status>> RunRecords::finish() const {
    std::vector<std::pair<std::string, Status>> failures;
    if (!report_path_.empty())
        if (Status written = report::write_report(report_path_, records_); !written)
            failures.emplace_back(report_path_, std::move(written));
    if (index_)
        if (Status written = index_->finish(records_); !written)
            failures.emplace_back(index_->page_path(), std::move(written));
    return failures;
}

}  // namespace tolvek::batch

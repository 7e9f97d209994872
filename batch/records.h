// The records of a run's files, in walk order, with the thumbnails of their
// pictures: what the report and the index page are written from. Each
// picture also keeps its own record, so a later update run can report it
// without opening the source.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/status.h"
#include "convert/convert.h"
#include "image/picture.h"
#include "report/index.h"
#include "report/record.h"

namespace tolvek::batch {

// The metadata key under which a picture keeps its report record.
inline constexpr const char* kRecordKey = "Tolvek-Record";

// Puts a conversion's record into its picture's metadata (the run's
// convert::Options::describe).
void store_record(const convert::Result& result, image::Metadata& metadata);

// The record a picture keeps, when it keeps one.
std::optional<report::Record> stored_record(const image::Metadata& metadata);

class RunRecords {
public:
    // Either path may be empty: no report, or no index page.
    RunRecords(std::string report_path, std::string index_path, std::string walked = {});

    // Whether anything is written from the records.
    bool wanted() const { return !report_path_.empty() || index_.has_value(); }
    // The index page's thumbnails, when a page is asked for.
    const report::IndexWriter* index() const { return index_ ? &*index_ : nullptr; }

    // In walk order; only called from one thread at a time.
    void add(report::Record record);

    // Writes the report and the page; each one that could not be written
    // comes back with its path.
    std::vector<std::pair<std::string, Status>> finish() const;

private:
    std::string report_path_;
    std::optional<report::IndexWriter> index_;
    std::vector<report::Record> records_;
};

}  // namespace tolvek::batch

#include "batch/run.h"

#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <set>

#include "batch/decide.h"
#include "batch/queue.h"
#include "batch/records.h"
#include "convert/stamp.h"

namespace tolvek::batch {
namespace {

// The run's outcome of a conversion.
Outcome outcome_of(const Item& item) {
    switch (item.result.outcome) {
        case convert::Outcome::Written: return Outcome::Written;
        case convert::Outcome::Damaged: return Outcome::Damaged;
        case convert::Outcome::SaveError: return Outcome::SaveError;
        case convert::Outcome::BeforeTime: return Outcome::Skipped;
        case convert::Outcome::NotAudio:
        case convert::Outcome::Unsupported: return Outcome::NotAudio;
        case convert::Outcome::Unreadable: break;
    }
    // A file removed since the walk listed it is simply gone.
    struct stat st;
    if (lstat(item.path.c_str(), &st) != 0 && errno == ENOENT) return Outcome::Gone;
    return Outcome::Unreadable;
}

// The fault a damaged file's stored record names.
convert::Damage damage_of(const report::Record& r) { return {r.damaged_at_s, r.reason.value_or("")}; }

// The patterns a run walks, as the index page's title names them.
std::string walked_text(const std::vector<std::string>& patterns) {
    std::string text;
    for (const std::string& p : patterns) text += (text.empty() ? "" : " ") + p;
    return text;
}

// A conversion's log: its lines belong to its own item.
class ItemLog : public convert::Log {
public:
    ItemLog(OrderedQueue& queue, Item& item, const Output& output) : queue_(queue), item_(item), output_(output) {}
    void line(std::string_view text) override { queue_.append(item_, text, false); }
    void error(std::string_view text) override { queue_.append(item_, text, true); }
    std::string shown(std::string_view name) const override { return output_.shown(name); }

private:
    OrderedQueue& queue_;
    Item& item_;
    const Output& output_;
};

// The walk's visitor: decides each file's fate and queues it; counts and
// records every entry once it has been printed.
class Batch : public walker::Visitor {
public:
    Batch(const RunSettings& settings, Output& output, Progress* progress)
        : settings_(settings),
          output_(output),
          progress_(progress),
          records_(settings.report_path, settings.index_path, walked_text(settings.patterns)),
          queue_(settings.jobs, output, [this](Item& item, int threads) { convert(item, threads); },
                 [this](Item& item) { settle(item); }) {}

    void line(std::string text) override { queue_.add_done(Item{.out = std::move(text)}); }
    void unreadable(std::string path, std::string reason) override {
        std::string err = "tolvek: " + output_.shown(path) + ": " + reason + "\n";
        ++found_;
        queue_.add_done(Item{.outcome = Outcome::Unreadable,
                             .record = report::Record::unreadable(std::move(path), std::move(reason)),
                             .err = std::move(err)});
    }
    void file(std::string path, std::string outpath, std::uint64_t bytes) override;
    // The walk has ended: what it found is all there is.
    void walked() {
        if (progress_) progress_->found(found_, found_bytes_, true);
    }

    RunTotals finish() {
        queue_.finish();
        return totals_;
    }
    const RunRecords& records() const { return records_; }

private:
    void convert(Item& item, int threads);
    void settle(Item& item);
    void say_failure(const Item& item, Outcome outcome);
    void counted(const Item& item) {
        if (progress_) progress_->settled(item.bytes, totals_);
    }

    const RunSettings& settings_;
    Output& output_;
    Progress* progress_;
    int found_ = 0;  // entries of this run the walk found, and their bytes
    std::uint64_t found_bytes_ = 0;
    RunTotals totals_;
    std::set<std::string> claimed_;  // picture paths of this run
    RunRecords records_;
    OrderedQueue queue_;
};

void Batch::file(std::string path, std::string outpath, std::uint64_t bytes) {
    const DecideSettings how{settings_.conversion, settings_.update, settings_.shard, records_.index()};
    Decision d = decide(path, outpath, how, claimed_);
    const bool verbose = settings_.conversion.verbose > 0;
    if (d.fate != Fate::OtherShard && d.fate != Fate::OwnOutput) {
        ++found_;
        found_bytes_ += bytes;
    }
    switch (d.fate) {
        case Fate::OtherShard: return;
        case Fate::Convert:
            queue_.add_work(
                Item{.convert = true, .path = std::move(path), .outpath = std::move(outpath), .bytes = bytes});
            return;
        case Fate::DuplicatePicture:
            queue_.add_done(Item{.outcome = Outcome::DuplicatePicture,
                                 .bytes = bytes,
                                 .record = std::move(d.record),
                                 .err = "tolvek: " + output_.shown(path) + ": its picture " + output_.shown(d.picture) +
                                        " was already made in this run\n"});
            return;
        case Fate::UpToDate: {
            if (d.thumbnail_problem)
                output_.err("tolvek: " + output_.shown(d.picture) + ": no thumbnail: " + d.thumbnail_problem->message +
                            "\n");
            // A damaged file stays damaged while its picture is up to date.
            const bool damaged = d.record->status == report::kStatusDamaged;
            std::string err = damaged ? "tolvek: " + output_.shown(path) + ": " + convert::damage_text(damage_of(*d.record)) + "\n" : "";
            queue_.add_done(Item{.outcome = damaged ? Outcome::Damaged : Outcome::UpToDate,
                                 .bytes = bytes,
                                 .record = std::move(d.record),
                                 .out = verbose ? "Skipping " + output_.shown(path) + ": up to date\n" : "",
                                 .err = std::move(err)});
            return;
        }
        case Fate::OwnOutput:
            if (verbose) queue_.add_done(Item{.out = "Skipping " + output_.shown(path) + ": written by this program\n"});
            return;
    }
}

void Batch::convert(Item& item, int threads) {
    ItemLog log(queue_, item, output_);
    convert::Options options = settings_.conversion;
    options.threads = threads;
    if (const report::IndexWriter* index = records_.index()) {
        // The thumbnail comes from the painted picture, not from decoding
        // the saved file again.
        options.on_picture = [&, index](const image::Picture& picture) {
            report::Record r;
            r.picture = convert::picture_path(item.path, item.outpath, settings_.conversion);
            if (const Status made = index->add_thumbnail(r, picture); !made)
                log.error("tolvek: " + output_.shown(*r.picture) + ": no thumbnail: " + made.message + "\n");
        };
    }
    item.result = convert::convert_file(item.path, item.outpath, options, log);
}

// What a save into a mirrored folder that is missing needs: without
// recursive the walk makes no folders.
std::string folder_hint(const std::string& picture, bool recursive) {
    if (recursive) return "";
    const std::filesystem::path folder = std::filesystem::path(picture).parent_path();
    struct stat st;
    if (folder.empty() || stat(folder.c_str(), &st) == 0 || errno != ENOENT) return "";
    return " (use --recursive to create folders)";
}

// Failures of a conversion are said whatever the verbosity: standard
// output only says "Save error".
void Batch::say_failure(const Item& item, Outcome outcome) {
    if (outcome == Outcome::SaveError)
        output_.err("tolvek: " + output_.shown(item.result.picture) + ": " + output_.shown(item.result.reason) +
                    folder_hint(item.result.picture, settings_.walk.recursive) + "\n");
    else if (outcome == Outcome::Unreadable)
        output_.err("tolvek: " + output_.shown(item.path) + ": " + item.result.reason + "\n");
    else if (outcome == Outcome::Damaged && item.result.damage)
        output_.err("tolvek: " + output_.shown(item.path) + ": " + convert::damage_text(*item.result.damage) + "\n");
}

// Counts and records a finished entry, in walk order.
void Batch::settle(Item& item) {
    if (item.convert) {
        const Outcome outcome = outcome_of(item);
        say_failure(item, outcome);
        report::Record r = report::record_from(item.path, item.result);
        r.elapsed_ms = std::round(item.result.open_ms + item.result.paint_ms + item.result.save_ms);
        records_.add(std::move(r));
        count(totals_, outcome);
        counted(item);
        return;
    }
    if (!item.outcome) return;
    if (item.record) records_.add(std::move(*item.record));
    count(totals_, *item.outcome);
    counted(item);
}

}  // namespace

RunTotals run_batch(RunSettings settings, Output& output, Progress* progress) {
    const auto start = std::chrono::steady_clock::now();
    // Every picture keeps its own report record, so a later run in update
    // mode can report it without opening the source.
    settings.conversion.describe = store_record;
    // The run's own files are no inputs.
    settings.walk.own_outputs = {settings.report_path, settings.index_path};
    if (!settings.index_path.empty()) settings.walk.own_outputs.push_back(report::thumbnail_folder(settings.index_path));
    Batch batch(settings, output, progress);
    {
        std::optional<LookAhead> ahead;
        if (progress) ahead.emplace(settings.walk, settings.patterns, settings.shard, *progress);
        walker::Walker walker(settings.walk, batch);
        for (const std::string& pattern : settings.patterns) walker.walk(pattern);
    }
    batch.walked();
    RunTotals totals = batch.finish();
    // A report or page that cannot be written is a failure like a picture.
    for (const auto& [path, status] : batch.records().finish()) {
        output.err("tolvek: " + output.shown(path) + ": " + status.message + "\n");
        count(totals, Outcome::SaveError);
    }
    totals.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return totals;
}

}  // namespace tolvek::batch

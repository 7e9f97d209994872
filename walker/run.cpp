#include "walker/run.h"

#include <sys/stat.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <system_error>
#include <thread>

#include "audio/audio.h"
#include "convert/stamp.h"
#include "image/thumbnail.h"
#include "report/format.h"
#include "report/index.h"
#include "report/record.h"

namespace tolvek::walker {
namespace {

enum class Outcome { Written, NotAudio, Unreadable, SaveError };

Outcome outcome_of(int status) {
    switch (status) {
        case TOLVEK_STATUS_OK: return Outcome::Written;
        case TOLVEK_STATUS_SAVE_ERROR: return Outcome::SaveError;
        case TOLVEK_STATUS_UNSUPPORTED:
        case audio::kErrorFormat:
        case audio::kErrorNoAudio:
        case audio::kErrorCodec: return Outcome::NotAudio;
        default: return Outcome::Unreadable;
    }
}

// What an entry adds to the run's totals.
enum class Counts { Nothing, File, UpToDate, OwnPicture, Unreadable, Duplicate };

// The key under which a picture keeps its report record.
constexpr const char* kRecordKey = "Tolvek-Record";

double ms_between(std::chrono::steady_clock::time_point from, std::chrono::steady_clock::time_point to) {
    return std::chrono::duration<double, std::milli>(to - from).count();
}

// A picture this program made (it carries our stamp): not audio, and known
// so without handing it to the decoders, which is most of what a re-run over
// a tree of sources and their pictures would otherwise cost.
bool is_own_picture(const std::string& path) {
    if (!path.ends_with(".png") && !path.ends_with(".jpg")) return false;
    image::Metadata metadata;
    return image::read_metadata(path, metadata) && convert::read_stamp(metadata).has_value();
}

// The record of a source whose picture records that it is up to date, from
// what the picture keeps; nothing when the picture is missing, from another
// version or settings, older than its source, or not whole (cut short,
// damaged, or of another size than it was saved at). The source is not opened.
std::optional<report::Record> up_to_date(const std::string& path, const std::string& picture,
                                         const convert::Options& options) {
    image::Metadata metadata;
    convert::Stamp now;
    if (!image::read_metadata(picture, metadata) || !convert::stamp_for(path, options, now)) return std::nullopt;
    if (convert::read_stamp(metadata) != now) return std::nullopt;
    const std::optional<image::PictureSize> saved = convert::read_picture_size(metadata);
    image::PictureSize found;
    if (!saved || !image::whole_picture_size(picture, found) || found != *saved) return std::nullopt;
    std::vector<report::Record> kept;
    const auto line = convert::metadata_value(metadata, kRecordKey);
    report::Record r;
    if (line && report::parse_report(*line, report::Format::JsonLines, kept) && kept.size() == 1) r = kept.front();
    r.source = path;
    r.picture = picture;
    r.status = std::string(report::kStatusUpToDate);
    r.reason.reset();
    return r;
}

// One entry of the run in walk order: a line of text, or a file with the
// lines its conversion prints.
struct Item {
    Counts counts = Counts::Nothing;
    std::string path, outpath;
    std::optional<report::Record> record;  // made before the item settles (not for conversions)
    std::string out, err;    // what it prints, as far as it is known
    std::size_t printed = 0; // bytes of `out` already printed
    bool done = false;
    convert::Result result;
};

class Loop;

// A conversion's log: its lines belong to its own item.
class ItemLog : public convert::Log {
public:
    ItemLog(Loop& loop, Item& item) : loop_(loop), item_(item) {}
    void line(std::string_view text) override;
    void error(std::string_view text) override;
    std::string shown(std::string_view name) const override;

private:
    Loop& loop_;
    Item& item_;
};

class Loop : public Visitor {
public:
    Loop(const RunSettings& settings, Output& output) : settings_(settings), output_(output) {
        if (!settings.index_path.empty()) index_.emplace(settings.index_path);
        start_threads();
    }
    ~Loop() override { finish(); }

    void line(std::string text) override { add_text(std::move(text), {}, Counts::Nothing); }
    void unreadable(std::string path, std::string reason) override {
        report::Record r;
        r.source = path;
        r.status = std::string(report::kStatusUnreadable);
        r.reason = reason;
        add_text({}, "tolvek: " + output_.shown(path) + ": " + reason + "\n", Counts::Unreadable, std::move(r));
    }
    void file(std::string path, std::string outpath) override;

    RunTotals finish();
    const std::vector<report::Record>& records() const { return records_; }
    const std::optional<report::IndexWriter>& index() const { return index_; }

    // Called by ItemLog.
    void append(Item& item, std::string_view text, bool to_err);
    std::string shown(std::string_view name) const { return output_.shown(name); }

private:
    bool threaded() const { return printer_.joinable(); }
    void start_threads();
    void add_text(std::string out, std::string err, Counts counts, std::optional<report::Record> record = {});
    bool skip_up_to_date(const std::string& path, const std::string& picture);
    void convert(Item& item, int threads = 1);
    void settle(const Item& item);
    void work();
    void print();

    const RunSettings& settings_;
    Output& output_;
    RunTotals totals_;
    std::set<std::string> pictures_;  // picture paths claimed in this run
    std::vector<report::Record> records_;  // in walk order, when a report or index is asked for
    std::optional<report::IndexWriter> index_;

    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::shared_ptr<Item>> order_;  // not yet printed, in walk order
    std::deque<std::shared_ptr<Item>> todo_;   // files not yet started
    std::size_t window_ = 0;
    bool closing_ = false;
    // Workers converting a file, and idle workers lent to one of them to
    // read its columns (when no other file waits).
    std::size_t busy_ = 0, lent_ = 0;
    std::vector<std::thread> workers_;
    std::thread printer_;
};

void ItemLog::line(std::string_view text) { loop_.append(item_, text, false); }
void ItemLog::error(std::string_view text) { loop_.append(item_, text, true); }
std::string ItemLog::shown(std::string_view name) const { return loop_.shown(name); }

void Loop::start_threads() {
    if (settings_.jobs <= 1) return;
    // A thread that cannot start is not an error: the run goes on with the
    // ones that did, or with none at all.
    try {
        printer_ = std::thread(&Loop::print, this);
    } catch (const std::system_error&) {
        return;
    }
    for (int i = 0; i < settings_.jobs; ++i) {
        try {
            workers_.emplace_back(&Loop::work, this);
        } catch (const std::system_error&) {
            break;
        }
    }
    if (workers_.empty()) {
        {
            std::lock_guard lock(mutex_);
            closing_ = true;
        }
        changed_.notify_all();
        printer_.join();
        closing_ = false;
        return;
    }
    // Finished files wait to be printed behind a long one; this bounds them.
    window_ = workers_.size() * 4;
}

void Loop::add_text(std::string out, std::string err, Counts counts, std::optional<report::Record> record) {
    auto item = std::make_shared<Item>();
    item->out = std::move(out);
    item->err = std::move(err);
    item->counts = counts;
    item->record = std::move(record);
    item->done = true;
    if (!threaded()) {
        output_.out(item->out);
        output_.err(item->err);
        settle(*item);
        return;
    }
    {
        std::lock_guard lock(mutex_);
        order_.push_back(std::move(item));
    }
    changed_.notify_all();
}

bool Loop::skip_up_to_date(const std::string& path, const std::string& picture) {
    const auto start = std::chrono::steady_clock::now();
    std::optional<report::Record> record = up_to_date(path, picture, settings_.conversion);
    if (!record) return false;
    record->elapsed_ms = ms_between(start, std::chrono::steady_clock::now());
    if (index_) {
        const Status kept = index_->keep_thumbnail(*record);
        // Pixels that cannot be decoded make the picture out of date.
        if (kept.code == image::kErrorPictureData) return false;
        if (!kept) output_.err("tolvek: " + output_.shown(picture) + ": no thumbnail: " + kept.message + "\n");
    }
    const std::string line =
        settings_.conversion.verbose > 0 ? "Skipping " + output_.shown(path) + ": up to date\n" : std::string();
    add_text(line, {}, Counts::UpToDate, std::move(record));
    return true;
}

void Loop::file(std::string path, std::string outpath) {
    // Another run of the same shard set converts it.
    if (settings_.shard && !report::owns(*settings_.shard, path)) return;
    // Two patterns mirrored onto one place would overwrite a picture this
    // run has already made.
    const std::string picture = convert::picture_path(path, outpath, settings_.conversion);
    if (!pictures_.insert(picture).second) {
        report::Record r;
        r.source = path;
        r.status = std::string(report::kStatusSaveError);
        r.reason = "its picture " + picture + " was already made in this run";
        add_text({}, "tolvek: " + output_.shown(path) + ": its picture " + output_.shown(picture) +
                         " was already made in this run\n", Counts::Duplicate, std::move(r));
        return;
    }
    if (settings_.update && skip_up_to_date(path, picture)) return;
    if (settings_.update && is_own_picture(path)) {
        report::Record r;
        r.source = path;
        r.status = std::string(report::kStatusNotAudio);
        r.reason = "a picture of this program";
        // The same line a conversion prints for a file that is not audio.
        const std::string line =
            settings_.conversion.verbose > 0 ? "Skipping " + output_.shown(outpath) + "\n" : std::string();
        add_text(line, {}, Counts::OwnPicture, std::move(r));
        return;
    }
    auto item = std::make_shared<Item>();
    item->counts = Counts::File;
    item->path = std::move(path);
    item->outpath = std::move(outpath);
    if (!threaded()) {
        convert(*item);
        settle(*item);
        return;
    }
    {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return order_.size() < window_; });
        order_.push_back(item);
        todo_.push_back(std::move(item));
    }
    changed_.notify_all();
}

void Loop::convert(Item& item, int threads) {
    ItemLog log(*this, item);
    if (threads <= 1 && !index_) {
        item.result = convert::convert_file(item.path, item.outpath, settings_.conversion, log);
        return;
    }
    convert::Options options = settings_.conversion;
    options.threads = threads;
    if (index_) {
        // The thumbnail comes from the painted picture, not from decoding
        // the saved file again.
        options.on_picture = [&](const image::Picture& picture) {
            report::Record r;
            r.picture = convert::picture_path(item.path, item.outpath, settings_.conversion);
            if (const Status made = index_->add_thumbnail(r, picture); !made)
                log.error("tolvek: " + output_.shown(*r.picture) + ": no thumbnail: " + made.message + "\n");
        };
    }
    item.result = convert::convert_file(item.path, item.outpath, options, log);
}

void Loop::append(Item& item, std::string_view text, bool to_err) {
    if (!threaded()) {
        to_err ? output_.err(text) : output_.out(text);
        return;
    }
    bool head;
    {
        std::lock_guard lock(mutex_);
        (to_err ? item.err : item.out) += text;
        head = order_.front().get() == &item;
    }
    // Only the item at the head is being printed as it grows.
    if (head) changed_.notify_all();
}

// Counts a finished entry, in walk order. While threads run, only the
// printer calls this.
void Loop::settle(const Item& item) {
    if (item.counts == Counts::Nothing) return;
    if (!settings_.report_path.empty() || index_) {
        if (item.record) {
            records_.push_back(*item.record);
        } else if (item.counts == Counts::File) {
            report::Record r = report::record_from(item.path, item.result);
            r.elapsed_ms = item.result.open_ms + item.result.paint_ms + item.result.save_ms;
            records_.push_back(std::move(r));
        }
    }
    if (item.counts == Counts::UpToDate || item.counts == Counts::OwnPicture) {
        ++(item.counts == Counts::UpToDate ? totals_.up_to_date : totals_.not_audio);
        return;
    }
    if (item.counts != Counts::File) {
        ++totals_.failed;
        (item.counts == Counts::Unreadable ? totals_.unreadable : totals_.save_failed) = true;
        return;
    }
    const convert::Result& r = item.result;
    switch (outcome_of(r.status)) {
        case Outcome::Written: ++totals_.written; break;
        case Outcome::NotAudio: ++totals_.not_audio; break;
        case Outcome::SaveError:
            ++totals_.failed;
            totals_.save_failed = true;
            // Said whatever the verbosity: standard output only says "Save error".
            output_.err("tolvek: " + output_.shown(r.picture) + ": " + output_.shown(r.reason) + "\n");
            break;
        case Outcome::Unreadable: {
            // A file removed since the walk listed it is simply gone.
            struct stat st;
            if (lstat(item.path.c_str(), &st) != 0 && errno == ENOENT) break;
            ++totals_.failed;
            totals_.unreadable = true;
            output_.err("tolvek: " + output_.shown(item.path) + ": " + r.reason + "\n");
            break;
        }
    }
}

void Loop::work() {
    for (;;) {
        std::shared_ptr<Item> item;
        std::size_t borrowed = 0;
        {
            std::unique_lock lock(mutex_);
            changed_.wait(lock, [&] {
                return (closing_ && todo_.empty()) || (!todo_.empty() && busy_ + lent_ < workers_.size());
            });
            if (todo_.empty()) return;
            item = std::move(todo_.front());
            todo_.pop_front();
            ++busy_;
            // Nothing else waits: the idle workers' cores read this file's
            // columns instead (a long file alone, or the last of a batch).
            if (todo_.empty()) borrowed = workers_.size() - busy_ - lent_;
            lent_ += borrowed;
        }
        convert(*item, static_cast<int>(borrowed) + 1);
        {
            std::lock_guard lock(mutex_);
            item->done = true;
            --busy_;
            lent_ -= borrowed;
        }
        changed_.notify_all();
    }
}

// Prints the oldest item as it grows, so the file at the head shows its
// progress live; the others follow whole when their turn comes.
void Loop::print() {
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [&] {
            return (!order_.empty() && (order_.front()->done || order_.front()->printed < order_.front()->out.size())) ||
                   (closing_ && order_.empty());
        });
        if (order_.empty()) return;
        const std::shared_ptr<Item> head = order_.front();
        const std::string chunk = head->out.substr(head->printed);
        head->printed = head->out.size();
        const bool finished = head->done;
        if (finished) order_.pop_front();
        lock.unlock();
        output_.out(chunk);
        if (finished) {
            output_.err(head->err);
            settle(*head);
            changed_.notify_all();             // room in the window
        }
        lock.lock();
    }
}

RunTotals Loop::finish() {
    if (threaded()) {
        {
            std::lock_guard lock(mutex_);
            closing_ = true;
        }
        changed_.notify_all();
        for (std::thread& w : workers_) w.join();
        workers_.clear();
        printer_.join();
    }
    return totals_;
}

}  // namespace

RunTotals walk_directory(RunSettings settings, Output& output) {
    const auto start = std::chrono::steady_clock::now();
    // Every picture keeps its own report record, so a later run in update
    // mode can report it without opening the source.
    settings.conversion.describe = [](const convert::Result& result, image::Metadata& metadata) {
        std::string line = report::json_line(report::record_from(result.source, result));
        if (line.ends_with('\n')) line.pop_back();
        metadata.emplace_back(kRecordKey, std::move(line));
    };
    Loop loop(settings, output);
    Walker walker(settings.walk, loop);
    for (const std::string& pattern : settings.patterns) walker.walk(pattern);
    RunTotals totals = loop.finish();
    // A report or page that cannot be written is a failure like a picture.
    const auto failed = [&](const std::string& path, const Status& status) {
        output.err("tolvek: " + output.shown(path) + ": " + status.message + "\n");
        ++totals.failed;
        totals.save_failed = true;
    };
    if (!settings.report_path.empty())
        if (const Status written = report::write_report(settings.report_path, loop.records()); !written)
            failed(settings.report_path, written);
    if (loop.index())
        if (const Status written = loop.index()->finish(loop.records()); !written) failed(settings.index_path, written);
    totals.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return totals;
}

std::string summary_line(const RunTotals& t, bool update) {
    char text[200];
    const std::string up_to_date = update ? ", " + std::to_string(t.up_to_date) + " up to date" : "";
    std::snprintf(text, sizeof text, "tolvek: %d picture%s written%s, %d not audio, %d failed, in %.1f s\n", t.written,
                  t.written == 1 ? "" : "s", up_to_date.c_str(), t.not_audio, t.failed, t.seconds);
    return text;
}

}  // namespace tolvek::walker

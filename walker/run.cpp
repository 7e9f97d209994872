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
enum class Counts { Nothing, File, Unreadable, Duplicate };

// One entry of the run in walk order: a line of text, or a file with the
// lines its conversion prints.
struct Item {
    Counts counts = Counts::Nothing;
    std::string path, outpath;
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
    Loop(const RunSettings& settings, Output& output) : settings_(settings), output_(output) { start_threads(); }
    ~Loop() override { finish(); }

    void line(std::string text) override { add_text(std::move(text), {}, Counts::Nothing); }
    void unreadable(std::string path, std::string reason) override {
        add_text({}, "tolvek: " + output_.shown(path) + ": " + reason + "\n", Counts::Unreadable);
    }
    void file(std::string path, std::string outpath) override;

    RunTotals finish();

    // Called by ItemLog.
    void append(Item& item, std::string_view text, bool to_err);
    std::string shown(std::string_view name) const { return output_.shown(name); }

private:
    bool threaded() const { return printer_.joinable(); }
    void start_threads();
    void add_text(std::string out, std::string err, Counts counts);
    void convert(Item& item);
    void settle(const Item& item);
    void work();
    void print();

    const RunSettings& settings_;
    Output& output_;
    RunTotals totals_;
    std::set<std::string> pictures_;  // picture paths claimed in this run

    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::shared_ptr<Item>> order_;  // not yet printed, in walk order
    std::deque<std::shared_ptr<Item>> todo_;   // files not yet started
    std::size_t window_ = 0;
    bool closing_ = false;
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

void Loop::add_text(std::string out, std::string err, Counts counts) {
    auto item = std::make_shared<Item>();
    item->out = std::move(out);
    item->err = std::move(err);
    item->counts = counts;
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

void Loop::file(std::string path, std::string outpath) {
    // Two patterns mirrored onto one place would overwrite a picture this
    // run has already made.
    const std::string picture = convert::picture_path(path, outpath, settings_.conversion);
    if (!pictures_.insert(picture).second) {
        add_text({}, "tolvek: " + output_.shown(path) + ": its picture " + output_.shown(picture) +
                         " was already made in this run\n", Counts::Duplicate);
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

void Loop::convert(Item& item) {
    ItemLog log(*this, item);
    item.result = convert::convert_file(item.path, item.outpath, settings_.conversion, log);
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
        {
            std::unique_lock lock(mutex_);
            changed_.wait(lock, [&] { return closing_ || !todo_.empty(); });
            if (todo_.empty()) return;
            item = std::move(todo_.front());
            todo_.pop_front();
        }
        convert(*item);
        {
            std::lock_guard lock(mutex_);
            item->done = true;
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

RunTotals walk_directory(const RunSettings& settings, Output& output) {
    const auto start = std::chrono::steady_clock::now();
    Loop loop(settings, output);
    Walker walker(settings.walk, loop);
    for (const std::string& pattern : settings.patterns) walker.walk(pattern);
    RunTotals totals = loop.finish();
    totals.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return totals;
}

std::string summary_line(const RunTotals& t) {
    char text[160];
    std::snprintf(text, sizeof text, "tolvek: %d picture%s written, %d not audio, %d failed, in %.1f s\n", t.written,
                  t.written == 1 ? "" : "s", t.not_audio, t.failed, t.seconds);
    return text;
}

}  // namespace tolvek::walker

#include "walker/batch.h"

#include <cstdarg>
#include <cstdio>

namespace tolvek::walker {

struct Batch::Item {
    Batch* batch = nullptr;
    bool is_file = false;
    std::string path, outpath;
    std::string text;         // what it prints, as far as it is known
    std::size_t printed = 0;  // bytes of `text` already printed
    bool done = false;
    int status = TOLVEK_STATUS_OK;
};

namespace {

// The conversion's log callback has no context argument, so each worker
// names the item it is converting.
thread_local Batch::Item* t_current = nullptr;

void item_log(const char* format, ...) {
    va_list args;
    va_start(args, format);
    char small[512];
    va_list copy;
    va_copy(copy, args);
    const int n = std::vsnprintf(small, sizeof small, format, copy);
    va_end(copy);
    std::string text;
    if (n >= 0 && static_cast<std::size_t>(n) < sizeof small) {
        text.assign(small, static_cast<std::size_t>(n));
    } else if (n >= 0) {
        text.resize(static_cast<std::size_t>(n) + 1);
        std::vsnprintf(text.data(), text.size(), format, args);
        text.resize(static_cast<std::size_t>(n));
    }
    va_end(args);
    t_current->batch->append(*t_current, text);
}

}  // namespace

Batch::Batch(int jobs, const Conversion& c) : conversion_(c), window_(static_cast<std::size_t>(jobs) * 4) {
    for (int i = 0; i < jobs; ++i) workers_.emplace_back(&Batch::work, this);
    printer_ = std::thread(&Batch::print, this);
}

Batch::~Batch() { finish(); }

void Batch::line(std::string text) {
    auto item = std::make_shared<Item>();
    item->text = std::move(text);
    item->done = true;
    {
        std::lock_guard lock(mutex_);
        order_.push_back(std::move(item));
    }
    changed_.notify_all();
}

void Batch::convert(std::string path, std::string outpath) {
    auto item = std::make_shared<Item>();
    item->batch = this;
    item->is_file = true;
    item->path = std::move(path);
    item->outpath = std::move(outpath);
    {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return order_.size() < window_; });
        order_.push_back(item);
        todo_.push_back(std::move(item));
    }
    changed_.notify_all();
}

void Batch::append(Item& item, const std::string& text) {
    bool head;
    {
        std::lock_guard lock(mutex_);
        item.text += text;
        head = order_.front().get() == &item;
    }
    // Only the item at the head is being printed as it grows.
    if (head) changed_.notify_all();
}

void Batch::work() {
    for (;;) {
        std::shared_ptr<Item> item;
        {
            std::unique_lock lock(mutex_);
            changed_.wait(lock, [&] { return closing_ || !todo_.empty(); });
            if (todo_.empty()) return;
            item = std::move(todo_.front());
            todo_.pop_front();
        }
        t_current = item.get();
        const Conversion& c = conversion_;
        const int status = _process_file(item->path.c_str(), c.format, c.quality, c.grid, c.local, c.verbose, c.palette,
                                         item_log, item->outpath.c_str());
        t_current = nullptr;
        {
            std::lock_guard lock(mutex_);
            item->status = status;
            item->done = true;
        }
        changed_.notify_all();
    }
}

// Prints the oldest item as it grows, so the file at the head shows its
// progress live; the others follow whole when their turn comes.
void Batch::print() {
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [&] {
            return (!order_.empty() && (order_.front()->done || order_.front()->printed < order_.front()->text.size())) ||
                   (closing_ && order_.empty());
        });
        if (order_.empty()) return;
        const std::shared_ptr<Item> head = order_.front();
        const std::string chunk = head->text.substr(head->printed);
        head->printed = head->text.size();
        const bool finished = head->done;
        if (finished) {
            order_.pop_front();
            if (head->is_file) {
                last_status_ = head->status;
                if (head->status == TOLVEK_STATUS_SAVE_ERROR) save_failed_ = true;
            }
        }
        lock.unlock();
        if (!chunk.empty()) {
            if (head->is_file)
                conversion_.log("%s", chunk.c_str());
            else
                std::fputs(chunk.c_str(), stdout);
        }
        if (finished) changed_.notify_all();  // room in the window
        lock.lock();
    }
}

int Batch::finish() {
    {
        std::lock_guard lock(mutex_);
        if (!printer_.joinable()) return save_failed_ ? TOLVEK_STATUS_SAVE_ERROR : last_status_;
        closing_ = true;
    }
    changed_.notify_all();
    for (std::thread& w : workers_) w.join();
    workers_.clear();
    printer_.join();
    return save_failed_ ? TOLVEK_STATUS_SAVE_ERROR : last_status_;
}

}  // namespace tolvek::walker

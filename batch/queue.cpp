#include "batch/queue.h"

#include <system_error>
#include <utility>

namespace tolvek::batch {

OrderedQueue::OrderedQueue(int jobs, Output& output, Work work, Settle settle)
    : output_(output), work_(std::move(work)), settle_(std::move(settle)) {
    start_threads(jobs);
}

void OrderedQueue::start_threads(int jobs) {
    if (jobs <= 1) return;
    // A thread that cannot start is not an error: the run goes on with the
    // ones that did, or with none at all.
    try {
        printer_ = std::thread(&OrderedQueue::print, this);
    } catch (const std::system_error&) {
        return;
    }
    for (int i = 0; i < jobs; ++i) {
        try {
            workers_.emplace_back(&OrderedQueue::work, this);
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

void OrderedQueue::add_done(Item item) {
    item.done = true;
    if (!threaded()) {
        output_.out(item.out);
        output_.err(item.err);
        settle_(item);
        return;
    }
    {
        std::lock_guard lock(mutex_);
        order_.push_back(std::make_shared<Item>(std::move(item)));
    }
    changed_.notify_all();
}

void OrderedQueue::add_work(Item item) {
    if (!threaded()) {
        work_(item, 1);
        settle_(item);
        return;
    }
    auto shared = std::make_shared<Item>(std::move(item));
    {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return order_.size() < window_; });
        order_.push_back(shared);
        todo_.push_back(std::move(shared));
    }
    changed_.notify_all();
}

void OrderedQueue::append(Item& item, std::string_view text, bool to_err) {
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

void OrderedQueue::work() {
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
        work_(*item, static_cast<int>(borrowed) + 1);
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
void OrderedQueue::print() {
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
            settle_(*head);
            changed_.notify_all();  // room in the window
        }
        lock.lock();
    }
}

void OrderedQueue::finish() {
    if (!threaded()) return;
    {
        std::lock_guard lock(mutex_);
        closing_ = true;
    }
    changed_.notify_all();
    for (std::thread& w : workers_) w.join();
    workers_.clear();
    printer_.join();
}

}  // namespace tolvek::batch

// The run's entries in walk order: files converted by `jobs` workers, each
// file's lines printed whole and in walk order (the file at the head shows
// its progress live), and every finished entry handed on in that order.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "batch/output.h"
#include "batch/tally.h"
#include "convert/convert.h"
#include "report/record.h"

namespace tolvek::batch {

// One entry of the run in walk order: a line of text, a file decided
// without converting it, or a file to convert with the lines it prints.
struct Item {
    std::optional<Outcome> outcome;         // settled: nothing for a line of text
    bool convert = false;                   // converted by a worker
    std::string path, outpath;
    std::uint64_t bytes = 0;                // the source's size as the walk found it
    std::optional<report::Record> record;   // made before the item settles (not for conversions)
    std::string out, err;                   // what it prints, as far as it is known
    std::size_t printed = 0;                // bytes of `out` already printed
    bool done = false;
    convert::Result result;
};

class OrderedQueue {
public:
    // Converts an item with `threads` threads for its columns; its lines go
    // through append().
    using Work = std::function<void(Item& item, int threads)>;
    // A finished item, in walk order, after its lines were printed. Called
    // from one thread at a time.
    using Settle = std::function<void(Item& item)>;

    // With `jobs` at most 1 everything happens on the caller's thread.
    OrderedQueue(int jobs, Output& output, Work work, Settle settle);
    ~OrderedQueue() { finish(); }
    OrderedQueue(const OrderedQueue&) = delete;
    OrderedQueue& operator=(const OrderedQueue&) = delete;

    // An entry that is finished already.
    void add_done(Item item);
    // A file for the workers; waits while too many finished files wait to
    // be printed behind a long one.
    void add_work(Item item);
    // A line an item's conversion prints.
    void append(Item& item, std::string_view text, bool to_err);
    // Waits for every item to be printed and settled.
    void finish();

private:
    bool threaded() const { return printer_.joinable(); }
    void start_threads(int jobs);
    void work();
    void print();

    Output& output_;
    Work work_;
    Settle settle_;
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

}  // namespace tolvek::batch

// Files converted side by side while every line still comes out whole and in
// walk order: the output is byte for byte that of a walk with one worker.
#pragma once

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "convert/convert.h"

namespace tolvek::walker {

// The conversion settings every file of a walk gets.
struct Conversion {
    OutputFormat format;
    int quality, grid, local, verbose;
    unsigned char** palette;
    LogFn log;
};

class Batch {
public:
    // `jobs` worker threads. Conversions' lines go to `c.log`, the walker's
    // own lines to standard output.
    Batch(int jobs, const Conversion& c);
    ~Batch();
    Batch(const Batch&) = delete;
    Batch& operator=(const Batch&) = delete;

    // A line of the walker, printed after everything queued before it.
    void line(std::string text);
    // Queues one file. Waits while too many finished files wait to be
    // printed, so memory stays bounded behind a long file.
    void convert(std::string path, std::string outpath);
    // Waits for every file and every line. Returns 10002 when any picture
    // could not be written, else the status of the last file in walk order.
    int finish();

    struct Item;
    // A conversion's log text, added to its item.
    void append(Item& item, const std::string& text);

private:
    void work();
    void print();

    Conversion conversion_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::shared_ptr<Item>> order_;  // everything not yet printed, in walk order
    std::deque<std::shared_ptr<Item>> todo_;   // files not yet started
    std::size_t window_;
    bool closing_ = false;
    bool save_failed_ = false;
    int last_status_ = TOLVEK_STATUS_OK;
    std::vector<std::thread> workers_;
    std::thread printer_;
};

}  // namespace tolvek::walker

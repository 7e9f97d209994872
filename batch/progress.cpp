#include "batch/progress.h"

#include <exception>
#include <system_error>
#include <utility>

#include "batch/decide.h"

namespace tolvek::batch {
namespace {

// Counts what the run's walk would hand to the run, as Batch does.
class Counter : public walker::Visitor {
public:
    Counter(const std::optional<Shard>& shard, Progress& progress) : shard_(shard), progress_(progress) {}
    void line(std::string) override {}
    void file(std::string path, std::string, std::uint64_t bytes) override {
        if ((shard_ && !owns(*shard_, path)) || is_own_output(path)) return;
        bytes_ += bytes;
        progress_.found(++files_, bytes_, false);
    }
    void unreadable(std::string, std::string) override { progress_.found(++files_, bytes_, false); }
    void finish() { progress_.found(files_, bytes_, true); }

private:
    const std::optional<Shard>& shard_;
    Progress& progress_;
    int files_ = 0;
    std::uint64_t bytes_ = 0;
};

}  // namespace

LookAhead::LookAhead(const walker::WalkOptions& walk, std::vector<std::string> patterns, std::optional<Shard> shard,
                     Progress& progress) {
    // Only the run's own walk makes the mirrored folders or says anything.
    walker::WalkOptions counting = walk;
    counting.recursive = false;
    counting.verbose = 0;
    const auto count = [counting, patterns = std::move(patterns), shard = std::move(shard), &progress] {
        try {
            Counter counter(shard, progress);
            walker::Walker walker(counting, counter);
            for (const std::string& pattern : patterns) walker.walk(pattern);
            counter.finish();
        } catch (const std::exception&) {
            // No total then; the run's walk gives it at its end.
        }
    };
    // A thread that cannot start is not an error either.
    try {
        thread_ = std::thread(count);
    } catch (const std::system_error&) {
    }
}

LookAhead::~LookAhead() {
    if (thread_.joinable()) thread_.join();
}

}  // namespace tolvek::batch

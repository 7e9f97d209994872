#include <gtest/gtest.h>

#include <string>

#include "frontend/progress.h"

using tolvek::frontend::status_text;
using tolvek::frontend::StatusCounts;

namespace {

TEST(StatusText, Table) {
    constexpr std::uint64_t kMiB = 1 << 20;
    struct Case {
        StatusCounts counts;
        int width;
        std::string expected;
    };
    for (const Case& c : {
             Case{{1, 4, false, 100, 400, 0, 3.9}, 200, "1 of 4 files found so far, walking..., 0:03 elapsed, 0 failed"},
             // The time left: from the third file and the fifth second on.
             Case{{2, 4, true, kMiB, 4 * kMiB, 0, 10}, 200, "2 of 4 files, 25.0% of 4.0 MiB, 0:10 elapsed, 0 failed"},
             Case{{2, 4, true, kMiB, 4 * kMiB, 0, 10, 1}, 200,
                  "2 of 4 files, 25.0% of 4.0 MiB, 0:10 elapsed, 0 failed, 1 damaged"},
             Case{{3, 4, true, kMiB, 4 * kMiB, 0, 4.99}, 200, "3 of 4 files, 25.0% of 4.0 MiB, 0:04 elapsed, 0 failed"},
             Case{{3, 4, true, kMiB, 4 * kMiB, 1, 5}, 200,
                  "3 of 4 files, 25.0% of 4.0 MiB, 0:05 elapsed, about 0:15 left, 1 failed"},
             Case{{3, 6, true, 2 * kMiB, 3 * kMiB, 0, 3725}, 200,
                  "3 of 6 files, 66.6% of 3.0 MiB, 1:02:05 elapsed, about 31:02 left, 0 failed"},
             Case{{4, 4, true, 4 * kMiB, 4 * kMiB, 2, 60}, 200, "4 of 4 files, 100.0% of 4.0 MiB, 1:00 elapsed, 2 failed"},
             Case{{1, 1, true, 512, 512, 0, 0}, 200, "1 of 1 files, 100.0% of 512 B, 0:00 elapsed, 0 failed"},
             Case{{0, 2, true, 0, 3 * kMiB * 512, 0, 0}, 200, "0 of 2 files, 0.0% of 1.5 GiB, 0:00 elapsed, 0 failed"},
             Case{{0, 0, true, 0, 0, 0, 0}, 200, "0 of 0 files, 0:00 elapsed, 0 failed"},
             // Never the terminal's last column.
             Case{{3, 4, true, kMiB, 4 * kMiB, 0, 1}, 20, "3 of 4 files, 25.0%"},
             Case{{3, 4, true, kMiB, 4 * kMiB, 0, 1}, 1, ""},
         }) {
        EXPECT_EQ(status_text(c.counts, c.width), c.expected);
    }
}

}  // namespace

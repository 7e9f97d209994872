#include "batch/tally.h"

#include <cstdio>

namespace tolvek::batch {

void count(RunTotals& totals, Outcome outcome) {
    switch (outcome) {
        case Outcome::Written: ++totals.written; break;
        case Outcome::UpToDate: ++totals.up_to_date; break;
        case Outcome::Damaged:
            ++totals.damaged;
            totals.unreadable = true;
            break;
        case Outcome::NotAudio: ++totals.not_audio; break;
        case Outcome::Unreadable:
            ++totals.failed;
            totals.unreadable = true;
            break;
        case Outcome::SaveError:
        case Outcome::DuplicatePicture:
            ++totals.failed;
            totals.save_failed = true;
            break;
        case Outcome::Skipped: ++totals.skipped; break;
        case Outcome::Gone: break;
    }
}

std::string summary_line(const RunTotals& t, bool update) {
    char text[200];
    std::string up_to_date = update ? ", " + std::to_string(t.up_to_date) + " up to date" : "";
    if (t.damaged > 0) up_to_date += ", " + std::to_string(t.damaged) + " damaged";
    const std::string skipped = t.skipped > 0 ? ", " + std::to_string(t.skipped) + " skipped" : "";
    std::snprintf(text, sizeof text, "tolvek: %d picture%s written%s, %d not audio, %d failed%s, in %.1f s\n",
                  t.written, t.written == 1 ? "" : "s", up_to_date.c_str(), t.not_audio, t.failed, skipped.c_str(),
                  t.seconds);
    return text;
}

}  // namespace tolvek::batch

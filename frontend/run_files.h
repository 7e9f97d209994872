// The files a run writes besides its pictures, the report and the index
// page, checked before anything runs. Each replaces only a file of its own
// kind that this program wrote (recognised by how it begins) or an empty
// one, and is never one of the run's named inputs or the other one; a
// program that replaced anything else would destroy a user's file.
#pragma once

#include <optional>
#include <span>
#include <string>

namespace tolvek::frontend {

enum class RunFileKind { Report, Index };

struct RunFile {
    RunFileKind kind;
    std::string path;   // as the run writes it (%a expanded)
    std::string named;  // how messages name it: "--index run.html", "Tolvek_Pre.ini:4: index=run.html"
};

// The first refusal among `files`, one line naming the file and why ("tolvek:
// --index song.wav: the file there is not an index page written by tolvek;
// it is left alone"); nothing when every one may be written. `patterns` are
// the run's patterns as given: a file one names, or that one's wildcards
// match in its folder, is an input. Files are told apart by device and inode
// (by folder and name for a file not there yet), so "./r.csv", "r.csv" and a
// hard link are one file.
std::optional<std::string> refuse_run_files(std::span<const RunFile> files, std::span<const std::string> patterns);

}  // namespace tolvek::frontend

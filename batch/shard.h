// Splitting one run's files among N independent runs (a Slurm array, GNU
// parallel, a Kubernetes Indexed Job): each run walks the whole tree and
// keeps the files whose path hashes to its own shard.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "common/status.h"

namespace tolvek::batch {

// The error of a bad --shard value or a Slurm environment without an array
// job; the program exits with its usage status.
enum class Error { kErrorShardUsage = 1 };
using enum Error;
inline const LayerErrors kBatchErrors{"batch"};
inline std::error_code make_error_code(Error e) { return {static_cast<int>(e), kBatchErrors}; }

struct Shard {
    std::uint64_t index = 0;  // K, 0 <= K < N
    std::uint64_t count = 1;  // N >= 1
    bool operator==(const Shard&) const = default;
};

// FNV-1a, 64 bits (offset basis 14695981039346656037, prime 1099511628211),
// over the bytes of the source path exactly as the walk forms it. It depends
// on nothing but those bytes, so every machine and every version of the
// program puts a file in the same shard. Never change it: shards of runs
// made by different versions would then overlap.
std::uint64_t shard_hash(std::string_view path);

// Whether `path` belongs to `shard`: shard_hash(path) % N == K.
bool owns(const Shard& shard, std::string_view path);

// Reads a variable of the environment; nothing when it is unset.
using EnvLookup = std::function<std::optional<std::string>(const std::string& name)>;
// The process environment.
std::optional<std::string> process_env(const std::string& name);

// "K/N" (decimal, 0 <= K < N) or "slurm" in any case: K = (SLURM_ARRAY_TASK_ID
// - SLURM_ARRAY_TASK_MIN) / SLURM_ARRAY_TASK_STEP (step 1 when unset, min 0
// when unset), N = SLURM_ARRAY_TASK_COUNT. A bad value, "slurm" outside an
// array job or a task id outside its array is kErrorShardUsage; the message
// says why ("K must be below N, ...") and leaves naming the value to the
// caller, which knows whether it came from --shard or the settings file.
Status parse_shard(std::string_view text, const EnvLookup& env, Shard& out);

// A report or index name for a shard: "%a" is K, "%%" is "%"; any other
// '%' is kept as it is.
std::string expand_name(std::string_view pattern, const Shard& shard);

}  // namespace tolvek::batch

template <>
struct std::is_error_code_enum<tolvek::batch::Error> : std::true_type {};

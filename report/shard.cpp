#include "report/shard.h"

#include <charconv>
#include <cstdlib>

#include "common/hash.h"

namespace tolvek::report {
namespace {

// A whole unsigned decimal, nothing else (no sign, no spaces).
std::optional<std::uint64_t> whole_number(std::string_view text) {
    std::uint64_t value = 0;
    if (text.empty() || text.front() < '0' || text.front() > '9') return std::nullopt;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

Status usage(const std::string& words) { return Status::fail(kErrorShardUsage, words); }

Status slurm_shard(const EnvLookup& env, Shard& out) {
    const auto read = [&](const char* name) -> std::optional<std::uint64_t> {
        const auto text = env(name);
        return text ? whole_number(*text) : std::nullopt;
    };
    const auto id = read("SLURM_ARRAY_TASK_ID");
    const auto count = read("SLURM_ARRAY_TASK_COUNT");
    if (!id || !count)
        return usage("--shard slurm needs a Slurm array job (SLURM_ARRAY_TASK_ID and SLURM_ARRAY_TASK_COUNT)");
    const bool has_min = env("SLURM_ARRAY_TASK_MIN").has_value();
    const bool has_step = env("SLURM_ARRAY_TASK_STEP").has_value();
    const auto min = has_min ? read("SLURM_ARRAY_TASK_MIN") : std::optional<std::uint64_t>(0);
    const auto step = has_step ? read("SLURM_ARRAY_TASK_STEP") : std::optional<std::uint64_t>(1);
    if (!min || !step || *step == 0 || *count == 0)
        return usage("--shard slurm: SLURM_ARRAY_TASK_MIN, _STEP or _COUNT is not a usable number");
    if (*id < *min || (*id - *min) % *step != 0 || (*id - *min) / *step >= *count)
        return usage("--shard slurm: task " + std::to_string(*id) + " is not one of the " + std::to_string(*count) +
                     " tasks of its array");
    out = {(*id - *min) / *step, *count};
    return Status::ok();
}

}  // namespace

std::uint64_t shard_hash(std::string_view path) { return fnv1a64(path); }

bool owns(const Shard& shard, std::string_view path) { return shard_hash(path) % shard.count == shard.index; }

std::optional<std::string> process_env(const std::string& name) {
    const char* value = std::getenv(name.c_str());
    return value ? std::optional<std::string>(value) : std::nullopt;
}

Status parse_shard(std::string_view text, const EnvLookup& env, Shard& out) {
    if (text == "slurm") return slurm_shard(env, out);
    const std::size_t slash = text.find('/');
    const auto k = whole_number(text.substr(0, slash));
    const auto n = slash == std::string_view::npos ? std::nullopt : whole_number(text.substr(slash + 1));
    if (!k || !n) return usage("--shard takes K/N (0 <= K < N) or slurm, not \"" + std::string(text) + "\"");
    if (*n == 0 || *k >= *n)
        return usage("--shard " + std::string(text) + ": K must be below N, and N at least 1");
    out = {*k, *n};
    return Status::ok();
}

std::string expand_name(std::string_view pattern, const Shard& shard) {
    std::string out;
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        if (pattern[i] == '%' && i + 1 < pattern.size() && pattern[i + 1] == 'a') {
            out += std::to_string(shard.index);
            ++i;
        } else if (pattern[i] == '%' && i + 1 < pattern.size() && pattern[i + 1] == '%') {
            out += '%';
            ++i;
        } else {
            out += pattern[i];
        }
    }
    return out;
}

}  // namespace tolvek::report

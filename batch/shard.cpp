#include "batch/shard.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdlib>
#include <limits>

#include "common/hash.h"

namespace tolvek::batch {
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

// A Slurm variable: nothing when unset, else its text and its value when
// that is a whole number a uint64 holds.
struct SlurmVariable {
    const char* name;
    std::optional<std::string> text;
    std::optional<std::uint64_t> value;
};

SlurmVariable slurm_variable(const EnvLookup& env, const char* name) {
    SlurmVariable v{name, env(name), std::nullopt};
    if (v.text) v.value = whole_number(*v.text);
    return v;
}

// Why a variable that is set cannot be used: "SLURM_ARRAY_TASK_ID is '-1',
// not a whole number from 0 to 18446744073709551615".
std::string not_usable(const SlurmVariable& v) {
    return std::string(v.name) + " is '" + *v.text + "', not a whole number from 0 to " +
           std::to_string(std::numeric_limits<std::uint64_t>::max());
}

Status slurm_shard(const EnvLookup& env, Shard& out) {
    SlurmVariable id = slurm_variable(env, "SLURM_ARRAY_TASK_ID");
    SlurmVariable count = slurm_variable(env, "SLURM_ARRAY_TASK_COUNT");
    SlurmVariable min = slurm_variable(env, "SLURM_ARRAY_TASK_MIN");
    SlurmVariable step = slurm_variable(env, "SLURM_ARRAY_TASK_STEP");
    if (!id.text || !count.text)
        return usage(std::string("needs a Slurm array job (") + (id.text ? count.name : id.name) + " is not set)");
    if (!min.text) min.value = 0;
    if (!step.text) step.value = 1;
    for (const SlurmVariable* v : {&id, &count, &min, &step})
        if (!v->value) return usage(not_usable(*v));
    if (*step.value == 0 || *count.value == 0)
        return usage(std::string(*step.value == 0 ? step.name : count.name) + " is 0");
    const std::uint64_t offset = *id.value - *min.value;
    if (*id.value < *min.value || offset % *step.value != 0 || offset / *step.value >= *count.value)
        return usage("SLURM_ARRAY_TASK_ID " + std::to_string(*id.value) + " is out of range: the array's " +
                     std::to_string(*count.value) + " tasks start at " + std::to_string(*min.value) +
                     " in steps of " + std::to_string(*step.value));
    out = {offset / *step.value, *count.value};
    return Status::ok();
}

bool is_slurm(std::string_view text) {
    constexpr std::string_view kSlurm = "slurm";
    return text.size() == kSlurm.size() && std::equal(text.begin(), text.end(), kSlurm.begin(), [](char a, char b) {
               return std::tolower(static_cast<unsigned char>(a)) == b;
           });
}

}  // namespace

std::uint64_t shard_hash(std::string_view path) { return fnv1a64(path); }

bool owns(const Shard& shard, std::string_view path) { return shard_hash(path) % shard.count == shard.index; }

std::optional<std::string> process_env(const std::string& name) {
    const char* value = std::getenv(name.c_str());
    return value ? std::optional<std::string>(value) : std::nullopt;
}

Status parse_shard(std::string_view text, const EnvLookup& env, Shard& out) {
    if (is_slurm(text)) return slurm_shard(env, out);
    const std::size_t slash = text.find('/');
    const auto k = whole_number(text.substr(0, slash));
    const auto n = slash == std::string_view::npos ? std::nullopt : whole_number(text.substr(slash + 1));
    if (!k || !n) return usage("not K/N (whole numbers, 0 <= K < N) or slurm");
    if (*n == 0 || *k >= *n) return usage("K must be below N, and N at least 1");
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

}  // namespace tolvek::batch

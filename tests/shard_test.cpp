#include <gtest/gtest.h>

#include <limits>
#include <map>
#include <string>

#include "batch/shard.h"

namespace tolvek::batch {
namespace {

TEST(Shard, HashIsFnv1a64AndNeverChanges) {
    const std::pair<std::string, std::uint64_t> cases[] = {
        {"", 0xcbf29ce484222325ULL},
        {"a", 0xaf63dc4c8601ec8cULL},
        {"foobar", 0x85944171f73967e8ULL},
        {"music/Album/01 Intro.flac", 0xd309bae39a178f50ULL},
        {"/data/a\xff.wav", 0x642bf8d78a6b46e7ULL},
    };
    for (const auto& [path, hash] : cases) EXPECT_EQ(shard_hash(path), hash) << path;
    EXPECT_TRUE(owns({0xd309bae39a178f50ULL % 7, 7}, "music/Album/01 Intro.flac"));
}

using Env = std::map<std::string, std::string>;

TEST(Shard, ParsesKOverNAndSlurmArrays) {
    struct Case {
        std::string text;
        Env env;
        std::optional<Shard> want;  // nothing: a usage error
        std::string says = {};      // what its message holds
    };
    const Env array = {{"SLURM_ARRAY_TASK_ID", "7"}, {"SLURM_ARRAY_TASK_COUNT", "4"}};
    const Case cases[] = {
        {"0/1", {}, Shard{0, 1}},
        {"3/4", {}, Shard{3, 4}},
        {"4/4", {}, {}, "K must be below N, and N at least 1"},
        {"0/0", {}, {}},
        {"-1/4", {}, {}},
        {"+1/4", {}, {}},
        {" 1/4", {}, {}},
        {"1/4x", {}, {}, "not K/N (whole numbers, 0 <= K < N) or slurm"},
        {"1/", {}, {}},
        {"/4", {}, {}},
        {"14", {}, {}},
        {"1/99999999999999999999", {}, {}},
        {"slurm", {{"SLURM_ARRAY_TASK_ID", "2"}, {"SLURM_ARRAY_TASK_COUNT", "4"}}, Shard{2, 4}},
        {"slurm", {{"SLURM_ARRAY_TASK_ID", "7"}, {"SLURM_ARRAY_TASK_COUNT", "4"}, {"SLURM_ARRAY_TASK_MIN", "1"},
                   {"SLURM_ARRAY_TASK_STEP", "2"}}, Shard{3, 4}},
        {"slurm", array, {}, "SLURM_ARRAY_TASK_ID 7 is out of range: the array's 4 tasks start at 0 in steps of 1"},
        {"slurm", {{"SLURM_ARRAY_TASK_ID", "3"}, {"SLURM_ARRAY_TASK_COUNT", "4"}}, Shard{3, 4}},
        {"slurm", {{"SLURM_ARRAY_TASK_ID", "4"}, {"SLURM_ARRAY_TASK_COUNT", "4"}}, {},
         "SLURM_ARRAY_TASK_ID 4 is out of range"},
        {"slurm", {{"SLURM_ARRAY_TASK_ID", "9"}, {"SLURM_ARRAY_TASK_COUNT", "4"}, {"SLURM_ARRAY_TASK_MIN", "1"},
                   {"SLURM_ARRAY_TASK_STEP", "2"}}, {}, "SLURM_ARRAY_TASK_ID 9 is out of range"},
        {"slurm", {{"SLURM_ARRAY_TASK_ID", "0"}, {"SLURM_ARRAY_TASK_COUNT", "4"}, {"SLURM_ARRAY_TASK_MIN", "1"}}, {},
         "SLURM_ARRAY_TASK_ID 0 is out of range: the array's 4 tasks start at 1 in steps of 1"},
        {"slurm", {{"SLURM_ARRAY_TASK_ID", "-1"}, {"SLURM_ARRAY_TASK_COUNT", "4"}}, {},
         "SLURM_ARRAY_TASK_ID is '-1', not a whole number from 0 to 18446744073709551615"},
        {"slurm", {{"SLURM_ARRAY_TASK_ID", "18446744073709551616"}, {"SLURM_ARRAY_TASK_COUNT", "4"}}, {},
         "SLURM_ARRAY_TASK_ID is '18446744073709551616', not a whole number"},
        {"slurm", {{"SLURM_ARRAY_TASK_ID", "3"}, {"SLURM_ARRAY_TASK_COUNT", "4"}, {"SLURM_ARRAY_TASK_STEP", "2"}}, {}},
        {"slurm", {{"SLURM_ARRAY_TASK_ID", "1"}, {"SLURM_ARRAY_TASK_COUNT", "4"}, {"SLURM_ARRAY_TASK_STEP", "0"}}, {}},
        {"slurm", {{"SLURM_ARRAY_TASK_ID", "1"}}, {}, "needs a Slurm array job (SLURM_ARRAY_TASK_COUNT is not set)"},
        {"slurm", {{"SLURM_ARRAY_TASK_ID", "x"}, {"SLURM_ARRAY_TASK_COUNT", "4"}}, {}},
        {"slurm", {}, {}, "needs a Slurm array job (SLURM_ARRAY_TASK_ID is not set)"},
        {"SLURM", {{"SLURM_ARRAY_TASK_ID", "2"}, {"SLURM_ARRAY_TASK_COUNT", "4"}}, Shard{2, 4}},
        {"Slurm", array, {}, "SLURM_ARRAY_TASK_ID 7 is out of range"},

    };
    for (const Case& c : cases) {
        const EnvLookup env = [&](const std::string& name) -> std::optional<std::string> {
            auto it = c.env.find(name);
            return it == c.env.end() ? std::nullopt : std::optional(it->second);
        };
        Shard got{99, 99};
        const Status status = parse_shard(c.text, env, got);
        if (c.want) {
            EXPECT_TRUE(status) << c.text << ": " << status.message;
            EXPECT_EQ(got, *c.want) << c.text;
        } else {
            EXPECT_EQ(status.code, kErrorShardUsage) << c.text;
            EXPECT_FALSE(status.message.empty());
            EXPECT_NE(status.message.find(c.says), std::string::npos) << status.message;
        }
    }
}

TEST(Shard, ExpandsNames) {
    const std::pair<std::string, std::string> cases[] = {
        {"report-%a.jsonl", "report-12.jsonl"}, {"%%a-%a", "%a-12"}, {"100%", "100%"},
        {"%b%", "%b%"},                         {"%%%a%", "%12%"},   {"plain", "plain"},
    };
    for (const auto& [in, out] : cases) EXPECT_EQ(expand_name(in, {12, 20}), out) << in;
}

}  // namespace
}  // namespace tolvek::batch

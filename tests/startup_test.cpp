#include <gtest/gtest.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "frontend/settings.h"
#include "frontend/startup.h"
#include "support/fixtures.h"

using tolvek::audio::DecoderFamily;
using tolvek::frontend::AudioBackend;
using tolvek::frontend::run_tolvek;
using tolvek::test::TempDir;
using tolvek::test::write_file;

namespace {

// A stand-in audio layer that records what start-up asks of it.
struct StandIn {
    bool starts = true;
    std::vector<bool> plugins_load = {true, true, true};
    int start_calls = 0;
    std::vector<DecoderFamily> plugins_tried;
};
StandIn stand_in;

const AudioBackend kStandIn{
    [] {
        ++stand_in.start_calls;
        return stand_in.starts ? tolvek::Status::ok() : tolvek::Status::fail(tolvek::audio::kErrorStart, "cannot start");
    },
    [](DecoderFamily family) {
        const bool loads = stand_in.plugins_load.at(stand_in.plugins_tried.size());
        stand_in.plugins_tried.push_back(family);
        return loads;
    },
};

// Start-up reads its settings from the working directory: give it a fresh one.
class StartUp : public testing::Test {
protected:
    void SetUp() override {
        stand_in = StandIn{};
        ASSERT_NE(getcwd(saved_, sizeof saved_), nullptr);
        ASSERT_EQ(chdir(work.path().c_str()), 0);
        mkdir(empty().c_str(), 0777);
    }
    void TearDown() override { ASSERT_EQ(chdir(saved_), 0); }

    std::string empty() const { return work.file("empty"); }

    struct Result {
        int status;
        std::string out, err;
    };
    Result start(std::vector<std::string> args) {
        args.insert(args.begin(), "tolvek");
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        const int status = run_tolvek(static_cast<int>(args.size()), argv.data(), kStandIn);
        std::string out = testing::internal::GetCapturedStdout();
        return {status, out, testing::internal::GetCapturedStderr()};
    }

    TempDir work;
    char saved_[4096] = {};
};

TEST_F(StartUp, AudioLayerThatCannotStartEndsWithStatus1AndNoBanner) {
    stand_in.starts = false;
    const Result r = start({empty()});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "Initializing\r");
    EXPECT_EQ(r.err, "Cannot initialize the audio library: Error 1\n");
    EXPECT_EQ(stand_in.start_calls, 1);
    EXPECT_TRUE(stand_in.plugins_tried.empty());
}

TEST_F(StartUp, BannerNamesThePluginsThatLoad) {
    struct Case {
        std::vector<bool> load;
        const char* suffixes;
    };
    for (const Case& c : {Case{{true, true, true}, ", wma, ape, flac"}, Case{{false, false, false}, ""},
                          Case{{false, true, false}, ", ape"}, Case{{true, false, true}, ", wma, flac"}}) {
        stand_in = StandIn{};
        stand_in.plugins_load = c.load;
        const Result r = start({empty()});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, std::string("Initializing\rTolvek v0.9b\nSupported formats: mp3, ogg, wav, aiff, mp2, mp1") +
                             c.suffixes + "\nOutput: PNG 75%, with grid, palette: tolvek_color.pal\n");
        EXPECT_TRUE(tolvek::test::only_summary(r.err)) << r.err;
        EXPECT_EQ(stand_in.plugins_tried,
                  (std::vector<DecoderFamily>{DecoderFamily::Wma, DecoderFamily::Ape, DecoderFamily::Flac}));
        EXPECT_EQ(stand_in.start_calls, 1);
    }
}

TEST_F(StartUp, SummaryComesFromTheSettingsInTheWorkingDirectory) {
    write_file(work.file("Tolvek_Pre.ini"), "[general]\nquality=5\ngrid=0\noutput=JPG\npalette=mine.pal\nverbose=1\n");
    const Result r = start({empty()});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "Initializing\rTolvek v0.9b\nSupported formats: mp3, ogg, wav, aiff, mp2, mp1, wma, ape, flac\n"
                     "Output: JPEG 10%, without grid, palette: mine.pal\n"
                     "Error. No files matching " + empty() + "/*\n");
}

TEST_F(StartUp, HelpAndVersionPrintNothingElseAndLeaveTheAudioLayerAlone) {
    for (const char* arg : {"-h", "--help"}) {
        const Result r = start({arg});
        EXPECT_EQ(r.status, 0);
        EXPECT_TRUE(r.out.starts_with("Usage: tolvek")) << r.out;
        EXPECT_NE(r.out.find("Tolvek_Pre.ini"), std::string::npos);
        EXPECT_NE(r.out.find("index,red,green,blue"), std::string::npos);
        EXPECT_EQ(r.err, "");
    }
    const Result r = start({"--version"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "Tolvek v0.9b\n");
    EXPECT_EQ(stand_in.start_calls, 0);
}

// Every argument after "--" is a pattern, walked in order in one run.
TEST_F(StartUp, ArgumentsAfterTheEndOfOptionsArePatterns) {
    write_file(work.file("Tolvek_Pre.ini"), "[general]\nverbose=1\n");
    const Result r = start({"--", empty(), "--help"});
    EXPECT_EQ(r.status, 3);  // "--help" names nothing here
    EXPECT_TRUE(r.out.ends_with("Error. No files matching " + empty() + "/*\nError. No files matching --help\n")) << r.out;
}

}  // namespace

// jobs=0 counts the cores this process may run on (taskset, a batch
// scheduler's CPU limit), not the machine's. Pinned in a thread of its own.
TEST(Jobs, UsableCoresFollowTheAffinityMask) {
    std::thread([] {
        cpu_set_t allowed;
        ASSERT_EQ(sched_getaffinity(0, sizeof allowed, &allowed), 0);
        cpu_set_t pinned;
        CPU_ZERO(&pinned);
        int taken = 0;
        for (int cpu = 0; cpu < CPU_SETSIZE && taken < 2; ++cpu) {
            if (!CPU_ISSET(cpu, &allowed)) continue;
            CPU_SET(cpu, &pinned);
            ASSERT_EQ(sched_setaffinity(0, sizeof pinned, &pinned), 0);
            EXPECT_EQ(tolvek::frontend::usable_cores(), ++taken);
        }
        EXPECT_EQ(tolvek::frontend::max_jobs(), tolvek::frontend::kJobsPerCore * taken);
    }).join();
}

TEST(Jobs, WorkerCount) {
    // More than four per core only cost memory: capped.
    struct Case {
        int jobs, cores, workers;
    };
    const Case cases[] = {{1, 2, 1},  {2, 2, 2},          {8, 2, 8},  {9, 2, 8},   {2147483647, 2, 8},
                          {0, 2, 2},  {0, 16, 16},        {-3, 2, 1}, {5, 1, 4},   {0, 0, 1},
                          {3, 0, 3},  {2147483647, 0, 4}, {64, 16, 64}, {65, 16, 64}};
    for (const Case c : cases)
        EXPECT_EQ(tolvek::frontend::worker_count(c.jobs, c.cores), c.workers) << c.jobs << " on " << c.cores;
}

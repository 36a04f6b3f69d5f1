// The export's output files, written unnamed (O_TMPFILE) or, as on a file
// system without it, under a hidden temporary name: the same outcomes.
#include "export_output/output_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "test_support.h"

namespace quillwave {
namespace {

using testing::ReadFileText;
using testing::TempDir;

// The entries of a folder, by name.
std::vector<std::string> Names(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        names.push_back(entry.path().filename());
    }
    std::sort(names.begin(), names.end());
    return names;
}

void WriteText(int fd, const std::string& text) {
    ASSERT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
}

struct OutputFileTest : ::testing::TestWithParam<bool> {
    TempDir dir;
    std::string path = dir.Path("file.csv");
    bool unnamed = GetParam();
};

// Fault: a file being written is visible under its name (cut short if the
// run ends), or its temporary name is left behind.
TEST_P(OutputFileTest, AFileAppearsOnlyWhenCompleteAndNothingElseStays) {
    PendingOutput output;
    ASSERT_EQ(BeginOutput(output, path, false, {}, unnamed).failure, OutputFailure::None);
    WriteText(output.fd, "whole\n");
    EXPECT_FALSE(std::filesystem::exists(path));
    ASSERT_EQ(CompleteOutput(output, false).failure, OutputFailure::None);
    EXPECT_EQ(ReadFileText(path), "whole\n");
    EXPECT_EQ(Names(dir.path), std::vector<std::string>{"file.csv"});
    // Discarded (a failure, a cancel): nothing of it stays.
    PendingOutput discarded;
    ASSERT_EQ(BeginOutput(discarded, dir.Path("other.csv"), false, {}, unnamed).failure,
              OutputFailure::None);
    WriteText(discarded.fd, "part");
    DiscardOutput(discarded);
    EXPECT_EQ(Names(dir.path), std::vector<std::string>{"file.csv"});
}

// Fault: with force, a link at the name is written through (into the file
// it points to); without, a name that appears meanwhile is overwritten.
TEST_P(OutputFileTest, ALinkIsReplacedAndANewNameIsRefusedWithoutForce) {
    const std::string target = dir.Path("target.csv");
    ASSERT_TRUE(writer::WriteBytesToFile(target, {'k', 'e', 'e', 'p'}));
    ASSERT_EQ(symlink("target.csv", path.c_str()), 0);
    PendingOutput forced;
    ASSERT_EQ(BeginOutput(forced, path, true, {}, unnamed).failure, OutputFailure::None);
    WriteText(forced.fd, "new\n");
    ASSERT_EQ(CompleteOutput(forced, true).failure, OutputFailure::None);
    EXPECT_EQ(ReadFileText(target), "keep");
    EXPECT_EQ(ReadFileText(path), "new\n");
    struct stat info {};
    ASSERT_EQ(lstat(path.c_str(), &info), 0);
    EXPECT_TRUE(S_ISREG(info.st_mode));

    const std::string late = dir.Path("late.csv");
    PendingOutput refused;
    ASSERT_EQ(BeginOutput(refused, late, false, {}, unnamed).failure, OutputFailure::None);
    WriteText(refused.fd, "mine?\n");
    ASSERT_TRUE(writer::WriteBytesToFile(late, {'t', 'h', 'e', 'i', 'r', 's'}));
    const OutputOutcome outcome = CompleteOutput(refused, false);
    EXPECT_EQ(outcome.failure, OutputFailure::Exists);
    EXPECT_EQ(OutputFailureText(late, outcome), late + " exists (use --force to overwrite)");
    EXPECT_EQ(ReadFileText(late), "theirs");
    EXPECT_EQ(Names(dir.path), (std::vector<std::string>{"file.csv", "late.csv", "target.csv"}));
}

// Fault: a capture of the run, named as an output, is replaced or written.
TEST_P(OutputFileTest, ACaptureIsNeverAnOutput) {
    ASSERT_TRUE(writer::WriteBytesToFile(path, {'c', 'a', 'p'}));
    struct stat info {};
    ASSERT_EQ(stat(path.c_str(), &info), 0);
    PendingOutput output;
    EXPECT_EQ(BeginOutput(output, path, true, {{info.st_dev, info.st_ino}}, unnamed).failure,
              OutputFailure::IsInput);
    EXPECT_EQ(ReadFileText(path), "cap");
}

// Fault: the space reserved before writing stays taken once the file is
// complete (a file of a few bytes holding 64 MiB of the disk); a
// reservation the file system refuses (too large) fails the file.
TEST_P(OutputFileTest, ReservedSpaceIsGivenBackAndARefusedReservationIsHarmless) {
    constexpr uint64_t kReserved = uint64_t{64} << 20;
    PendingOutput output;
    ASSERT_EQ(BeginOutput(output, path, false, {}, unnamed).failure, OutputFailure::None);
    ReserveOutputSpace(output, kReserved);
    struct stat info {};
    ASSERT_EQ(fstat(output.fd, &info), 0);
    if (static_cast<uint64_t>(info.st_blocks) * 512 < kReserved) {
        GTEST_SKIP() << "this file system reserves no space";
    }
    WriteText(output.fd, "whole\n");
    ASSERT_EQ(CompleteOutput(output, false).failure, OutputFailure::None);
    ASSERT_EQ(stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_size, 6);
    EXPECT_LE(info.st_blocks * 512, 65536);

    const std::string huge = dir.Path("huge.csv");
    PendingOutput refused;
    ASSERT_EQ(BeginOutput(refused, huge, false, {}, unnamed).failure, OutputFailure::None);
    ReserveOutputSpace(refused, uint64_t{1} << 60);
    WriteText(refused.fd, "still\n");
    ASSERT_EQ(CompleteOutput(refused, false).failure, OutputFailure::None);
    EXPECT_EQ(ReadFileText(huge), "still\n");
}

INSTANTIATE_TEST_SUITE_P(UnnamedOrHidden, OutputFileTest, ::testing::Bool());

}  // namespace
}  // namespace quillwave

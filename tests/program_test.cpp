// The program as users run it: the built binary on real files, its standard
// output, the files it writes and its exit status, compared byte for byte.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "test_support.h"

namespace quillwave {
namespace {

using testing::FileExists;
using testing::ReadFileText;
using testing::RunQuillwaveBinary;
using testing::RunResult;
using testing::TempDir;
using testing::ThreeWaveforms;
using writer::AnalogBuffer;
using writer::AppendBuffer;
using writer::AppendFileHeader;
using writer::AppendWaveformHeader;
using writer::Bytes;
using writer::HistogramBuffer;
using writer::LogicBuffer;

const std::string kUsage = "quillwave <input file> <output file 1> ... <output file n>\n";
const std::string kInvalid = "Invalid Veltranix Public Waveform File\n";
const std::string kVersion10 = "Veltranix Public Waveform File version 1.0\n";

// What quillwave makes of testing::ThreeWaveforms().
const std::string kThreeListing = kVersion10 + "CH1, PB_NORMAL, 2, t\xe9xt, , q\"uote\n" +
                                  "CH2, PB_VERT_HISTOGRAM, 4, 1, , , \n" + ", PB_LOGIC, 1, , , \n";
const std::string kFirstLines = "-1.000000e-03, 0.100000\n4.990000e-01, -0.000000\n";
const std::string kSecondLines = "0.000000e+00, -42\n";
const std::string kThirdLines = "0.000000e+00, 5a\n";

struct ProgramTest : ::testing::Test {
    TempDir dir;
    std::string input = dir.Path("capture.bin");
    void SetUp() override { ASSERT_TRUE(writer::WriteBytesToFile(input, ThreeWaveforms())); }
    std::vector<std::string> Outputs(int count) {
        std::vector<std::string> names;
        names.reserve(static_cast<size_t>(count));
        for (int i = 0; i < count; ++i) names.push_back(dir.Path("out" + std::to_string(i)));
        return names;
    }
    RunResult Run(const std::vector<std::string>& outputs) {
        std::vector<std::string> args = {input};
        args.insert(args.end(), outputs.begin(), outputs.end());
        return RunQuillwaveBinary(args);
    }
};

TEST_F(ProgramTest, MessagesForMissingOrBadInput) {
    const std::string shortFile = dir.Path("short.bin");
    const std::string badCookie = dir.Path("bad.bin");
    const std::string empty = dir.Path("empty.bin");
    ASSERT_TRUE(writer::WriteBytesToFile(shortFile, Bytes{'V', 'X', '1', '0', 0, 0, 0, 0, 1, 0}));
    Bytes bad;
    AppendFileHeader(bad, 1, "10", "XV");
    ASSERT_TRUE(writer::WriteBytesToFile(badCookie, bad));
    ASSERT_TRUE(writer::WriteBytesToFile(empty, {}));
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{}, kUsage},
        {{dir.Path("missing.bin")}, "Unable to open " + dir.Path("missing.bin") + "\n"},
        {{dir.path}, "Unable to open " + dir.path + "\n"},
        {{badCookie}, kInvalid},
        {{badCookie, dir.Path("never")}, kInvalid},
        {{shortFile}, kInvalid},
        {{empty}, kInvalid},
    };
    for (const auto& [args, expected] : cases) {
        const RunResult result = RunQuillwaveBinary(args);
        EXPECT_EQ(result.out, expected);
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(result.status, 1);  // every message is a failure
    }
    EXPECT_FALSE(FileExists(dir.Path("never")));
}

TEST_F(ProgramTest, ListsWhenThereAreFewerOutputNamesThanWaveforms) {
    for (int names : {0, 1, 2}) {
        const std::vector<std::string> outputs = Outputs(names);
        const RunResult result = Run(outputs);
        EXPECT_EQ(result.out, kThreeListing) << names;
        EXPECT_EQ(result.status, 0);
        for (const std::string& output : outputs) EXPECT_FALSE(FileExists(output));
    }
}

TEST_F(ProgramTest, ListingShowsTheFileVersionAsStored) {
    Bytes file;
    AppendFileHeader(file, 1, "2A");
    AppendWaveformHeader(file, {.bufferCount = 0, .summaryText1 = "X"});
    ASSERT_TRUE(writer::WriteBytesToFile(input, file));
    EXPECT_EQ(Run({}).out, "Veltranix Public Waveform File version 2.A\nX, PB_NORMAL, 0, , , \n");
}

TEST_F(ProgramTest, NoWaveformsMeansNoOutputAtAll) {
    for (int32_t count : {0, -1}) {
        Bytes file;
        AppendFileHeader(file, count);
        ASSERT_TRUE(writer::WriteBytesToFile(input, file));
        const RunResult result = Run({});
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.status, 0);
    }
}

TEST_F(ProgramTest, ListingAFileThatHoldsFewerWaveformsThanItDeclares) {
    Bytes file = ThreeWaveforms();
    file[8] = 5;  // declares five
    ASSERT_TRUE(writer::WriteBytesToFile(input, file));
    EXPECT_EQ(Run({}).out, kThreeListing);
}

TEST_F(ProgramTest, ConvertsEachWaveformToItsOwnFile) {
    const std::vector<std::string> outputs = Outputs(4);
    const RunResult result = Run(outputs);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(ReadFileText(outputs[0]), kFirstLines);
    EXPECT_EQ(ReadFileText(outputs[1]), kSecondLines);
    EXPECT_EQ(ReadFileText(outputs[2]), kThirdLines);
    EXPECT_FALSE(FileExists(outputs[3]));  // names beyond the waveforms are never opened
}

TEST_F(ProgramTest, ExistingOutputFilesAreEmptiedAndRepeatedNamesGetTheLaterWaveform) {
    const std::string shared = dir.Path("shared.txt");
    ASSERT_TRUE(writer::WriteBytesToFile(shared, Bytes(10000, 'x')));
    const RunResult result = Run({shared, dir.Path("middle"), shared});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(ReadFileText(shared), kThirdLines);
    EXPECT_EQ(ReadFileText(dir.Path("middle")), kSecondLines);
}

TEST_F(ProgramTest, WaveformsThatWriteNothingStillCreateTheirFile) {
    Bytes file;
    AppendFileHeader(file, 2);
    AppendWaveformHeader(file, {.waveformType = 0, .bufferCount = 1, .sampleCount = 1});
    AppendBuffer(file, AnalogBuffer(1, {1.0f}));
    AppendWaveformHeader(file, {.waveformType = 1, .sampleCount = 3});
    AppendBuffer(file, AnalogBuffer(1, {1.0f}));  // wrong size: rejected
    ASSERT_TRUE(writer::WriteBytesToFile(input, file));
    const std::vector<std::string> outputs = Outputs(2);
    EXPECT_EQ(Run(outputs).out, "");
    for (const std::string& output : outputs) {
        EXPECT_TRUE(FileExists(output));
        EXPECT_EQ(ReadFileText(output), "");
    }
}

TEST_F(ProgramTest, AnOutputThatCannotBeOpenedCostsOnlyItsOwnWaveform) {
    const std::vector<std::string> outputs = Outputs(3);
    const std::string unopenable = dir.Path("no/such/folder/out0");
    const RunResult result = Run({unopenable, outputs[1], outputs[2]});
    EXPECT_EQ(result.out, "Unable to open " + unopenable + "\n");
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(ReadFileText(outputs[1]), kSecondLines);
    EXPECT_EQ(ReadFileText(outputs[2]), kThirdLines);
}

TEST_F(ProgramTest, TheInputIsNeverUsedAsAnOutputHoweverItIsNamed) {
    const std::string original = ReadFileText(input);
    const std::string hardLink = dir.Path("hard.bin");
    const std::string symLink = dir.Path("sym.bin");
    ASSERT_EQ(link(input.c_str(), hardLink.c_str()), 0);
    ASSERT_EQ(symlink(input.c_str(), symLink.c_str()), 0);
    const std::string respelled = dir.path + "/./capture.bin";
    const std::vector<std::string> outputs = Outputs(3);
    for (const std::string& alias : {input, hardLink, symLink, respelled}) {
        const RunResult result = Run({outputs[0], alias, outputs[2]});
        EXPECT_EQ(result.out, "Unable to open " + alias + "\n");
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(ReadFileText(input), original) << alias;
        EXPECT_EQ(ReadFileText(outputs[0]), kFirstLines);
        EXPECT_EQ(ReadFileText(outputs[2]), kThirdLines);
    }
}

TEST_F(ProgramTest, AFailedWriteIsReportedAndMakesTheExitStatusOne) {
    if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
    const std::vector<std::string> outputs = Outputs(3);
    const RunResult result = Run({outputs[0], "/dev/full", outputs[2]});
    EXPECT_EQ(result.out, "Unable to write /dev/full\n");
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(ReadFileText(outputs[0]), kFirstLines);
    EXPECT_EQ(ReadFileText(outputs[2]), kThirdLines);
}

TEST_F(ProgramTest, AFailedWriteToStandardOutputMakesTheExitStatusOne) {
    if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
    const std::string command = std::string(QUILLWAVE_BINARY) + " " + input + " > /dev/full";
    const int status = std::system(command.c_str());
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);
}

TEST_F(ProgramTest, NewOutputFilesGetTheDefaultPermissions) {
    const mode_t previous = umask(022);
    const std::vector<std::string> outputs = Outputs(3);
    Run(outputs);
    umask(previous);
    struct stat info {};
    ASSERT_EQ(stat(outputs[0].c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0644u);
}

// Shell-quotes a path for the commands below.
std::string Quoted(const std::string& text) { return "'" + text + "'"; }

TEST_F(ProgramTest, AnInputThatCannotSeekReadsLikeTheSameFile) {
    const std::string binary = Quoted(QUILLWAVE_BINARY);
    const std::string listed = dir.Path("listed.txt");
    const std::string listing =
        "cat " + Quoted(input) + " | " + binary + " /dev/stdin > " + Quoted(listed);
    ASSERT_EQ(std::system(listing.c_str()), 0);
    EXPECT_EQ(ReadFileText(listed), kThreeListing);

    // Conversion through a named pipe (FIFO) fed by another process.
    const std::string fifo = dir.Path("capture.fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::vector<std::string> outputs = Outputs(3);
    const std::string conversion = "cat " + Quoted(input) + " > " + Quoted(fifo) + " & " + binary +
                                   " " + Quoted(fifo) + " " + Quoted(outputs[0]) + " " +
                                   Quoted(outputs[1]) + " " + Quoted(outputs[2]) + "; wait";
    ASSERT_EQ(std::system(conversion.c_str()), 0);
    EXPECT_EQ(ReadFileText(outputs[0]), kFirstLines);
    EXPECT_EQ(ReadFileText(outputs[1]), kSecondLines);
    EXPECT_EQ(ReadFileText(outputs[2]), kThirdLines);
}

// A conversion that takes more than a second: its output is a FIFO that a
// reader opens at once but starts draining only after 1.5 s. Returns what
// the reader got.
std::string SlowConversion(TempDir& dir, const std::string& input, bool underTerminal,
                           std::string& terminalText) {
    const std::string fifo = dir.Path("slow.fifo");
    const std::string drained = dir.Path("drained.txt");
    const std::string terminal = dir.Path("terminal.txt");
    const std::string errors = dir.Path("stderr.txt");
    EXPECT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string run = dir.Path("run.sh");
    const std::string convert = Quoted(QUILLWAVE_BINARY) + " " + Quoted(input) + " " + Quoted(fifo);
    std::FILE* script = std::fopen(run.c_str(), "w");
    std::fprintf(script, "%s\n", convert.c_str());
    std::fclose(script);
    // The reader holds the FIFO open (read-write first, so that opening it
    // does not wait for a writer) before the conversion starts.
    const std::string ready = dir.Path("ready");
    const std::string command =
        "(exec 3<>" + Quoted(fifo) + " 4<" + Quoted(fifo) + " 3>&-; touch " + Quoted(ready) +
        "; sleep 1.5; cat <&4 > " + Quoted(drained) + ") & while [ ! -e " + Quoted(ready) +
        " ]; do sleep 0.01; done; " +
        (underTerminal ? "script -qec 'sh " + run + "' /dev/null > " + Quoted(terminal)
                       : "sh " + run + " 2> " + Quoted(errors)) +
        "; wait";
    EXPECT_EQ(std::system(command.c_str()), 0);
    terminalText = ReadFileText(underTerminal ? terminal : errors);
    return ReadFileText(drained);
}

Bytes LargeCapture() {
    std::vector<float> values(200000);
    for (size_t i = 0; i < values.size(); ++i) values[i] = static_cast<float>(i) / 1024.0f;
    Bytes file;
    AppendFileHeader(file, 1);
    AppendWaveformHeader(file, {.sampleCount = static_cast<int32_t>(values.size())});
    AppendBuffer(file, AnalogBuffer(1, values));
    return file;
}

TEST_F(ProgramTest, ALongConversionShowsProgressOnlyOnATerminal) {
    if (std::system("command -v script >/dev/null") != 0) GTEST_SKIP() << "no script(1)";
    ASSERT_TRUE(writer::WriteBytesToFile(input, LargeCapture()));
    const std::string expected = dir.Path("expected.txt");
    ASSERT_EQ(RunQuillwaveBinary({input, expected}).out, "");

    std::string terminal;
    EXPECT_EQ(SlowConversion(dir, input, true, terminal), ReadFileText(expected));
    EXPECT_NE(terminal.find("\rquillwave: waveform 1 of 1, "), std::string::npos) << terminal;
    EXPECT_NE(terminal.find("% of input read, "), std::string::npos) << terminal;
    // The line is erased at the end.
    ASSERT_GE(terminal.size(), 4u);
    EXPECT_EQ(terminal.substr(terminal.size() - 4), "\r\033[K");
}

TEST_F(ProgramTest, ALongConversionWritesNothingToStandardErrorWithoutATerminal) {
    ASSERT_TRUE(writer::WriteBytesToFile(input, LargeCapture()));
    const std::string expected = dir.Path("expected.txt");
    ASSERT_EQ(RunQuillwaveBinary({input, expected}).out, "");
    std::string errors;
    EXPECT_EQ(SlowConversion(dir, input, false, errors), ReadFileText(expected));
    EXPECT_EQ(errors, "");
}

// The sample capture in examples/, converted in full and compared with lines
// built from its own stored values through printf.
TEST(SampleCapture, ListsAndConvertsEveryWaveform) {
    const std::string sample = QUILLWAVE_SOURCE_DIR "/examples/sample.bin";
    const RunResult listing = RunQuillwaveBinary({sample});
    EXPECT_EQ(listing.out, kVersion10 +
                               "CH1, PB_NORMAL, 400, 08-DEC-2026, 10:31:07, Sine 1.25 kHz\n"
                               "CH2, PB_PEAK_DETECT, 400, 08-DEC-2026, 10:31:07, Envelope\n"
                               "CH1, PB_AVERAGE, 16, 400, 08-DEC-2026, 10:31:07, Average\n"
                               "CH1, PB_HORZ_HISTOGRAM, 400, 08-DEC-2026, 10:31:07, Jitter\n"
                               "CH1, PB_VERT_HISTOGRAM, 400, 08-DEC-2026, 10:31:07, Amplitude\n"
                               "D0-D15, PB_LOGIC, 400, 08-DEC-2026, 10:31:07, Counter\n");
    TempDir dir;
    std::vector<std::string> args = {sample};
    for (int i = 0; i < 6; ++i) args.push_back(dir.Path("wave" + std::to_string(i)));
    ASSERT_EQ(RunQuillwaveBinary(args).out, "");
    const std::string texts[] = {ReadFileText(args[1]), ReadFileText(args[2]),
                                 ReadFileText(args[3]), ReadFileText(args[4]),
                                 ReadFileText(args[5]), ReadFileText(args[6])};
    for (const std::string& text : texts) {
        EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 400);
    }
    EXPECT_EQ(texts[0].substr(0, 25), "-5.000000e-04, -0.023980\n");
    EXPECT_EQ(texts[1].substr(0, 35), "-5.000000e-04, 0.102158, -0.106745\n");
    EXPECT_EQ(texts[5].substr(0, 36), "-5.000000e-04, 00\n-4.975000e-04, 025");
}

// Runs quillwave with `args` while its output (the output file `fifo`, or
// standard output when `listing`) is a FIFO whose reader holds it open and
// waits, so that the program blocks writing; meanwhile another process cuts
// the input to `cutTo` bytes. Returns what the reader drained.
std::string ShrinkWhileBlocked(TempDir& dir, const std::string& input, const std::string& args,
                               bool listing, int64_t cutTo, RunResult& result) {
    const std::string fifo = dir.Path("out.fifo");
    EXPECT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string ready = dir.Path("ready");
    const std::string drained = dir.Path("drained");
    const std::string stdoutPath = dir.Path("stdout");
    const std::string statusPath = dir.Path("status");
    const std::string command =
        "(exec 3<>" + Quoted(fifo) + " 4<" + Quoted(fifo) + " 3>&-; touch " + Quoted(ready) +
        "; sleep 0.5; truncate -s " + std::to_string(cutTo) + " " + Quoted(input) + "; cat <&4 > " +
        Quoted(drained) + ") & while [ ! -e " + Quoted(ready) + " ]; do sleep 0.01; done; " +
        Quoted(QUILLWAVE_BINARY) + " " + args + " > " + Quoted(listing ? fifo : stdoutPath) +
        "; echo $? > " + Quoted(statusPath) + "; wait";
    EXPECT_EQ(std::system(command.c_str()), 0);
    result.out = ReadFileText(stdoutPath);
    result.status = std::stoi(ReadFileText(statusPath));
    return ReadFileText(drained);
}

TEST_F(ProgramTest, AnInputCutShortDuringAConversionIsToldAfterItsWaveform) {
    ASSERT_TRUE(writer::WriteBytesToFile(input, LargeCapture()));
    const std::string expected = dir.Path("expected.txt");
    ASSERT_EQ(RunQuillwaveBinary({input, expected}).status, 0);
    const std::string full = ReadFileText(expected);
    RunResult result;
    const std::string partial =
        ShrinkWhileBlocked(dir, input, Quoted(input) + " " + Quoted(dir.Path("out.fifo")), false,
                           144 + 12 + 400000, result);
    EXPECT_EQ(result.out, "Unable to read " + input + "\n");
    EXPECT_EQ(result.status, 1);
    // What was written stays: whole lines, as the full conversion has them.
    EXPECT_LT(partial.size(), full.size());
    EXPECT_GT(partial.size(), 0u);
    EXPECT_EQ(full.substr(0, partial.size()), partial);
}

TEST_F(ProgramTest, AnInputCutShortDuringAListingIsToldAfterTheLastLine) {
    constexpr int kWaveforms = 20000;
    Bytes file;
    AppendFileHeader(file, kWaveforms);
    for (int i = 0; i < kWaveforms; ++i) {
        AppendWaveformHeader(
            file, {.bufferCount = 0, .summaryText1 = std::string("w").append(std::to_string(i))});
    }
    ASSERT_TRUE(writer::WriteBytesToFile(input, file));
    constexpr int kWhole = 10000;  // the cut leaves 10000 whole headers and part of one
    RunResult result;
    const std::string listed =
        ShrinkWhileBlocked(dir, input, Quoted(input), true, 12 + 144 * kWhole + 50, result);
    std::string expected = kVersion10;
    for (int i = 0; i < kWhole; ++i) {
        expected.append("w").append(std::to_string(i)).append(", PB_NORMAL, 0, , , \n");
    }
    EXPECT_EQ(listed, expected + "Unable to read " + input + "\n");
    EXPECT_EQ(result.status, 1);
}

TEST_F(ProgramTest, AFifoOutputWithoutAReaderIsRefusedAtOnce) {
    const std::string fifo = dir.Path("nobody.fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::vector<std::string> outputs = Outputs(3);
    const RunResult result = Run({outputs[0], fifo, outputs[2]});
    EXPECT_EQ(result.out, "Unable to open " + fifo + "\n");
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(ReadFileText(outputs[2]), kThirdLines);
}

TEST_F(ProgramTest, InputsThatCannotSeekAreCheckedBeforeTheyAreCopied) {
    const std::string spool = dir.Path("spool");
    ASSERT_EQ(mkdir(spool.c_str(), 0700), 0);
    // An endless input that is no capture is refused at once, copying nothing.
    const RunResult zero = RunQuillwaveBinary({"/dev/zero"}, {"TMPDIR=" + spool});
    EXPECT_EQ(zero.out, kInvalid);
    EXPECT_EQ(zero.status, 1);
    // A capture whose copy cannot be made is not opened.
    const std::string command =
        "cat " + Quoted(input) + " | TMPDIR=" + Quoted(dir.Path("no/such/folder")) + " " +
        Quoted(QUILLWAVE_BINARY) + " /dev/stdin > " + Quoted(dir.Path("out.txt"));
    const int status = std::system(command.c_str());
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);
    EXPECT_EQ(ReadFileText(dir.Path("out.txt")), "Unable to open /dev/stdin\n");
    std::error_code ignored;
    EXPECT_TRUE(std::filesystem::is_empty(spool, ignored));
}

TEST_F(ProgramTest, AnOutputThatIsThePipeTheInputCameThroughIsRefused) {
    // Writing into the pipe the capture arrives through would hang (nobody
    // reads it) or lose the waveform's text.
    const std::vector<std::string> outputs = Outputs(3);
    const std::string command = "cat " + Quoted(input) + " | " + Quoted(QUILLWAVE_BINARY) +
                                " /dev/stdin " + Quoted(outputs[0]) + " /dev/stdin " +
                                Quoted(outputs[2]) + " > " + Quoted(dir.Path("out.txt"));
    const int status = std::system(command.c_str());
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);
    EXPECT_EQ(ReadFileText(dir.Path("out.txt")), "Unable to open /dev/stdin\n");
    EXPECT_EQ(ReadFileText(outputs[0]), kFirstLines);
    EXPECT_EQ(ReadFileText(outputs[2]), kThirdLines);
}

// --help, -h and --version: answers on standard output, exit status 0, and
// only as the sole argument, spelled exactly so.
TEST_F(ProgramTest, HelpAndVersionAreAnsweredOnStandardOutput) {
    for (const char* request : {"--help", "-h"}) {
        const RunResult result = RunQuillwaveBinary({request});
        EXPECT_EQ(result.status, 0) << request;
        EXPECT_EQ(result.err, "") << request;
        // The usage line first, then more than the bare usage of a run without arguments.
        EXPECT_EQ(result.out.substr(0, kUsage.size()), kUsage) << request;
        EXPECT_GT(result.out.size(), kUsage.size()) << request;
        EXPECT_NE(result.out.find("man quillwave"), std::string::npos) << request;
    }
    EXPECT_EQ(RunQuillwaveBinary({"-h"}).out, RunQuillwaveBinary({"--help"}).out);
    const RunResult version = RunQuillwaveBinary({"--version"});
    EXPECT_EQ(version.out, "quillwave " QUILLWAVE_VERSION "\n");
    EXPECT_EQ(version.err, "");
    EXPECT_EQ(version.status, 0);
}

TEST_F(ProgramTest, HelpOrVersionThatCannotBeWrittenMakesTheExitStatusOne) {
    if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
    for (const char* request : {"--help", "--version"}) {
        const std::string command = std::string(QUILLWAVE_BINARY) + " " + request + " > /dev/full";
        const int status = std::system(command.c_str());
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 1) << request;
    }
}

// Captures named like the requests, reached as ./--help, or by any argument
// that is not exactly a sole request: each still names a file as always.
TEST_F(ProgramTest, AnyOtherArgumentNamesAFileEvenWhenItLooksLikeARequest) {
    for (const char* name : {"--help", "-h", "--version"}) {
        ASSERT_TRUE(writer::WriteBytesToFile(dir.Path(name), ThreeWaveforms()));
    }
    struct Case {
        std::vector<std::string> args;  // run from the folder of the captures
        std::string out;
    };
    const Case cases[] = {
        {{"./--help"}, kThreeListing},
        {{"./-h"}, kThreeListing},
        {{"--version", "a"}, kThreeListing},         // fewer names than waveforms: listing
        {{"capture.bin", "--help"}, kThreeListing},  // an output name, never opened
        {{"--help", "one", "two", "three"}, ""},     // converts the capture named --help
        {{"-help"}, "Unable to open -help\n"},
        {{"--help=1"}, "Unable to open --help=1\n"},
        {{"--Version"}, "Unable to open --Version\n"},
    };
    char previous[4096];
    ASSERT_NE(getcwd(previous, sizeof previous), nullptr);
    ASSERT_EQ(chdir(dir.path.c_str()), 0);
    std::vector<RunResult> results;
    for (const Case& test : cases) results.push_back(RunQuillwaveBinary(test.args));
    ASSERT_EQ(chdir(previous), 0);
    for (size_t i = 0; i < std::size(cases); ++i) {
        EXPECT_EQ(results[i].out, cases[i].out) << cases[i].args[0];
        EXPECT_EQ(results[i].err, "") << cases[i].args[0];
    }
    EXPECT_EQ(ReadFileText(dir.Path("one")), kFirstLines);
    EXPECT_EQ(ReadFileText(dir.Path("three")), kThirdLines);
    EXPECT_EQ(ReadFileText(dir.Path("--help")), ReadFileText(input));  // never written
}

// Where a second thread cannot start (a pids limit, a small address space),
// a conversion is written by the main thread as on one processor, instead
// of the program dying. glibc maps each new thread a stack of the stack
// limit's size, so a huge limit makes the writer thread's start fail while
// the program itself runs; with memory overcommitted without limit the start
// succeeds and this cannot catch the fault.
TEST_F(ProgramTest, AConversionGoesOnWhenNoThreadCanStart) {
#ifdef QUILLWAVE_UNDER_EMULATOR
    GTEST_SKIP() << "under qemu-user the emulator maps the stacks, by limits of its own";
#endif
    cpu_set_t usable;
    if (sched_getaffinity(0, sizeof usable, &usable) != 0 || CPU_COUNT(&usable) < 2) {
        GTEST_SKIP() << "one processor: no writer thread is started";
    }
    rlimit previous{};
    ASSERT_EQ(getrlimit(RLIMIT_STACK, &previous), 0);
    const rlim_t huge = rlim_t{1} << 44;  // 16 TiB
    if (previous.rlim_max != RLIM_INFINITY && previous.rlim_max < huge) {
        GTEST_SKIP() << "the stack limit cannot be raised";
    }
    rlimit raised = previous;
    raised.rlim_cur = huge;
    ASSERT_EQ(setrlimit(RLIMIT_STACK, &raised), 0);
    const std::vector<std::string> outputs = Outputs(3);
    const RunResult result = Run(outputs);
    // quillwave-export's workers too: it converts on its own thread instead.
    const std::string exported = dir.Path("exported");
    const int exportStatus = std::system(
        ("'" + std::string(QUILLWAVE_EXPORT_BINARY) + "' -q -o '" + exported + "' '" + input + "'")
            .c_str());
    ASSERT_EQ(setrlimit(RLIMIT_STACK, &previous), 0);
    EXPECT_TRUE(WIFEXITED(exportStatus) && WEXITSTATUS(exportStatus) == 0) << exportStatus;
    EXPECT_NE(ReadFileText(exported + "/capture.w1.csv"), "");
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(ReadFileText(outputs[0]), kFirstLines);
    EXPECT_EQ(ReadFileText(outputs[1]), kSecondLines);
    EXPECT_EQ(ReadFileText(outputs[2]), kThirdLines);
}

}  // namespace
}  // namespace quillwave

// quillwave-export as users run it (in-process, through RunExport): the
// files it writes, its messages and exit statuses, its agreement with
// quillwave on damaged files, the same output for every job count, and
// numpy reading back exactly the samples a test wrote.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cinttypes>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <limits>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bin_reader.h"
#include "export_output/format_files.h"
#include "quillwave/quillwave.h"
#include "quillwave_export.h"
#include "test_support.h"
#include "waveform_file/header_readers.h"
#include "waveform_file/waveform_samples.h"

extern char** environ;

namespace quillwave {
namespace {

using testing::FileExists;
using testing::ReadFileText;
using testing::TempDir;
using testing::ThreeWaveforms;
using writer::AnalogBuffer;
using writer::AppendBuffer;
using writer::AppendFileHeader;
using writer::AppendWaveformHeader;
using writer::BufferSpec;
using writer::Bytes;
using writer::HistogramBuffer;
using writer::LogicBuffer;
using writer::WaveformSpec;

constexpr int32_t kMaxCount = 2147483647;
const std::string kHint = "Try 'quillwave-export --help' for more information.\n";

struct ExportResult {
    std::string out;
    std::string err;
    int status = -1;
};

std::string ReadAll(int fd) {
    std::string text;
    char buffer[65536];
    lseek(fd, 0, SEEK_SET);
    for (ssize_t got = 0; (got = read(fd, buffer, sizeof buffer)) > 0;) {
        text.append(buffer, static_cast<size_t>(got));
    }
    return text;
}

// "PREFIXn" (GCC 12 misreports the literal + std::string of the plain way).
std::string Numbered(const char* prefix, size_t n) {
    std::string name = prefix;
    name += std::to_string(n);
    return name;
}

// Runs RunExport with `args` (program name excluded); `input` feeds standard
// input through a pipe. `processors` is what the run takes to be usable.
ExportResult Export(const std::vector<std::string>& args, const Bytes& input = {},
                    unsigned processors = 2) {
    std::vector<std::string> copies = {"quillwave-export"};
    copies.insert(copies.end(), args.begin(), args.end());
    std::vector<char*> argv;
    argv.reserve(copies.size() + 1);
    for (std::string& arg : copies) argv.push_back(arg.data());
    argv.push_back(nullptr);
    const int out = memfd_create("stdout", MFD_CLOEXEC);
    const int err = memfd_create("stderr", MFD_CLOEXEC);
    int pipeEnds[2] = {-1, -1};
    EXPECT_EQ(pipe(pipeEnds), 0);
    EXPECT_LT(input.size(), 65536u);  // fits the pipe: written before the run
    if (!input.empty()) {
        EXPECT_EQ(write(pipeEnds[1], input.data(), input.size()),
                  static_cast<ssize_t>(input.size()));
    }
    close(pipeEnds[1]);
    ExportResult result;
    result.status = RunExport(static_cast<int>(copies.size()), argv.data(),
                              {.stdinFd = pipeEnds[0],
                               .stdoutFd = out,
                               .stderrFd = err,
                               .spoolFolder = "/tmp",
                               .processorCount = processors});
    result.out = ReadAll(out);
    result.err = ReadAll(err);
    close(pipeEnds[0]);
    close(out);
    close(err);
    return result;
}

// The formats this build writes: csv, npy and mat, and sr and wav where their
// libraries were found (the others' tests skip them, saying so).
std::vector<const char*> BuiltFormats() {
    std::vector<const char*> formats = {"csv", "npy", "mat"};
    if (quillwave_format_available(QUILLWAVE_FORMAT_SR) != 0) formats.push_back("sr");
    if (quillwave_format_available(QUILLWAVE_FORMAT_WAV) != 0) formats.push_back("wav");
    return formats;
}

const char* const kThreeJson = R"({
  "version": "1.0",
  "waveformCount": 3,
  "waveforms": [
    {
      "type": "PB_NORMAL",
      "sampleCount": 2,
      "timeIncrement": 0.5,
      "timeOrigin": -0.001,
      "summaryNumber": 0,
      "summaryText1": "CH1",
      "summaryText2": "t\u00e9xt",
      "summaryText3": "",
      "summaryText4": "q\"uote",
      "buffers": [{"dataType": 1, "sampleWidth": 4, "dataSize": 8}],
      "columns": [{"name": "time", "dtype": "<f8"}, {"name": "value", "dtype": "<f4", "dataType": 1}],
      "file": "capture.w1.csv",
      "status": "exported"
    },
    {
      "type": "PB_VERT_HISTOGRAM",
      "sampleCount": 1,
      "timeIncrement": 1e-09,
      "timeOrigin": 0.0,
      "summaryNumber": 4,
      "summaryText1": "CH2",
      "summaryText2": "",
      "summaryText3": "",
      "summaryText4": "",
      "buffers": [{"dataType": 5, "sampleWidth": 4, "dataSize": 4}],
      "columns": [{"name": "time", "dtype": "<f8"}, {"name": "count", "dtype": "<i4", "dataType": 5}],
      "file": "capture.w2.csv",
      "status": "exported"
    },
    {
      "type": "PB_LOGIC",
      "sampleCount": 1,
      "timeIncrement": 1e-06,
      "timeOrigin": 0.0,
      "summaryNumber": 0,
      "summaryText1": "",
      "summaryText2": "",
      "summaryText3": "",
      "summaryText4": "",
      "buffers": [{"dataType": 6, "sampleWidth": 1, "dataSize": 1}, {"dataType": 6, "sampleWidth": 1, "dataSize": 1}],
      "columns": [{"name": "time", "dtype": "<f8"}, {"name": "byte1", "dtype": "|u1", "dataType": 6}, {"name": "byte2", "dtype": "|u1", "dataType": 6}],
      "file": "capture.w3.csv",
      "status": "exported"
    }
  ]
}
)";

struct ExportTest : ::testing::Test {
    TempDir dir;
    std::string input = dir.Path("capture.bin");
    std::string out = dir.Path("out");
    void Write(const Bytes& file, const std::string& path) {
        ASSERT_TRUE(writer::WriteBytesToFile(path, file));
    }
    void SetUp() override { Write(ThreeWaveforms(), input); }
    // Every file of a folder, by name.
    static std::map<std::string, std::string> Files(const std::string& folder) {
        std::map<std::string, std::string> files;
        std::error_code ignored;
        for (const auto& entry : std::filesystem::directory_iterator(folder, ignored)) {
            files[entry.path().filename()] = ReadFileText(entry.path());
        }
        return files;
    }
};

TEST_F(ExportTest, WritesEachWaveformAndTheDescription) {
    const ExportResult result = Export({"-o", out, input});
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.status, 0);
    const std::map<std::string, std::string> expected = {
        {"capture.json", kThreeJson},
        {"capture.w1.csv", "time,value\n-0.001,0.1\n0.499,-2.5e-07\n"},
        {"capture.w2.csv", "time,count\n0,-42\n"},
        {"capture.w3.csv", "time,byte1,byte2\n0,10,5\n"},
    };
    EXPECT_EQ(Files(out), expected);
    // --info prints the same description and writes nothing.
    const std::string fresh = dir.Path("never");
    const ExportResult info = Export({"--info", "-o", fresh, input});
    EXPECT_EQ(info.out, kThreeJson);
    EXPECT_EQ(info.status, 0);
    EXPECT_FALSE(FileExists(fresh));
}

// Fault: a usage error that runs anyway, exits with the wrong status, or
// says nothing useful.
TEST_F(ExportTest, UsageErrorsExitTwoWithAHint) {
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{}, "missing capture operand"},
        {{"-q"}, "missing capture operand"},
        {{"-x", "a"}, "invalid option -- 'x'"},
        {{"-qx", "a"}, "invalid option -- 'x'"},
        {{"--bogus", "a"}, "unrecognized option '--bogus'"},
        {{"--fo", "a"}, "option '--fo' is ambiguous; possibilities: '--format' '--force'"},
        {{"a", "-f"}, "option requires an argument -- 'f'"},
        {{"a", "--format"}, "option '--format' requires an argument"},
        {{"--format=xls", "a"}, "invalid format 'xls' (csv, npy, sr, wav or mat)"},
        {{"-j0", "a"}, "invalid number of jobs '0' (1 to 1024)"},
        {{"-j", "2x", "a"}, "invalid number of jobs '2x' (1 to 1024)"},
        {{"--jobs=-1", "a"}, "invalid number of jobs '-1' (1 to 1024)"},
        {{"--force=yes", "a"}, "option '--force' doesn't allow an argument"},
        {{"-o", "", "a"}, "the output folder name is empty"},
    };
    for (const auto& [args, message] : cases) {
        const ExportResult result = Export(args);
        std::string expected = "quillwave-export: ";
        expected += message;
        expected += "\n";
        expected += kHint;
        EXPECT_EQ(result.err, expected);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.status, 2);
    }
}

TEST_F(ExportTest, HelpAndVersionGoToStandardOutput) {
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"--help"}, {"-h"}, {"--he"}, {input, "--help"}, {"-qh"}}) {
        const ExportResult result = Export(args);
        EXPECT_EQ(result.out.rfind("Usage: quillwave-export [OPTION]... CAPTURE...\n", 0), 0u);
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(result.status, 0);
    }
    for (const std::vector<std::string>& args :
         std::vector<std::vector<std::string>>{{"--version"}, {"-V"}, {"--vers"}}) {
        const ExportResult result = Export(args);
        EXPECT_EQ(result.out.rfind("quillwave-export (quillwave) ", 0), 0u);
        EXPECT_EQ(result.status, 0);
    }
    EXPECT_FALSE(FileExists("capture.json"));
}

// Fault: a damaged capture reported wrongly, or the exit status claiming
// success for a waveform that was not exported.
TEST_F(ExportTest, MessagesAndStatusesForDamagedCaptures) {
    struct Case {
        const char* name;
        Bytes file;  // empty: written as no file at all
        std::string messages;
        std::vector<std::string> outputs;  // waveform files written
    };
    Bytes rejected = ThreeWaveforms();
    rejected[12 + 144 + 4] = 4;  // waveform 1's buffer: data type 4
    Bytes truncated = ThreeWaveforms();
    truncated.resize(12 + 144 + 12 + 8);  // just waveform 1
    Bytes unknown;
    AppendFileHeader(unknown, 1);
    AppendWaveformHeader(unknown, {.waveformType = 9, .bufferCount = 0});
    Bytes cookie = ThreeWaveforms();
    cookie[0] = 'X';
    // Waveform 2 steps back onto waveform 1: the walk would repeat them.
    Bytes looping;
    AppendFileHeader(looping, kMaxCount);
    AppendWaveformHeader(looping, {.sampleCount = 1});
    AppendBuffer(looping, AnalogBuffer(1, {1.5f}));
    AppendWaveformHeader(looping, {.waveformType = 1, .sampleCount = 1});
    AppendBuffer(looping, BufferSpec{.dataType = 4, .dataSize = -(144 + 12 + 4 + 144 + 12)});
    const Case cases[] = {
        {"missing", {}, "missing.bin: cannot open: No such file or directory\n", {}},
        {"short",
         Bytes{'V', 'X', '1', '0'},
         "short.bin: not a capture: shorter than the 12-byte file header\n",
         {}},
        {"cookie", cookie, "cookie.bin: not a capture: it does not start with \"VX\"\n", {}},
        {"rejected",
         rejected,
         "rejected.bin: waveform 1: buffer 1 has data type 4, not an analog type\n",
         {"rejected.w2.csv", "rejected.w3.csv"}},
        {"truncated",
         truncated,
         "truncated.bin: the file ends after 1 of its 3 declared waveforms\n",
         {"truncated.w1.csv"}},
        {"unknown", unknown, "unknown.bin: waveform 1: unknown waveform type\n", {}},
        {"looping",
         looping,
         "looping.bin: waveform 2: buffer 1 has data type 4, not an analog type\n"
         "looping.bin: waveform 3: starts where waveform 1 started (the capture loops); "
         "waveforms 3 to 2147483647 are not exported\n",
         {"looping.w1.csv"}},
    };
    for (const Case& c : cases) {
        const std::string path = dir.Path(std::string(c.name) + ".bin");
        if (!c.file.empty()) Write(c.file, path);
        const std::string folder = dir.Path(std::string("out-") + c.name);
        const ExportResult result = Export({"-q", "-o", folder, path});
        std::string expected;
        std::istringstream lines(c.messages);
        for (std::string line; std::getline(lines, line);) {
            expected += "quillwave-export: " + dir.path + "/" + line + "\n";
        }
        EXPECT_EQ(result.err, expected) << c.name;
        EXPECT_EQ(result.status, 1) << c.name;
        std::vector<std::string> written;
        for (const auto& [name, text] : Files(folder)) {
            if (name.find(".w") != std::string::npos) written.push_back(name);
        }
        EXPECT_EQ(written, c.outputs) << c.name;
        // A capture that opens has its description, with the reason.
        const bool described = FileExists(folder + "/" + c.name + ".json");
        EXPECT_EQ(described, c.file.size() >= 12 && c.file[0] == 'V') << c.name;
    }
    const std::string json = ReadFileText(dir.Path("out-rejected/rejected.json"));
    EXPECT_NE(json.find("\"file\": null,\n      \"status\": \"buffer 1 has data type 4, not an "
                        "analog type\""),
              std::string::npos);
    const std::string loop = ReadFileText(dir.Path("out-looping/looping.json"));
    EXPECT_NE(loop.find("\"waveformCount\": 2147483647"), std::string::npos);
    EXPECT_EQ(std::count(loop.begin(), loop.end(), '{'), 1 + 2 + 4);  // 2 entries, 3 buffers+cols
}

// Fault: under a tight descriptor limit, the captures read ahead take the
// descriptors that the conversions need, so that files fail (and which ones
// depends on timing); also when the budget assumes a fixed number already
// open and the process starts with more (inherited from its parent).
TEST_F(ExportTest, ATightDescriptorLimitStillExportsEveryFile) {
    std::vector<std::string> captures;
    for (int i = 0; i < 40; ++i) {
        captures.push_back(dir.Path(Numbered("c", static_cast<size_t>(i)) + ".bin"));
        Write(ThreeWaveforms(), captures.back());
    }
    struct Case {
        rlim_t limit;
        size_t alreadyOpen;
    };
    for (const Case c : {Case{20, 0}, Case{30, 10}}) {
        const std::string folder = dir.Path("limit" + std::to_string(c.limit));
        std::vector<std::string> args = {"-q", "-o", folder};
        args.insert(args.end(), captures.begin(), captures.end());
        std::vector<int> inherited(c.alreadyOpen);
        for (int& fd : inherited) fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
        rlimit saved{};
        ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
        rlimit tight = saved;
        tight.rlim_cur = c.limit;
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
        const ExportResult result = Export(args);
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
        for (const int fd : inherited) close(fd);
        EXPECT_EQ(result.err, "") << c.limit;
        EXPECT_EQ(result.status, 0) << c.limit;
        EXPECT_EQ(Files(folder).size(), 40u * 4) << c.limit;
    }
}

// Fault: a control character in a name (a newline, an escape sequence)
// splits a message over two lines or reaches the terminal; a backslash in a
// name makes its message read like an escape of another name.
TEST_F(ExportTest, ControlCharactersInNamesAreEscapedInMessages) {
    const ExportResult result = Export({"-q", "-o", out, dir.Path("two\nlines\t\x1b[2J\\n.bin")});
    EXPECT_EQ(result.err,
              "quillwave-export: " + dir.path +
                  "/two\\nlines\\t\\x1b[2J\\\\n.bin: cannot open: No such file or directory\n");
    EXPECT_EQ(result.status, 1);
}

// Fault: a C1 control character in a UTF-8 name (U+0085 next line, U+009B
// control sequence introducer, U+009D operating system command) reaches the
// terminal, which moves to a new line or runs the sequence that follows.
TEST_F(ExportTest, C1ControlCharactersInNamesDoNotReachTheTerminal) {
    for (const std::string c1 : {"\xc2\x85", "\xc2\x9b", "\xc2\x9d"}) {
        SCOPED_TRACE(::testing::PrintToString(c1));
        const ExportResult result = Export({"-q", "-o", out, dir.Path("a" + c1 + "2J.bin")});
        EXPECT_EQ(result.err.find(c1), std::string::npos) << result.err;
        EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1);
        EXPECT_EQ(result.status, 1);
    }
}

// Fault: an existing file overwritten without --force, or the capture
// itself overwritten with it.
TEST_F(ExportTest, ExistingFilesNeedForceAndTheCaptureIsNeverAnOutput) {
    ASSERT_EQ(Export({"-o", out, input}).status, 0);
    Write(Bytes{'m', 'i', 'n', 'e'}, out + "/capture.w2.csv");
    const ExportResult again = Export({"-q", "-o", out, input});
    const std::string prefix = "quillwave-export: " + input + ": ";
    EXPECT_EQ(again.err,
              prefix + out + "/capture.json exists (use --force to overwrite)\n" + prefix +
                  "waveform 1: " + out + "/capture.w1.csv exists (use --force to overwrite)\n" +
                  prefix + "waveform 2: " + out +
                  "/capture.w2.csv exists (use --force to overwrite)\n" + prefix +
                  "waveform 3: " + out + "/capture.w3.csv exists (use --force to overwrite)\n");
    EXPECT_EQ(again.status, 1);
    EXPECT_EQ(ReadFileText(out + "/capture.w2.csv"), "mine");
    const ExportResult forced = Export({"--force", "-o", out, input});
    EXPECT_EQ(forced.err, "");
    EXPECT_EQ(forced.status, 0);
    EXPECT_EQ(ReadFileText(out + "/capture.w2.csv"), "time,count\n0,-42\n");
    // The capture under an output's name (a hard link): refused, untouched.
    const std::string link = dir.Path("capture.w1.csv");
    ASSERT_EQ(::link(input.c_str(), link.c_str()), 0);
    const ExportResult self = Export({"--force", "-o", dir.path, input});
    EXPECT_EQ(self.err, prefix + "waveform 1: " + link +
                            " is one of the captures being read; not overwritten\n");
    EXPECT_EQ(self.status, 1);
    Bytes original = ThreeWaveforms();
    EXPECT_EQ(ReadFileText(input), std::string(original.begin(), original.end()));
}

TEST_F(ExportTest, SameStemTwiceIsAnErrorForTheSecond) {
    std::filesystem::create_directories(dir.Path("b"));
    const std::string second = dir.Path("b/capture.dat");
    Write(ThreeWaveforms(), second);
    const ExportResult result = Export({"-q", "-o", out, input, second});
    EXPECT_EQ(result.err, "quillwave-export: " + second +
                              ": its files would have the same names as those of " + input +
                              " (capture.*); not exported\n");
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(Files(out).size(), 4u);
}

TEST_F(ExportTest, StandardInputIsExportedAsStdin) {
    const ExportResult piped = Export({"-o", out, "-"}, ThreeWaveforms());
    EXPECT_EQ(piped.err, "");
    EXPECT_EQ(piped.status, 0);
    ASSERT_EQ(Export({"-o", dir.Path("file"), input}).status, 0);
    EXPECT_EQ(ReadFileText(out + "/stdin.w1.csv"), ReadFileText(dir.Path("file/capture.w1.csv")));
    EXPECT_TRUE(FileExists(out + "/stdin.json"));
}

// Damaged variants of a capture of every type, from random changes to the
// bytes after the file header and random truncations.
std::vector<Bytes> DamagedCaptures(int count, uint32_t seed) {
    Bytes base;
    AppendFileHeader(base, 6);
    const WaveformSpec spec{.sampleCount = 3, .timeIncrement = 1e-6, .timeOrigin = -2e-6};
    auto with = [&](int32_t type, int32_t buffers) {
        WaveformSpec s = spec;
        s.waveformType = type;
        s.bufferCount = buffers;
        return s;
    };
    AppendWaveformHeader(base, with(1, 1));
    AppendBuffer(base, AnalogBuffer(1, {0.5f, -1.25f, 3e-8f}));
    AppendWaveformHeader(base, with(2, 2));
    AppendBuffer(base, AnalogBuffer(2, {-0.5f, -0.75f, -1.0f}));
    AppendBuffer(base, AnalogBuffer(3, {0.5f, 0.75f, 1.0f}));
    AppendWaveformHeader(base, with(3, 1));
    AppendBuffer(base, AnalogBuffer(3, {7.0f, 8.0f, 9.0f}));
    AppendWaveformHeader(base, with(4, 1));
    AppendBuffer(base, HistogramBuffer({1, -2, 2147483647}));
    AppendWaveformHeader(base, with(6, 2));
    AppendBuffer(base, LogicBuffer({0x11, 0x01, 0xff}));
    AppendBuffer(base, LogicBuffer({0x03, 0x13, 0x00}));
    AppendWaveformHeader(base, with(6, 1));
    AppendBuffer(base, LogicBuffer({1, 2, 3}));
    std::mt19937 random(seed);
    std::vector<Bytes> captures = {base};
    // The fields that decide acceptance: types, counts, sizes, widths.
    std::vector<size_t> fields;
    for (size_t offset = 12; offset + 4 <= base.size(); offset += 4) fields.push_back(offset);
    while (static_cast<int>(captures.size()) < count) {
        Bytes file = base;
        const int changes = 1 + static_cast<int>(random() % 3);
        for (int c = 0; c < changes; ++c) {
            const size_t offset = fields[random() % fields.size()];
            const int32_t values[] = {0, 1, 2, 3, 4, 5, 6, 7, -1, -12, 8, 12, 144, 1000};
            writer::OverwriteI32(file, offset, values[random() % std::size(values)]);
        }
        if (random() % 4 == 0) file.resize(12 + random() % (file.size() - 12));
        captures.push_back(file);
    }
    return captures;
}

// quillwave's text with "-nan" written "nan".
std::string WithoutNanSigns(std::string text) {
    for (size_t at = 0; (at = text.find("-nan", at)) != std::string::npos;) text.erase(at, 1);
    return text;
}

// What quillwave writes for each column of an export line, from the CSV
// header: its own formats, applied to the exported numbers.
std::string QuillwaveLine(const std::string& header, const std::string& line) {
    std::vector<std::string> fields;
    std::istringstream parts(line);
    for (std::string field; std::getline(parts, field, ',');) fields.push_back(field);
    const double time = std::strtod(fields[0].c_str(), nullptr);
    if (header == "time,value") {
        return testing::Printf("%e, %f\n", time, std::strtof(fields[1].c_str(), nullptr));
    }
    if (header == "time,value1,value2") {
        return testing::Printf("%e, %f, %f\n", time, std::strtof(fields[1].c_str(), nullptr),
                               std::strtof(fields[2].c_str(), nullptr));
    }
    if (header == "time,count") return testing::Printf("%e, %s\n", time, fields[1].c_str());
    const auto byte = [&](size_t i) { return static_cast<unsigned>(std::stoul(fields[i])); };
    if (header == "time,byte1") return testing::Printf("%e, %x\n", time, byte(1));
    return testing::Printf("%e, %x%x\n", time, byte(2), byte(1));
}

// Fault: a waveform exported that quillwave rejects, or the reverse, or
// samples (or their column order) that differ from quillwave's.
TEST_F(ExportTest, ExportsExactlyTheWaveformsQuillwaveConvertsWithTheSameSamples) {
    const std::vector<Bytes> captures = DamagedCaptures(250, 20261208);
    int exportedWaveforms = 0;
    int refusedWaveforms = 0;
    for (size_t i = 0; i < captures.size(); ++i) {
        const std::string folder = dir.Path(Numbered("v", i));
        std::filesystem::create_directories(folder);
        const std::string capture = folder + "/c.bin";
        Write(captures[i], capture);
        std::vector<std::string> args = {"quillwave", capture};
        for (int k = 1; k <= 6; ++k)
            args.push_back(folder + Numbered("/q", static_cast<size_t>(k)));
        std::vector<char*> argv;
        argv.reserve(args.size() + 1);
        for (std::string& arg : args) argv.push_back(arg.data());
        const int devNull = open("/dev/null", O_WRONLY | O_CLOEXEC);
        RunQuillwave(static_cast<int>(argv.size()), argv.data(),
                     {.stdoutFd = devNull, .stderrFd = devNull, .spoolFolder = "/tmp"});
        close(devNull);
        Export({"-q", "-o", folder, capture});
        const std::string json = ReadFileText(folder + "/c.json");
        for (int k = 1; k <= 6; ++k) {
            const std::string quillwave =
                ReadFileText(folder + Numbered("/q", static_cast<size_t>(k)));
            const std::string csvPath = folder + Numbered("/c.w", static_cast<size_t>(k)) + ".csv";
            if (!FileExists(csvPath)) {
                // Not exported: quillwave wrote nothing either, unless the
                // export stopped at a loop (quillwave repeats waveforms).
                if (json.find("the capture loops") == std::string::npos) {
                    EXPECT_EQ(quillwave, "") << "capture " << i << " waveform " << k;
                }
                ++refusedWaveforms;
                continue;
            }
            ++exportedWaveforms;
            std::istringstream lines(ReadFileText(csvPath));
            std::string header;
            std::getline(lines, header);
            std::string expected;
            for (std::string line; std::getline(lines, line);) {
                expected += QuillwaveLine(header, line);
            }
            // A NaN's sign is not exported (quillwave writes "-nan" for some).
            EXPECT_EQ(expected, WithoutNanSigns(quillwave)) << "capture " << i << " waveform " << k;
        }
    }
    // Both kinds occur, so the comparison means something.
    EXPECT_GT(exportedWaveforms, 300);
    EXPECT_GT(refusedWaveforms, 100);
}

// Fault: files or messages that depend on how many jobs ran, or on which
// finished first.
TEST_F(ExportTest, EveryJobCountGivesTheSameFilesAndMessages) {
    const std::vector<Bytes> captures = DamagedCaptures(40, 7);
    std::vector<std::string> paths;
    for (size_t i = 0; i < captures.size(); ++i) {
        paths.push_back(dir.Path(Numbered("in/c", i) + ".bin"));
        std::filesystem::create_directories(dir.Path("in"));
        Write(captures[i], paths.back());
    }
    for (const char* format : BuiltFormats()) {
        ExportResult first;
        std::map<std::string, std::string> firstFiles;
        for (const char* jobs : {"1", "2", "4"}) {
            const std::string folder = dir.Path(std::string("j") + jobs + format);
            std::vector<std::string> args = {"-q", "-j", jobs, "-f", format, "-o", folder};
            args.insert(args.end(), paths.begin(), paths.end());
            const ExportResult result = Export(args);
            const std::map<std::string, std::string> files = Files(folder);
            if (std::string(jobs) == "1") {
                first = result;
                firstFiles = files;
                EXPECT_GT(files.size(), 100u);
                EXPECT_NE(result.err, "");
                continue;
            }
            EXPECT_EQ(result.err, first.err) << jobs;
            EXPECT_EQ(result.status, first.status) << jobs;
            EXPECT_TRUE(files == firstFiles) << jobs << " " << format;
        }
    }
}

// Fault: after a file whose writing failed, the job's sink (kept from file to
// file) drops or fails the job's next file; the failure told as a read
// failure or without its errno; a partial file left behind; a pipe whose
// reader quit ends the whole run by its signal, silently. With one
// processor a file is formatted by one thread; with two, a job alone shares
// each CSV file with its sink's thread, so either thread makes the failing
// write. Waveform 2's file fails: at its first write (its name a link to
// /dev/full), part-way (a file size limit between its size and theirs), or
// once its reader has read a byte and gone (a link to a pipe).
TEST_F(ExportTest, AFailedWriteNamesItsReasonAndTheJobsNextFileIsWhole) {
    if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
    // Several chunks per waveform, for one thread and for two.
    const int32_t sampleCounts[] = {70001, 700001, 70001};
    std::mt19937 random(3);
    Bytes file;
    AppendFileHeader(file, 3);
    for (const int32_t count : sampleCounts) {
        std::vector<float> values(static_cast<size_t>(count));
        for (float& value : values) value = std::bit_cast<float>(static_cast<uint32_t>(random()));
        AppendWaveformHeader(file, {.sampleCount = count, .timeIncrement = 1e-9});
        AppendBuffer(file, AnalogBuffer(1, values));
    }
    Write(file, input);
    rlimit sizeLimit{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &sizeLimit), 0);
    enum class Failing { Full, SizeLimit, ClosedPipe };
    const std::map<Failing, std::string> reasons = {{Failing::Full, "No space left on device"},
                                                    {Failing::SizeLimit, "File too large"},
                                                    {Failing::ClosedPipe, "Broken pipe"}};
    for (const char* format : BuiltFormats()) {
        const std::string clean = dir.Path(std::string("clean-") + format);
        // sr and wav seek back to finish their headers: a pipe cannot take them.
        const bool seeks = std::string(format) == "sr" || std::string(format) == "wav";
        ASSERT_EQ(Export({"-q", "-j", "1", "-f", format, "-o", clean, input}).status, 0);
        const std::map<std::string, std::string> whole = Files(clean);
        const std::string name = std::string("capture.w2.") + format;
        const size_t longest = std::max(whole.at("capture.w1." + std::string(format)).size(),
                                        whole.at("capture.w3." + std::string(format)).size());
        ASSERT_GT(whole.at(name).size(), 2 * longest);
        for (const auto& [how, reason] : reasons) {
            if (seeks && how == Failing::ClosedPipe) continue;
            for (const unsigned processors : {1u, 2u}) {
                const std::string folder =
                    dir.Path("failing-" + std::string(format) +
                             std::to_string(static_cast<int>(how)) + std::to_string(processors));
                std::filesystem::create_directories(folder);
                std::string failing = folder;
                failing += "/" + name;
                int pipeEnds[2] = {-1, -1};
                std::thread reader;
                if (how == Failing::Full) {
                    ASSERT_EQ(symlink("/dev/full", failing.c_str()), 0);
                } else if (how == Failing::SizeLimit) {
                    rlimit smaller = sizeLimit;
                    smaller.rlim_cur = 2 * longest;
                    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &smaller), 0);
                } else {
                    ASSERT_EQ(pipe(pipeEnds), 0);
                    const std::string end = "/proc/self/fd/" + std::to_string(pipeEnds[1]);
                    ASSERT_EQ(symlink(end.c_str(), failing.c_str()), 0);
                    reader = std::thread([&pipeEnds] {
                        char byte = 0;
                        EXPECT_EQ(read(pipeEnds[0], &byte, 1), 1);
                        close(pipeEnds[0]);
                    });
                }
                // Past the limit a write fails with EFBIG, instead of the signal.
                const auto previous = signal(SIGXFSZ, SIG_IGN);
                const ExportResult result =
                    Export({"-q", "-j", "1", "--force", "-f", format, "-o", folder, input}, {},
                           processors);
                signal(SIGXFSZ, previous);
                ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &sizeLimit), 0);
                if (reader.joinable()) {
                    reader.join();
                    close(pipeEnds[1]);
                }
                std::string expected = "quillwave-export: " + input + ": waveform 2: cannot write ";
                expected += failing;
                expected += ": " + reason + "\n";
                EXPECT_EQ(result.err, expected) << folder;
                EXPECT_EQ(result.status, 1);
                // A partial file is removed; the links stay (not read: /dev/full never ends).
                EXPECT_EQ(unlink(failing.c_str()) == 0, how != Failing::SizeLimit) << folder;
                std::map<std::string, std::string> files = Files(folder);
                for (const char* wholeName : {"capture.w1.", "capture.w3."}) {
                    const std::string path = wholeName + std::string(format);
                    EXPECT_TRUE(files[path] == whole.at(path)) << folder << " " << path;
                }
                EXPECT_EQ(files.count("capture.json"), 1u) << folder;
            }
        }
    }
}

// Fault: a hostile capture that makes the export run for ages or write a
// file per declared waveform.
TEST_F(ExportTest, ALoopingCaptureOfBillionsOfWaveformsEndsAtOnce) {
    Bytes file;
    AppendFileHeader(file, kMaxCount);
    for (int w = 0; w < 3; ++w) {
        AppendWaveformHeader(file, {.sampleCount = 1});
        AppendBuffer(file, AnalogBuffer(1, {static_cast<float>(w)}));
    }
    // The fourth waveform's rejected buffer steps back to the second.
    AppendWaveformHeader(file, {.sampleCount = 1});
    AppendBuffer(file, BufferSpec{.dataType = 0, .dataSize = -(2 * (144 + 12 + 4) + 144 + 12)});
    Write(file, input);
    const ExportResult result = Export({"-q", "-o", out, input});
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.err.find("waveform 5: starts where waveform 2 started"), std::string::npos)
        << result.err;
    EXPECT_EQ(Files(out).size(), 4u);  // three waveforms and the description
}

// The interpreter that imports numpy: Debian's /usr/bin/python3 first (the
// PATH may put another python3 first), then whatever python3 the PATH has.
std::string FindNumpyPython() {
    for (const char* candidate : {"/usr/bin/python3", "python3"}) {
        pid_t pid = 0;
        std::vector<std::string> args = {candidate, "-c", "import numpy"};
        std::vector<char*> argv;
        argv.reserve(args.size() + 1);
        for (std::string& arg : args) argv.push_back(arg.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        const int spawned = posix_spawnp(&pid, candidate, &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        int status = 0;
        if (spawned == 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
            WEXITSTATUS(status) == 0) {
            return candidate;
        }
    }
    return {};
}

Bytes F32Bytes(const std::vector<float>& values) { return AnalogBuffer(1, values).samples; }

// Fault: numbers that numpy does not read back exactly, from the CSV or the
// NPY file: times, binary32 values of every kind, counts and bytes.
TEST_F(ExportTest, NumpyReadsBackExactlyTheSamplesWritten) {
    const std::string python = FindNumpyPython();
    ASSERT_FALSE(python.empty()) << "no python3 that imports numpy: install Debian's python3-numpy "
                                    "(scripts/install-deps.sh does)";
    std::mt19937 random(42);
    constexpr int32_t kSamples = 3000;
    std::vector<float> values;
    const float specials[] = {
        0.0f, -0.0f, std::numeric_limits<float>::infinity(),
        -std::numeric_limits<float>::infinity(), std::numeric_limits<float>::quiet_NaN(),
        -std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::denorm_min(),
        std::numeric_limits<float>::max(), std::numeric_limits<float>::min(), 0.1f, 16777217.0f,
        // Its std::to_chars text reads back through a
        // double as the next binary32, as numpy reads it.
        std::bit_cast<float>(0x15ae43fdu)};
    values.assign(std::begin(specials), std::end(specials));
    while (values.size() < kSamples)
        values.push_back(std::bit_cast<float>(static_cast<uint32_t>(random())));
    std::vector<float> second(values.rbegin(), values.rend());
    std::vector<int32_t> counts;
    std::vector<unsigned char> low;
    std::vector<unsigned char> high;
    for (int32_t i = 0; i < kSamples; ++i) {
        counts.push_back(static_cast<int32_t>(random()));
        low.push_back(static_cast<unsigned char>(random()));
        high.push_back(static_cast<unsigned char>(i));
    }
    counts[0] = std::numeric_limits<int32_t>::min();
    // Time bases whose times need all 17 digits, or are huge, tiny or not finite.
    struct Base {
        double increment;
        double origin;
    };
    const Base bases[] = {{1e-9, -1e-2},
                          {3.7e-11, 123.456},
                          {1e300, -1e307},
                          {-2.5e-320, 0.0},
                          {std::numeric_limits<double>::infinity(), 0.0}};
    Bytes file;
    AppendFileHeader(file, 7);
    std::vector<std::vector<Bytes>> expected;  // per waveform: time bytes, then each column
    const auto times = [&](const Base& base) {
        WaveformHeader header;
        header.timeIncrement = base.increment;
        header.timeOrigin = base.origin;
        Bytes bytes;
        for (int32_t i = 0; i < kSamples; ++i)
            writer::AppendF64(bytes, ComputeTimeFromIndex(i, header));
        return bytes;
    };
    const auto add = [&](int32_t type, const Base& base, const std::vector<BufferSpec>& buffers,
                         std::vector<Bytes> columns) {
        AppendWaveformHeader(file, {.waveformType = type,
                                    .bufferCount = static_cast<int32_t>(buffers.size()),
                                    .sampleCount = kSamples,
                                    .timeIncrement = base.increment,
                                    .timeOrigin = base.origin});
        for (const BufferSpec& buffer : buffers) AppendBuffer(file, buffer);
        columns.insert(columns.begin(), times(base));
        expected.push_back(columns);
    };
    add(1, bases[0], {AnalogBuffer(1, values)}, {F32Bytes(values)});
    // Peak detect stored 2-then-3: the data-type-3 values come first.
    add(2, bases[1], {AnalogBuffer(2, second), AnalogBuffer(3, values)},
        {F32Bytes(values), F32Bytes(second)});
    add(3, bases[2], {AnalogBuffer(1, second)}, {F32Bytes(second)});
    add(4, bases[3], {HistogramBuffer(counts)}, {HistogramBuffer(counts).samples});
    add(6, bases[0], {LogicBuffer(low), LogicBuffer(high)}, {low, high});
    add(6, bases[4], {LogicBuffer(high)}, {high});
    add(5, bases[1], {HistogramBuffer(counts)}, {HistogramBuffer(counts).samples});
    Write(file, input);
    ASSERT_EQ(Export({"-q", "-o", out, input}).status, 0);
    ASSERT_EQ(Export({"-q", "-f", "npy", "-o", out, "--force", input}).err, "");
    // The expected samples, raw, beside the exported files.
    for (size_t w = 0; w < expected.size(); ++w) {
        Bytes raw;
        for (const Bytes& column : expected[w]) raw.insert(raw.end(), column.begin(), column.end());
        Write(raw, out + Numbered("/expected.w", w + 1) + ".bin");
    }
    const std::string script = std::string(QUILLWAVE_SOURCE_DIR) + "/tests/export_numpy_check.py";
    const std::string command =
        python + " " + script + " " + out + "/capture " + std::to_string(expected.size()) + " 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string report;
    char buffer[4096];
    for (size_t got = 0; (got = fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        report.append(buffer, got);
    const int status = pclose(pipe);
    EXPECT_EQ(status, 0) << report;
    EXPECT_NE(report.find("14 files read back exactly"), std::string::npos) << report;
}

// Runs a shell command; its status and what it printed (both streams).
std::pair<int, std::string> RunCommand(const std::string& command) {
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr) return {-1, "cannot run " + command};
    std::string report;
    char buffer[4096];
    for (size_t got = 0; (got = fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        report.append(buffer, got);
    return {pclose(pipe), report};
}

std::string FormatsCheck() {
    return "/usr/bin/python3 " + std::string(QUILLWAVE_SOURCE_DIR) +
           "/tests/export_formats_check.py";
}

// Random binary32 bits, with the special values first.
std::vector<float> RandomValues(size_t count, uint32_t seed) {
    std::vector<float> values = {0.0f,
                                 -0.0f,
                                 std::numeric_limits<float>::infinity(),
                                 -std::numeric_limits<float>::infinity(),
                                 std::numeric_limits<float>::denorm_min(),
                                 std::numeric_limits<float>::max()};
    std::mt19937 random(seed);
    while (values.size() < count) {
        // NaNs aside: sigrok hands values on as floats, not as bits.
        const float value = std::bit_cast<float>(static_cast<uint32_t>(random()));
        if (!std::isnan(value)) values.push_back(value);
    }
    return values;
}

std::vector<unsigned char> RandomBytes(size_t count, uint32_t seed) {
    std::mt19937 random(seed);
    std::vector<unsigned char> bytes(count);
    for (unsigned char& byte : bytes) byte = static_cast<unsigned char>(random());
    return bytes;
}

// Fault: a sigrok session that sigrok-cli does not open, or whose samples or
// rate it reads differently: logic bytes (8 and 16 channels, across entries),
// analog values of one and two columns; histogram counts refused with their
// reason and exit status 1.
TEST_F(ExportTest, SigrokCliReadsBackTheSessionsExactly) {
    if (quillwave_format_available(QUILLWAVE_FORMAT_SR) == 0)
        GTEST_SKIP() << "format sr not built: libzip was missing (Debian's libzip-dev)";
    ASSERT_EQ(RunCommand("sigrok-cli --version").first, 0)
        << "no sigrok-cli: install Debian's sigrok-cli (scripts/install-deps.sh does)";
    // Past one entry of 4 MiB: 16-channel logic of 2.2M samples, analog of 1.1M.
    const std::vector<unsigned char> low = RandomBytes(2200000, 1);
    const std::vector<unsigned char> high = RandomBytes(2200000, 2);
    const std::vector<unsigned char> eight = RandomBytes(5000, 3);
    const std::vector<float> values = RandomValues(1100000, 4);
    const std::vector<float> second = RandomValues(3000, 5);
    Bytes file;
    AppendFileHeader(file, 5);
    AppendWaveformHeader(
        file, {.waveformType = 6, .bufferCount = 2, .sampleCount = 2200000, .timeIncrement = 1e-6});
    AppendBuffer(file, LogicBuffer(low));
    AppendBuffer(file, LogicBuffer(high));
    AppendWaveformHeader(file, {.waveformType = 6, .sampleCount = 5000, .timeIncrement = 4e-9});
    AppendBuffer(file, LogicBuffer(eight));
    AppendWaveformHeader(file, {.sampleCount = 1100000, .timeIncrement = 4e-6});
    AppendBuffer(file, AnalogBuffer(1, values));
    AppendWaveformHeader(
        file, {.waveformType = 2, .bufferCount = 2, .sampleCount = 3000, .timeIncrement = 1e-3});
    AppendBuffer(file, AnalogBuffer(3, std::vector<float>(values.begin(), values.begin() + 3000)));
    AppendBuffer(file, AnalogBuffer(2, second));
    AppendWaveformHeader(file, {.waveformType = 4, .sampleCount = 2});
    AppendBuffer(file, HistogramBuffer({1, 2}));
    Write(file, input);
    const ExportResult result = Export({"-q", "-f", "sr", "-o", out, input});
    EXPECT_EQ(result.status, 1);
    const std::string reason =
        "histogram counts cannot be written exactly as a sigrok session's float32 samples; not "
        "exported in format sr";
    EXPECT_EQ(result.err, "quillwave-export: " + input + ": waveform 5: " + reason + "\n");
    const std::string json = ReadFileText(out + "/capture.json");
    EXPECT_NE(json.find("\"file\": null,\n      \"status\": \"" + reason + "\""), std::string::npos)
        << json;
    EXPECT_NE(json.find("\"sampleRate\": 250000000,\n      \"sampleRateExact\": true"),
              std::string::npos);
    EXPECT_FALSE(FileExists(out + "/capture.w5.sr"));
    Bytes sixteen;
    for (size_t i = 0; i < low.size(); ++i) {
        sixteen.push_back(low[i]);  // D0-D7 in the first byte of each unit
        sixteen.push_back(high[i]);
    }
    Write(sixteen, out + "/expected.w1");
    Write(eight, out + "/expected.w2");
    Write(F32Bytes(values), out + "/expected.w3");
    Write(F32Bytes(std::vector<float>(values.begin(), values.begin() + 3000)), out + "/w4.1");
    Write(F32Bytes(second), out + "/w4.2");
    const std::string check = FormatsCheck() + " sr " + out;
    for (const std::string& args : {"/capture.w1.sr 1000000 " + out + "/expected.w1",
                                    "/capture.w2.sr 250000000 " + out + "/expected.w2",
                                    "/capture.w3.sr 250000 - " + out + "/expected.w3",
                                    "/capture.w4.sr 1000 - " + out + "/w4.1 " + out + "/w4.2"}) {
        const auto [status, report] = RunCommand(check + args);
        EXPECT_EQ(status, 0) << args << ": " << report;
        EXPECT_EQ(report, "read back exactly\n") << args;
    }
}

// Fault: a WAV file whose rate, sample type, channel count or sample bits
// python3-soundfile reads otherwise than the capture holds: float32 values
// (one and two channels), 32-bit counts, 8-bit logic bytes; a rate that is
// not exact said so in the description.
TEST_F(ExportTest, SoundfileReadsBackTheWavFilesExactly) {
    if (quillwave_format_available(QUILLWAVE_FORMAT_WAV) == 0)
        GTEST_SKIP() << "format wav not built: libsndfile was missing (Debian's libsndfile1-dev)";
    ASSERT_EQ(RunCommand("/usr/bin/python3 -c 'import soundfile'").first, 0)
        << "no python3-soundfile: install it (scripts/install-deps.sh does)";
    std::vector<float> values = RandomValues(100000, 6);
    values.push_back(std::numeric_limits<float>::quiet_NaN());  // WAV keeps the bits
    const auto count = static_cast<int32_t>(values.size());
    const std::vector<float> second = RandomValues(values.size(), 7);
    std::vector<int32_t> counts(values.size());
    for (size_t i = 0; i < counts.size(); ++i) {
        counts[i] = static_cast<int32_t>(static_cast<uint32_t>(i) * 65537u);  // wraps: both signs
    }
    counts[0] = std::numeric_limits<int32_t>::min();
    const std::vector<unsigned char> low = RandomBytes(values.size(), 8);
    const std::vector<unsigned char> high = RandomBytes(values.size(), 9);
    Bytes file;
    AppendFileHeader(file, 4);
    AppendWaveformHeader(file, {.sampleCount = count, .timeIncrement = 1.0 / 48000});
    AppendBuffer(file, AnalogBuffer(1, values));
    AppendWaveformHeader(
        file, {.waveformType = 2, .bufferCount = 2, .sampleCount = count, .timeIncrement = 3e-7});
    AppendBuffer(file, AnalogBuffer(3, values));
    AppendBuffer(file, AnalogBuffer(2, second));
    AppendWaveformHeader(file, {.waveformType = 4, .sampleCount = count, .timeIncrement = 1e-3});
    AppendBuffer(file, HistogramBuffer(counts));
    AppendWaveformHeader(
        file, {.waveformType = 6, .bufferCount = 2, .sampleCount = count, .timeIncrement = 1e-8});
    AppendBuffer(file, LogicBuffer(low));
    AppendBuffer(file, LogicBuffer(high));
    Write(file, input);
    const ExportResult result = Export({"-q", "-f", "wav", "-o", out, input});
    EXPECT_EQ(result.status, 0) << result.err;
    const std::string json = ReadFileText(out + "/capture.json");
    EXPECT_NE(json.find("\"sampleRate\": 3333333,\n      \"sampleRateExact\": false"),
              std::string::npos)
        << json;
    const auto pairs = [](const Bytes& a, const Bytes& b, size_t width) {
        Bytes frames;
        for (size_t i = 0; i < a.size(); i += width) {
            frames.insert(frames.end(), a.begin() + static_cast<ptrdiff_t>(i),
                          a.begin() + static_cast<ptrdiff_t>(i + width));
            frames.insert(frames.end(), b.begin() + static_cast<ptrdiff_t>(i),
                          b.begin() + static_cast<ptrdiff_t>(i + width));
        }
        return frames;
    };
    Write(F32Bytes(values), out + "/expected.w1");
    Write(pairs(F32Bytes(values), F32Bytes(second), 4), out + "/expected.w2");
    Write(HistogramBuffer(counts).samples, out + "/expected.w3");
    Write(pairs(low, high, 1), out + "/expected.w4");
    const std::string check = FormatsCheck() + " wav " + out;
    for (const std::string& args : {"/capture.w1.wav 48000 FLOAT 1 " + out + "/expected.w1",
                                    "/capture.w2.wav 3333333 FLOAT 2 " + out + "/expected.w2",
                                    "/capture.w3.wav 1000 PCM_32 1 " + out + "/expected.w3",
                                    "/capture.w4.wav 100000000 PCM_U8 2 " + out + "/expected.w4"}) {
        const auto [status, report] = RunCommand(check + args);
        EXPECT_EQ(status, 0) << args << ": " << report;
        EXPECT_EQ(report, "read back exactly\n") << args;
    }
}

// Fault: a MAT-file that scipy.io.loadmat or GNU Octave's load reads
// otherwise than the capture holds: a variable's name, type, N x 1 shape or
// bits (NaN payloads, -0.0; times past one chunk), `info`'s fields (texts
// with non-ASCII characters, one past U+FFFF, bytes that are not UTF-8, as
// the description has them); an empty waveform not 0 x 1. Level 5 as the
// program writes it, and MAT 7.3 (h5py and Octave) as the writer makes it
// when a variable passes its limit, here a tiny one.
TEST_F(ExportTest, ScipyAndOctaveReadBackTheMatFilesExactly) {
    ASSERT_EQ(RunCommand("/usr/bin/python3 -c 'import scipy.io, h5py'").first, 0)
        << "no python3-scipy or python3-h5py: install them (scripts/install-deps.sh does)";
    ASSERT_EQ(RunCommand("octave-cli --version").first, 0)
        << "no octave-cli: install Debian's octave (scripts/install-deps.sh does)";
    std::vector<float> values = RandomValues(600000, 10);
    std::mt19937 random(11);
    for (size_t i = 6; i < values.size(); i += 7) {  // NaNs of every payload, both signs
        values[i] = std::bit_cast<float>(0x7F800001u | static_cast<uint32_t>(random()));
    }
    const auto count = static_cast<int32_t>(values.size());
    const std::vector<float> second = RandomValues(3000, 12);
    std::vector<int32_t> counts = {std::numeric_limits<int32_t>::min(), -1, 0, 7, kMaxCount};
    const std::vector<unsigned char> low = RandomBytes(3000, 13);
    const std::vector<unsigned char> high = RandomBytes(3000, 14);
    Bytes file;
    AppendFileHeader(file, 6);
    AppendWaveformHeader(file, {.sampleCount = count,
                                .timeIncrement = 1e-9,
                                .timeOrigin = -1e-2,
                                .summaryText1 = "\xC2\xB5s \xC3\xA9\xFF",
                                .summaryText4 = "\xF0\x9F\x98\x80\x01x",
                                .summaryNumber = -3});
    AppendBuffer(file, AnalogBuffer(1, values));
    AppendWaveformHeader(file, {.waveformType = 2, .bufferCount = 2, .sampleCount = 3000});
    AppendBuffer(file, AnalogBuffer(2, second));
    AppendBuffer(file, AnalogBuffer(3, std::vector<float>(values.begin(), values.begin() + 3000)));
    AppendWaveformHeader(file, {.waveformType = 4, .sampleCount = 5, .summaryText2 = "x"});
    AppendBuffer(file, HistogramBuffer(counts));
    AppendWaveformHeader(file, {.waveformType = 6, .bufferCount = 2, .sampleCount = 3000});
    AppendBuffer(file, LogicBuffer(low));
    AppendBuffer(file, LogicBuffer(high));
    AppendWaveformHeader(file, {.waveformType = 6,
                                .sampleCount = 3000,
                                .timeIncrement = std::numeric_limits<double>::infinity()});
    AppendBuffer(file, LogicBuffer(high));
    AppendWaveformHeader(file, {.sampleCount = 0});
    AppendBuffer(file, AnalogBuffer(1, {}));
    Write(file, input);
    ASSERT_EQ(Export({"-q", "-f", "npy", "-o", out, input}).err, "");
    const ExportResult result = Export({"-q", "-f", "mat", "--force", "-o", out, input});
    ASSERT_EQ(result.err, "");
    // The same waveforms through the MAT 7.3 writer.
    InputStream stream = testing::StreamOver(file);
    FileHeader header;
    ASSERT_TRUE(ReadFileHeader(stream, header));
    std::string level5 = FormatsCheck() + " mat " + out + "/capture.json";
    std::string version73 = level5;
    for (int k = 1; k <= 6; ++k) {
        const WaveformSamples samples = ReadWaveformSamples(stream);
        const std::string path = out + Numbered("/capture73.w", static_cast<size_t>(k)) + ".mat";
        const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        ASSERT_GE(fd, 0);
        TextSink sink;
        OpenTextSink(sink, fd);
        const FormatFileResult written = WriteMatFile(stream, samples, sink, nullptr, 64);
        close(fd);
        // (An empty waveform's variables fit even the tiny limit: level 5.)
        EXPECT_EQ(written.written, Mat73Available() || !MatNeedsVersion73(samples, 64))
            << k << " " << written.writeError;
        const std::string stem = out + Numbered("/capture.w", static_cast<size_t>(k));
        std::string npy = Numbered(" ", static_cast<size_t>(k));
        npy += ":" + stem + ".npy:";
        level5 += npy;
        level5 += stem + ".mat";
        version73 += npy;
        version73 += path;
    }
    // A build without libmatio writes no MAT 7.3 file (the program refuses the waveform).
    if (!Mat73Available()) version73 = level5;
    for (const std::string& check : {level5, version73}) {
        const auto [status, report] = RunCommand(check);
        EXPECT_EQ(status, 0) << check << ": " << report;
        EXPECT_EQ(report, "read back exactly\n");
    }
}

}  // namespace
}  // namespace quillwave

#include "test_support.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <bit>
#include <cstdio>
#include <random>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace quillwave::testing {

InputStream StreamOver(const Bytes& bytes) {
    const int fd = memfd_create("capture", MFD_CLOEXEC);
    if (fd < 0) throw std::runtime_error("memfd_create failed");
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0) throw std::runtime_error("write to memfd failed");
        done += static_cast<size_t>(n);
    }
    InputStream stream;
    if (!OpenInputStreamFromFd(stream, fd)) throw std::runtime_error("cannot open memfd");
    return stream;
}

Bytes ThreeWaveforms() {
    using namespace writer;
    Bytes file;
    AppendFileHeader(file, 3);
    AppendWaveformHeader(file, {.waveformType = 1,
                                .sampleCount = 2,
                                .timeIncrement = 0.5,
                                .timeOrigin = -1e-3,
                                .summaryText1 = "CH1",
                                .summaryText2 = "t\xe9xt",
                                .summaryText4 = "q\"uote"});
    AppendBuffer(file, AnalogBuffer(1, {0.1f, -2.5e-7f}));
    AppendWaveformHeader(file, {.waveformType = 5,
                                .sampleCount = 1,
                                .timeIncrement = 1e-9,
                                .summaryText1 = "CH2",
                                .summaryNumber = 4});
    AppendBuffer(file, HistogramBuffer({-42}));
    AppendWaveformHeader(file, {.waveformType = 6, .bufferCount = 2, .sampleCount = 1});
    AppendBuffer(file, LogicBuffer({0x0A}));
    AppendBuffer(file, LogicBuffer({0x05}));
    return file;
}

Bytes RandomAnalog(const std::vector<int32_t>& counts, unsigned seed) {
    using namespace writer;
    std::mt19937 random(seed);
    Bytes file;
    AppendFileHeader(file, static_cast<int32_t>(counts.size()));
    for (const int32_t count : counts) {
        std::vector<float> values(static_cast<size_t>(count));
        for (float& value : values) value = std::bit_cast<float>(static_cast<uint32_t>(random()));
        AppendWaveformHeader(file, {.sampleCount = count, .timeIncrement = 1e-9});
        AppendBuffer(file, AnalogBuffer(1, values));
    }
    return file;
}

std::string Printf(const char* format, ...) {
    char text[512];
    va_list args;
    va_start(args, format);
    const int length = std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return std::string(text, static_cast<size_t>(length));
}

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "quillwave-test-XXXXXX");
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}

std::string ReadFileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool FileExists(const std::string& path) {
    std::error_code ignored;
    return std::filesystem::exists(std::filesystem::symlink_status(path, ignored));
}

RunResult RunQuillwaveBinary(const std::vector<std::string>& args,
                             const std::vector<std::string>& environment) {
    TempDir captured;
    const std::string outPath = captured.Path("stdout");
    const std::string errPath = captured.Path("stderr");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT, 0600);
    std::vector<char*> argv;
    std::string program = QUILLWAVE_BINARY;
    argv.push_back(program.data());
    std::vector<std::string> copies = args;
    for (std::string& arg : copies) argv.push_back(arg.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    RunResult result;
    std::vector<std::string> variables = environment;
    std::vector<char*> envp;
    envp.reserve(variables.size());
    for (std::string& variable : variables) envp.push_back(variable.data());
    for (char** inherited = environ; *inherited != nullptr; ++inherited) envp.push_back(*inherited);
    envp.push_back(nullptr);
    if (posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data()) != 0) {
        posix_spawn_file_actions_destroy(&actions);
        throw std::runtime_error("cannot start " + program);
    }
    posix_spawn_file_actions_destroy(&actions);
    int wstatus = 0;
    waitpid(pid, &wstatus, 0);
    result.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
    result.out = ReadFileText(outPath);
    result.err = ReadFileText(errPath);
    return result;
}

}  // namespace quillwave::testing

#include "text_output/summary.h"

#include <cstring>
#include <string_view>

#include "text_output/number_format.h"

namespace quillwave {
namespace {

// A text field ends at its first zero byte, or fills the field completely.
template <size_t N>
std::string_view FieldText(const std::array<char, N>& field) {
    const void* end = std::memchr(field.data(), 0, N);
    const size_t length =
        end == nullptr ? N : static_cast<size_t>(static_cast<const char*>(end) - field.data());
    return {field.data(), length};
}

void WriteDecimal(TextSink& sink, int32_t value) {
    char digits[kMaxDecimalLength];
    WriteText(sink, {digits, FormatDecimal(value, digits)});
}

}  // namespace

void OutputSummary(const WaveformHeader& header, TextSink& sink) {
    WriteText(sink, FieldText(header.summaryText1));
    WriteText(sink, ", ");
    WriteText(sink, waveformTable[static_cast<size_t>(header.waveformType)]);
    WriteText(sink, ", ");
    if (header.summaryNumber != 0) {
        WriteDecimal(sink, header.summaryNumber);
        WriteText(sink, ", ");
    }
    WriteDecimal(sink, header.sampleCount);
    WriteText(sink, ", ");
    WriteText(sink, FieldText(header.summaryText2));
    WriteText(sink, ", ");
    WriteText(sink, FieldText(header.summaryText3));
    WriteText(sink, ", ");
    WriteText(sink, FieldText(header.summaryText4));
    WriteText(sink, "\n");
}

void SummarizeWaveform(InputStream& stream, TextSink& sink, WaveformWalkMemo* memo) {
    WaveformHeader header;
    if (IgnoreWaveform(stream, header, memo)) OutputSummary(header, sink);
}

}  // namespace quillwave

// STEM.json: the description of a capture beside its exported files, and
// what --info prints. One JSON document:
//
//   {
//     "version": "1.0",                    the file header's two version characters
//     "waveformCount": 3,                  as declared by the file header
//     "waveforms": [                       one entry per waveform walked, in file order
//       {
//         "type": "PB_NORMAL",             null (and so the fields below) when the
//         "sampleCount": 400,              waveform header cannot be read
//         "timeIncrement": 2.5e-06,        shortest round-trip numbers; "nan",
//         "timeOrigin": -0.0005,           "inf", "-inf" as strings
//         "summaryNumber": 0,
//         "summaryText1": "CH1", ...       the four texts
//         "buffers": [{"dataType": 1, "sampleWidth": 4, "dataSize": 1600}],
//         "columns": [{"name": "time", "dtype": "<f8"},
//                     {"name": "value", "dtype": "<f4", "dataType": 1}],
//         "file": "capture.w1.csv",        null when the waveform yields nothing
//         "sampleRate": 400000,            sr and wav files: the rate they state,
//         "sampleRateExact": true,         and whether 1 / rate is the increment;
//                                          "sampleRateNote" where no rate matches it
//         "status": "exported"             or why it was not
//       }
//     ]
//   }
//
// Buffers are those whose headers were read for the columns (none for an
// unknown type); a column's dataType is the stored data type of the buffer
// it comes from. Texts are JSON strings: valid UTF-8 is kept, any other byte
// becomes \u00XX of its value.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "export_output/utf8.h"
#include "waveform_file/waveform_records.h"
#include "waveform_file/waveform_samples.h"

namespace quillwave {

// Appends `bytes` as a JSON string, quotes included.
void AppendJsonString(std::string& out, std::string_view bytes);
// Appends a binary64 as the shortest number that reads back to it, or as
// the string "nan", "inf" or "-inf".
void AppendJsonNumber(std::string& out, double value);

// The document up to the opening bracket of "waveforms".
std::string DescribeCaptureStart(const FileHeader& header);
// One entry of "waveforms", preceded by its separator (`index` counts the
// entries before it). `fileName` empty writes null.
// `formatFields` (`,\n      "name": value` lines) follow "file": what a
// format adds, as the sample rate it states.
std::string DescribeWaveform(size_t index, const WaveformSamples& samples,
                             std::string_view fileName, std::string_view status,
                             std::string_view formatFields = {});
// The rest of the document, after `entries` entries.
std::string DescribeCaptureEnd(size_t entries);

}  // namespace quillwave

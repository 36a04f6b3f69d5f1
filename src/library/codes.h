// The public interface's codes for what the reading layer tells in enums of
// its own, so that the library's reads and its export give the same codes.
#pragma once

#include "quillwave/quillwave.h"
#include "waveform_file/waveform_samples.h"

namespace quillwave {

inline int PublicReason(NoSamplesReason reason) {
    switch (reason) {
        case NoSamplesReason::None:
            return QUILLWAVE_REASON_NONE;
        case NoSamplesReason::HeaderUnreadable:
            return QUILLWAVE_REASON_HEADER_UNREADABLE;
        case NoSamplesReason::UnknownType:
            return QUILLWAVE_REASON_UNKNOWN_TYPE;
        case NoSamplesReason::BufferRejected:
            return QUILLWAVE_REASON_BUFFER_REJECTED;
        case NoSamplesReason::PeakDetectFirstType:
            return QUILLWAVE_REASON_PEAK_DETECT_FIRST_TYPE;
    }
    return QUILLWAVE_REASON_HEADER_UNREADABLE;
}

}  // namespace quillwave

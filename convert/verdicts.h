// What a conversion concludes about a file beyond its picture: the bits its
// samples use, its tags, and the short findings a framed title adds.
#pragma once

#include <string>
#include <vector>

#include "audio/audio.h"
#include "convert/convert.h"

namespace tolvek::convert {

// The stored width and the bits used, for a lossless codec only (a lossy
// decoder's output width says nothing about the file), and the tags.
void add_sample_facts(const audio::SampleBits& bits, const audio::Tags& tags, Result& result);

// The findings that apply, short, in the order the title shows them:
// "lossy origin suspected (cliff at 16.2 kHz)", "upsampled from 44.1 kHz",
// "16 of 24 bits used", "−9.8 LUFS, TP −0.3 dBTP".
std::vector<std::string> frame_findings(const Result& result);

}  // namespace tolvek::convert

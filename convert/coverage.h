// Which audio each column and each pane is made of: the channel groups of
// the panes, their names, and how much of the file the windows cover.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "audio/audio.h"
#include "convert/convert.h"
#include "convert/plan.h"

namespace tolvek::convert {

// One group per pane, top pane first: all channels averaged (mix), or one
// channel each up to kMaxPanes, the last pane averaging the rest (split).
std::vector<audio::ChannelGroup> pane_groups(std::uint32_t channels, Channels mode);

// The panes' names, top first: the channel's name in the stream's layout,
// or the names of the channels the last pane averages joined by "+".
std::vector<std::string> pane_names(const audio::Stream& stream, std::uint32_t channels);

// Percent of the file's `frames` that the analysed windows cover: 100 with
// full coverage, else one window of `window_frames` per column, at most 100.
double coverage_percent(Coverage coverage, int columns, std::uint64_t frames, int window_frames = audio::kWindowFrames);

}  // namespace tolvek::convert

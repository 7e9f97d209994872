#include "convert/coverage.h"

#include <algorithm>

namespace tolvek::convert {

std::optional<Coverage> parse_coverage(std::string_view text) {
    if (text == "sampled") return Coverage::Sampled;
    if (text == "full") return Coverage::Full;
    return std::nullopt;
}

std::optional<Channels> parse_channels(std::string_view text) {
    if (text == "mix") return Channels::Mix;
    if (text == "split") return Channels::Split;
    return std::nullopt;
}

std::vector<audio::ChannelGroup> pane_groups(std::uint32_t channels, Channels mode) {
    if (mode == Channels::Mix || channels <= 1) return {audio::ChannelGroup{}};
    const std::uint32_t panes = std::min<std::uint32_t>(channels, kMaxPanes);
    std::vector<audio::ChannelGroup> groups;
    for (std::uint32_t c = 0; c + 1 < panes; ++c) groups.push_back({c, 1});
    groups.push_back({panes - 1, channels - (panes - 1)});
    return groups;
}

std::vector<std::string> pane_names(const audio::Stream& stream, std::uint32_t channels) {
    std::vector<std::string> names;
    for (const audio::ChannelGroup& g : pane_groups(channels, Channels::Split)) {
        std::string name;
        for (std::uint32_t c = g.first; c < channels && c - g.first < g.count; ++c)
            name += (name.empty() ? "" : "+") + stream.channel_name(c);
        names.push_back(name);
    }
    return names;
}

double coverage_percent(Coverage coverage, int columns, std::uint64_t frames, int window_frames) {
    if (coverage == Coverage::Full) return 100.0;
    if (frames == 0) return 0.0;
    const double covered = static_cast<double>(window_frames) * columns;
    return std::min(100.0, covered * 100.0 / static_cast<double>(frames));
}

}  // namespace tolvek::convert

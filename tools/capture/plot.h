// Plots a capture to PNG or SVG with gnuplot, driven through a pipe: one
// trace per channel over the time axis, the trigger marked.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace trelvo_cli {

enum class PlotFormat { Png, Svg };

struct PlotSettings {
    std::string path;
    PlotFormat format = PlotFormat::Png;
    int width = 1000;
    int height = 600;
    std::string title;
    std::vector<int> channels;
    bool triggerMarked = false;  // a vertical line at time 0
    int threshold = -1;          // a horizontal line at this reading when >= 0
};

// Keeps the rows to plot. A stream may run for hours, so past `maxRows` the
// buffer keeps every second row and from then on takes one row in two (and
// so on), which bounds its memory whatever the length of the capture.
class PlotBuffer {
  public:
    PlotBuffer(size_t channels, size_t maxRows = 20000);
    void add(int64_t timeUs, const uint16_t* values);
    void clear();

    size_t rows() const { return times_.size(); }
    size_t channels() const { return channels_; }
    int64_t time(size_t row) const { return times_[row]; }
    uint16_t value(size_t row, size_t channel) const { return values_[row * channels_ + channel]; }

  private:
    size_t channels_;
    size_t maxRows_;
    uint64_t stride_ = 1;
    uint64_t seen_ = 0;
    std::vector<int64_t> times_;
    std::vector<uint16_t> values_;
};

// The format named by the file's extension (.png or .svg, any case); false
// for any other name.
bool plotFormatFor(const std::string& path, PlotFormat& format);

// Writes the plot. Throws Failure (kExitFailure) when gnuplot is missing or
// reports an error.
void writePlot(const PlotSettings& settings, const PlotBuffer& data);

}  // namespace trelvo_cli

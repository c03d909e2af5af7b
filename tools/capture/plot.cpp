#include "capture/plot.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/cli_error.h"

namespace trelvo_cli {

PlotBuffer::PlotBuffer(size_t channels, size_t maxRows)
    : channels_(channels), maxRows_(std::max<size_t>(maxRows, 2)) {}

void PlotBuffer::add(int64_t timeUs, const uint16_t* values) {
    if (seen_++ % stride_ != 0) return;
    if (times_.size() == maxRows_) {
        // Keep rows 0, 2, 4, ... and take every second row from now on.
        const size_t kept = (times_.size() + 1) / 2;
        for (size_t i = 0; i < kept; ++i) {
            times_[i] = times_[2 * i];
            std::copy_n(values_.begin() + 2 * i * channels_, channels_,
                        values_.begin() + i * channels_);
        }
        times_.resize(kept);
        values_.resize(kept * channels_);
        stride_ *= 2;
        if ((seen_ - 1) % stride_ != 0) return;
    }
    times_.push_back(timeUs);
    values_.insert(values_.end(), values, values + channels_);
}

void PlotBuffer::clear() {
    times_.clear();
    values_.clear();
    stride_ = 1;
    seen_ = 0;
}

bool plotFormatFor(const std::string& path, PlotFormat& format) {
    if (path.size() < 5) return false;
    std::string extension = path.substr(path.size() - 4);
    for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (extension == ".png") {
        format = PlotFormat::Png;
        return true;
    }
    if (extension == ".svg") {
        format = PlotFormat::Svg;
        return true;
    }
    return false;
}

namespace {

// A gnuplot string literal: single quotes, with '' for a quote inside.
std::string quoted(const std::string& text) {
    std::string out = "'";
    for (const char c : text) {
        if (c == '\'') out += '\'';
        out += c;
    }
    return out + "'";
}

struct TimeScale {
    double divisor;
    const char* unit;
};

TimeScale scaleFor(const PlotBuffer& data) {
    int64_t largest = 0;
    for (size_t i = 0; i < data.rows(); ++i)
        largest = std::max<int64_t>(largest, std::llabs(data.time(i)));
    if (largest < 10000) return {1.0, "µs"};
    if (largest < 10000000) return {1e3, "ms"};
    return {1e6, "s"};
}

std::string script(const PlotSettings& settings, const PlotBuffer& data) {
    const TimeScale scale = scaleFor(data);
    std::string s;
    s += "set encoding utf8\n";
    if (settings.format == PlotFormat::Png)
        s += "set terminal pngcairo size " + std::to_string(settings.width) + "," +
             std::to_string(settings.height) + " noenhanced font 'sans,10' background '#ffffff'\n";
    else
        s += "set terminal svg size " + std::to_string(settings.width) + "," +
             std::to_string(settings.height) +
             " fixed noenhanced font 'sans,10' background '#ffffff'\n";
    s += "set output " + quoted(settings.path) + "\n";
    s += "set title " + quoted(settings.title) + "\n";
    s += "set xlabel " + quoted(std::string("time (") + scale.unit + ")") + "\n";
    s += "set ylabel 'reading (0 to 4095)'\n";
    s += "set yrange [0:4095]\n";
    s += "set grid\n";
    s += "set key outside top center horizontal\n";
    if (settings.triggerMarked) {
        s += "set arrow from 0, graph 0 to 0, graph 1 nohead dashtype 2 linewidth 1.5 "
             "linecolor rgb '#d62728' front\n";
        s += "set label 'trigger' at 0, graph 1 offset 0.5,-1 textcolor rgb '#d62728' front\n";
    }
    if (settings.threshold >= 0) {
        const std::string level = std::to_string(settings.threshold);
        s += "set arrow from graph 0, first " + level + " to graph 1, first " + level +
             " nohead dashtype 3 linecolor rgb '#7f7f7f'\n";
        s += "set label 'threshold " + level + "' at graph 0.01, first " + level +
             " offset 0,0.7 textcolor rgb '#7f7f7f'\n";
    }
    s += "$capture << EOD\n";
    char number[48];
    for (size_t row = 0; row < data.rows(); ++row) {
        std::snprintf(number, sizeof number, "%.6g",
                      static_cast<double>(data.time(row)) / scale.divisor);
        s += number;
        for (size_t channel = 0; channel < data.channels(); ++channel) {
            s += ' ';
            s += std::to_string(data.value(row, channel));
        }
        s += '\n';
    }
    s += "EOD\n";
    const char* style = data.rows() > 1 ? "lines linewidth 1.5" : "points pointtype 7";
    s += "plot ";
    for (size_t channel = 0; channel < settings.channels.size(); ++channel) {
        if (channel) s += ", ";
        s += "$capture using 1:" + std::to_string(channel + 2) + " with " + style + " title " +
             quoted("channel " + std::to_string(settings.channels[channel]));
    }
    s += "\nset output\n";
    return s;
}

std::string firstLine(std::string text) {
    while (!text.empty() && (text.front() == '\n' || text.front() == ' ')) text.erase(0, 1);
    const auto end = text.find('\n');
    return end == std::string::npos ? text : text.substr(0, end);
}

}  // namespace

void writePlot(const PlotSettings& settings, const PlotBuffer& data) {
    if (settings.path.find_first_of("\n\r") != std::string::npos)
        throw Failure(kExitFailure, "cannot plot: the file name holds a line break");
    if (data.rows() == 0) throw Failure(kExitFailure, "cannot plot: the capture holds no readings");
    const std::string text = script(settings, data);

    // gnuplot's messages go to a scratch file: its stdout must never mix
    // with CSV on ours, and its stderr is shown only when it fails.
    std::FILE* messages = std::tmpfile();
    int toGnuplot[2];
    if (!messages || pipe2(toGnuplot, O_CLOEXEC) != 0) {
        if (messages) std::fclose(messages);
        throw Failure(kExitFailure, std::string("cannot plot: ") + std::strerror(errno));
    }
    const int messagesFd = fileno(messages);
    const pid_t child = fork();
    if (child < 0) {
        const int error = errno;
        close(toGnuplot[0]);
        close(toGnuplot[1]);
        std::fclose(messages);
        throw Failure(kExitFailure, std::string("cannot plot: ") + std::strerror(error));
    }
    if (child == 0) {
        const int devNull = open("/dev/null", O_WRONLY);
        dup2(toGnuplot[0], STDIN_FILENO);
        if (devNull >= 0) dup2(devNull, STDOUT_FILENO);
        dup2(messagesFd, STDERR_FILENO);
        char program[] = "gnuplot";
        char noInitFiles[] = "--default-settings";
        char* arguments[] = {program, noInitFiles, nullptr};
        execvp(program, arguments);
        _exit(127);
    }
    close(toGnuplot[0]);
    size_t written = 0;
    while (written < text.size()) {
        const ssize_t n = write(toGnuplot[1], text.data() + written, text.size() - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;  // gnuplot is gone; its status tells why
        written += static_cast<size_t>(n);
    }
    close(toGnuplot[1]);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    std::string errors;
    std::rewind(messages);
    char buffer[512];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, messages)) > 0) errors.append(buffer, n);
    std::fclose(messages);

    if (WIFEXITED(status) && WEXITSTATUS(status) == 127)
        throw Failure(kExitFailure,
                      "cannot plot: gnuplot was not found (Debian: apt-get install gnuplot-nox)");
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || written < text.size())
        throw Failure(kExitFailure, "cannot plot " + settings.path + ": gnuplot: " +
                                        (errors.empty() ? "failed" : firstLine(errors)));
}

}  // namespace trelvo_cli

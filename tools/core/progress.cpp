#include "core/progress.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>

namespace trelvo_cli {

namespace {
constexpr int kBarWidth = 30;
}

bool stderrIsTerminal() {
    return isatty(STDERR_FILENO) == 1;
}

ProgressBar::ProgressBar(bool enabled) : enabled_(enabled) {}

ProgressBar::~ProgressBar() {
    clear();
}

void ProgressBar::show(const std::string& label, double fraction, const std::string& detail) {
    if (!enabled_) return;
    const auto now = std::chrono::steady_clock::now();
    if (!waiting_) {
        waiting_ = true;
        waitStart_ = now;
    }
    if (now - waitStart_ < std::chrono::milliseconds(250)) return;
    if (drawn_ && now - lastDraw_ < std::chrono::milliseconds(100)) return;
    lastDraw_ = now;

    std::string bar(kBarWidth, ' ');
    std::string percent;
    if (fraction < 0) {
        // Unknown length: a short block bouncing along the bar.
        const int span = kBarWidth - 4;
        const int position = tick_ % (2 * span);
        const int start = position < span ? position : 2 * span - position;
        std::fill(bar.begin() + start, bar.begin() + start + 4, '=');
        ++tick_;
    } else {
        const double clamped = std::clamp(fraction, 0.0, 1.0);
        const int filled = static_cast<int>(clamped * kBarWidth);
        std::fill(bar.begin(), bar.begin() + filled, '#');
        char text[16];
        std::snprintf(text, sizeof text, " %3d%%", static_cast<int>(clamped * 100));
        percent = text;
    }
    std::fprintf(stderr, "\r\033[K%s [%s]%s%s%s", label.c_str(), bar.c_str(), percent.c_str(),
                 detail.empty() ? "" : "  ", detail.c_str());
    std::fflush(stderr);
    drawn_ = true;
}

void ProgressBar::clear() {
    waiting_ = false;
    if (!enabled_ || !drawn_) return;
    std::fprintf(stderr, "\r\033[K");
    std::fflush(stderr);
    drawn_ = false;
}

}  // namespace trelvo_cli

// A one-line progress bar on stderr, drawn only when stderr is a terminal:
// piped or redirected stderr never receives carriage returns or bars.
#pragma once

#include <chrono>
#include <string>

namespace trelvo_cli {

bool stderrIsTerminal();

class ProgressBar {
  public:
    // `enabled` false makes every call a no-op.
    explicit ProgressBar(bool enabled);
    ~ProgressBar();
    ProgressBar(const ProgressBar&) = delete;
    ProgressBar& operator=(const ProgressBar&) = delete;

    bool enabled() const { return enabled_; }
    // Draws "label [#####     ]  42%  detail"; a fraction below 0 draws a
    // moving marker for waits of unknown length. Nothing shows during the
    // first quarter second of a wait (short waits don't flicker); then it
    // redraws at most 10 times a second.
    void show(const std::string& label, double fraction, const std::string& detail = "");
    // Erases the line, so that following output starts clean.
    void clear();

  private:
    bool enabled_;
    bool drawn_ = false;
    bool waiting_ = false;
    std::chrono::steady_clock::time_point waitStart_{};
    int tick_ = 0;
    std::chrono::steady_clock::time_point lastDraw_{};
};

}  // namespace trelvo_cli

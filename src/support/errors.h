// Exceptions raised inside the library. None of them leaves an exported
// function: the C boundary catches them (src/api/firewall.h).
#pragma once

#include <cstdint>
#include <exception>

namespace trelvo {

// An error that carries one of the library's fixed message texts
// ("No firmware exception", "Iso Length Error", "No Thread alive.", ...).
// The text is a string literal; callers compare it as a whole.
class MessageError : public std::exception {
  public:
    explicit MessageError(const char* message) noexcept : message_(message) {}
    const char* what() const noexcept override { return message_; }

  private:
    const char* message_;
};

// An operating-system failure, carrying the OS's last error number.
class SystemError : public std::exception {
  public:
    explicit SystemError(uint32_t code) noexcept : code_(code) {}
    uint32_t code() const noexcept { return code_; }
    const char* what() const noexcept override { return "system error"; }

  private:
    uint32_t code_;
};

}  // namespace trelvo

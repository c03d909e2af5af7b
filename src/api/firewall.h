// The exception firewall of the C boundary: every exported function runs its
// body through guarded(), so that no exception reaches the caller.
#pragma once

#include <exception>

namespace trelvo::api {

// Runs body(); if anything is thrown, returns `onException` instead.
template <typename Result, typename Body>
Result guarded(Result onException, Body&& body) noexcept {
    try {
        return body();
    } catch (...) {
        return onException;
    }
}

template <typename Body>
void guardedVoid(Body&& body) noexcept {
    try {
        body();
    } catch (...) {
    }
}

}  // namespace trelvo::api

#include "base/DebugOutput.h"

#include <unistd.h>

#include <cstdlib>
#include <mutex>

namespace {

std::mutex& SinkMutex() {
    static std::mutex mutex;
    return mutex;
}

std::function<void(const std::string&)>& Sink() {
    static std::function<void(const std::string&)> sink;
    return sink;
}

void PrvWriteStdErr(const std::string& text) {
    const char* p = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        ssize_t n = ::write(STDERR_FILENO, p, left);
        if (n <= 0) return;
        p += n;
        left -= static_cast<std::size_t>(n);
    }
}

}  // namespace

void mfOutputDebugString(const std::string& text) noexcept {
    try {
        std::lock_guard<std::mutex> guard(SinkMutex());
        if (Sink()) {
            Sink()(text);
            return;
        }
        const char* enabled = std::getenv("KETTRIN_DEBUG_OUTPUT");
        if (enabled != nullptr && *enabled != '\0') PrvWriteStdErr(text);
    } catch (...) {
        // The debugger output never fails towards its caller.
    }
}

void mfSetDebugOutputSink(std::function<void(const std::string&)> sink) {
    std::lock_guard<std::mutex> guard(SinkMutex());
    Sink() = std::move(sink);
}

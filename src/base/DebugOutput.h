#pragma once
// The process-wide debugger output (what a debugger attached to the process
// would show). Silent by default; when the environment variable
// KETTRIN_DEBUG_OUTPUT is set to a non-empty value, texts go to standard error
// as they are (no line break added). Tests may install their own sink.
#include <functional>
#include <string>

// Writes text to the debugger output. Any thread; never throws.
void mfOutputDebugString(const std::string& text) noexcept;

// Replaces the sink (an empty function restores the default). The sink is
// called under a process-wide lock, one text at a time; it must not call
// mfOutputDebugString itself.
void mfSetDebugOutputSink(std::function<void(const std::string&)> sink);

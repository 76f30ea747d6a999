// Fuzz target: the trace channel's datagrams as the viewer receives them
// from any local process. The input is one datagram. A datagram that decodes
// must encode back to the same bytes, and the line the viewer prints must
// hold no control character that could drive the terminal.
#include <cstdlib>
#include <string>

#include "FuzzSupport.h"
#include "base/mcDiagTrace.h"
#include "base/mcTraceViewer.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    mfFuzzSetUp();
    mcDiagTrace::Datagram datagram;
    if (!mcDiagTrace::DecodeDatagram(data, size, &datagram)) return 0;
    if (mcDiagTrace::EncodeDatagram(datagram) != std::string(reinterpret_cast<const char*>(data), size)) {
        std::abort();
    }
    for (const char c : mcTraceViewer::FormatLine(datagram)) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte < 0x20 && c != '\t') || byte == 0x7F) std::abort();
    }
    return 0;
}

// Fuzz target: the signed manifest file reader and signature check.
//
// Input: one mode byte, then the bytes. Mode 0 (even): the bytes are a whole
// file, read and checked against a key of this process. Mode odd: the bytes
// are a document; the target signs it with that key, writes it with the line
// end and trailing NUL the mode selects, and the reader must verify it and
// hand back exactly the document.
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "FuzzSupport.h"
#include "manifest/Crypt.h"
#include "manifest/mcSignedFile.h"

namespace {

const zr::crypt::msKeyPair& PrvKey() {
    static const zr::crypt::msKeyPair key = zr::crypt::RSAGenerateKey();
    return key;
}

[[noreturn]] void PrvFail(const char* what, const mcSignedFile& file) {
    std::fprintf(stderr, "%s (status: %s)\n", what, mcSignedFile::StatusText(file.GetStatus()));
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string path = mfFuzzSetUp() + "/manifest.xml";
    mcFuzzInput input(data, size);
    const std::uint8_t mode = input.TakeByte();
    const std::string bytes(input.TakeRest());

    if ((mode & 0x01) == 0) {
        if (!mfFuzzWriteFile(path, bytes)) return 0;
        const mcSignedFile file(path, PrvKey().publicKeyHex);
        if (file.IsVerified() != (file.GetStatus() == mcSignedFile::meStatus::kVerified)) {
            PrvFail("verified flag and status disagree", file);
        }
        (void)mcSignedFile::StatusText(file.GetStatus());
        return 0;
    }

    // A document that ends in NUL cannot be signed: that byte is never part
    // of the document. Neither can an empty one.
    if (bytes.empty() || bytes.back() == '\0') return 0;
    std::string signature = zr::crypt::RSASign(PrvKey().privateKeyPem, bytes);
    if ((mode & 0x02) != 0) {
        for (char& c : signature) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    // Line end: LF, CR LF, or CR alone (not before a document that starts
    // with LF: that LF would belong to the line end).
    std::string lineEnd = "\n";
    if ((mode & 0x04) != 0) lineEnd = "\r\n";
    if ((mode & 0x08) != 0 && bytes.front() != '\n') lineEnd = "\r";
    std::string file = signature + lineEnd + bytes;
    if ((mode & 0x10) != 0) file += '\0';
    if (!mfFuzzWriteFile(path, file)) return 0;

    const mcSignedFile signedFile(path, PrvKey().publicKeyHex);
    if (!signedFile.IsVerified()) PrvFail("a correctly signed file does not verify", signedFile);
    if (signedFile.GetDocument() != bytes) PrvFail("the document differs from the signed bytes", signedFile);
    if (signedFile.GetSignature() != signature) PrvFail("the signature line differs", signedFile);
    return 0;
}

#pragma once
// What the manifest directory needs of the object that owns it: word that a
// manifest was replaced, so clients can be told.
#include <string>

#include "contract/Hresult.h"

class IManifestDirOwner {
public:
    virtual ~IManifestDirOwner() = default;

    // Called after the manifest strManifestName was downloaded and the copy in
    // force was (or should have been) replaced by it. Runs on the thread that
    // runs the update, with no lock of the directory held; the directory may be
    // queried from inside, but an update asked for from inside (a nested
    // dispatch on this thread) is refused. The result is ignored. Must not throw.
    virtual HRESULT NotifyManifestUpdated(const std::string& strManifestName) = 0;
};

#pragma once
// What the manifest directory needs of the object that owns it: word that a
// manifest was replaced, so clients can be told.
#include <string>

#include "contract/Hresult.h"

class IManifestDirOwner {
public:
    virtual ~IManifestDirOwner() = default;

    // Called for each manifest an update downloaded and put in force (or
    // tried to: also after a failed copy), in order, once the update has
    // ended and released its mutex. Runs on the thread that ran the update,
    // with no lock of the directory held: the directory may be queried and
    // even updated again from inside. The result is ignored. Must not throw.
    virtual HRESULT NotifyManifestUpdated(const std::string& strManifestName) = 0;
};

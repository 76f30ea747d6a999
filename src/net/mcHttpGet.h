#pragma once
// The GET request, the only verb the system uses.
#include "net/mcHttpTransaction.h"

class mcHttpGet : public mcHttpTransaction {
public:
    static constexpr const char* kVerb = "GET";
    using mcHttpTransaction::mcHttpTransaction;
    std::string GetVerb() const override { return kVerb; }
};

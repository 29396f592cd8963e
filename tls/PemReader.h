#pragma once

#include "OpenSslHandles.h"

#include <string>
#include <vector>

// Certificates and private keys out of PEM text. A problem is described
// without the file's name, for the caller to put after it.
class PemReader
{
public:
    // Every certificate in the text, in order; empty when there is none or
    // one of them is damaged.
    static std::vector<SharedX509> certificates(const std::string& pem, std::string& problem);
    // The first private key in the text. Keys protected by a passphrase are
    // refused rather than asked for.
    static SharedKey privateKey(const std::string& pem, std::string& problem);
};

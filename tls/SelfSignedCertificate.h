#pragma once

#include <chrono>
#include <optional>
#include <string>

// Makes a new ECDSA P-256 key and a certificate for it, signed by itself, for
// the names a local client uses: DNS localhost, IP 127.0.0.1 and IP ::1.
class SelfSignedCertificate
{
public:
    using TimePoint = std::chrono::system_clock::time_point;

    struct Pem
    {
        Pem() = default;
        Pem(const Pem&) = default;
        Pem(Pem&&) = default;
        Pem& operator=(const Pem&) = default;
        Pem& operator=(Pem&&) = default;
        // The key's text is wiped from memory with it.
        ~Pem();

        std::string certificate;
        std::string privateKey;
    };

    static constexpr const char* commonName = "localhost";
    static constexpr const char* subjectAltNames = "DNS:localhost,IP:127.0.0.1,IP:::1";

    // Nothing when OpenSSL fails; error then says why.
    static std::optional<Pem> create(TimePoint validFrom, TimePoint validUntil, std::string& error);
};

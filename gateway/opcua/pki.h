// The server's certificate folder: own/cert.der and own/private/key.der (made
// on first start, self-signed, with the host's name and the application URI),
// trusted/ (a client certificate there is accepted), rejected/ (a refused
// client's certificate lands there, so that an operator trusts it by moving
// the one file into trusted/), issuers/.
#pragma once

#include <open62541/plugin/log.h>
#include <open62541/plugin/pki.h>
#include <open62541/types.h>

#include <functional>
#include <string>

namespace opcua {

struct OwnCertificate {
    UA_ByteString certificate = UA_BYTESTRING_NULL;
    UA_ByteString key = UA_BYTESTRING_NULL;
    ~OwnCertificate();
};

// Makes the folders and, when missing, the certificate and its key.
bool PreparePki(const std::string& pki, const std::string& hostName, const std::string& applicationUri,
                const UA_Logger* logger, OwnCertificate& own, std::string& error);

// Sets `cv` to trust the certificates in trusted/ (read again as the folder
// changes) and to copy every certificate it refuses into rejected/;
// `refused` hears of each refusal (subject, reason, where it was copied).
bool TrustFolder(UA_CertificateVerification& cv, const std::string& pki,
                 std::function<void(const std::string&)> refused, std::string& error);

}  // namespace opcua

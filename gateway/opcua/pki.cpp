#include "gateway/opcua/pki.h"
#include "gateway/opcua/users.h"

#include <open62541/plugin/create_certificate.h>
#include <open62541/plugin/pki_default.h>
#include <open62541/util.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <system_error>

namespace fs = std::filesystem;

namespace opcua {

OwnCertificate::~OwnCertificate() {
    UA_ByteString_clear(&certificate);
    UA_ByteString_clear(&key);
}

namespace {

bool ReadBytes(const fs::path& path, UA_ByteString& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream data;
    data << in.rdbuf();
    const std::string bytes = data.str();
    if (bytes.empty()) return false;
    UA_ByteString_clear(&out);
    if (UA_ByteString_allocBuffer(&out, bytes.size()) != UA_STATUSCODE_GOOD) return false;
    std::copy(bytes.begin(), bytes.end(), out.data);
    return true;
}

bool WriteBytes(const fs::path& path, const UA_ByteString& data, mode_t mode) {
    const fs::path temp = path.string() + ".tmp";
    const mode_t old = umask(077);
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    umask(old);
    out.write(reinterpret_cast<const char*>(data.data), static_cast<std::streamsize>(data.length));
    out.close();
    std::error_code ec;
    if (!out || chmod(temp.c_str(), mode) != 0) return false;
    fs::rename(temp, path, ec);
    return !ec;
}

std::string Thumbprint(const UA_ByteString& der) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (EVP_Digest(der.data, der.length, digest, &size, EVP_sha1(), nullptr) != 1) return "unknown";
    return Hex(digest, size);
}

std::string Subject(const UA_ByteString& der) {
    const unsigned char* p = der.data;
    X509* cert = d2i_X509(nullptr, &p, static_cast<long>(der.length));
    if (!cert) return "(not a DER certificate)";
    char text[512];
    X509_NAME_oneline(X509_get_subject_name(cert), text, sizeof text);
    X509_free(cert);
    return text;
}

// The common name of a subject, reduced to what is safe in a file name.
std::string FileStem(const std::string& subject) {
    std::string cn;
    if (const auto at = subject.find("CN="); at != std::string::npos) {
        cn = subject.substr(at + 3);
        if (const auto end = cn.find_first_of(",/"); end != std::string::npos) cn.erase(end);
    }
    std::string out;
    for (char c : cn)
        out += (std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.' || c == '_') ? c : '_';
    if (out.size() > 64) out.resize(64);
    return out.empty() ? "client" : out;
}

struct Wrapped {
    UA_StatusCode (*verify)(const UA_CertificateVerification*, const UA_ByteString*);
    void (*clear)(UA_CertificateVerification*);
    fs::path rejected;
    std::function<void(const std::string&)> refused;
};

// The wrapped verifications, by their own context: the library copies the
// verification structure into the server, so its address is no key.
std::mutex registryMutex;
std::map<const void*, Wrapped>& Registry() {
    static std::map<const void*, Wrapped> registry;
    return registry;
}

UA_StatusCode VerifyAndReject(const UA_CertificateVerification* cv, const UA_ByteString* certificate) {
    Wrapped wrapped;
    {
        std::lock_guard lock(registryMutex);
        const auto it = Registry().find(cv->context);
        if (it == Registry().end()) return UA_STATUSCODE_BADINTERNALERROR;
        wrapped = it->second;
    }
    const UA_StatusCode status = wrapped.verify(cv, certificate);
    if (status == UA_STATUSCODE_GOOD || !certificate || certificate->length == 0) return status;

    const std::string subject = Subject(*certificate);
    const fs::path file = wrapped.rejected / (FileStem(subject) + "_" + Thumbprint(*certificate) + ".der");
    std::error_code ec;
    std::string where;
    if (fs::exists(file, ec) || WriteBytes(file, *certificate, 0644)) where = ", copied to " + file.string();
    else where = ", could not be copied to " + file.string();
    if (wrapped.refused)
        wrapped.refused("certificate " + subject + " refused (" + UA_StatusCode_name(status) + ")" + where);
    return status;
}

void ClearWrapped(UA_CertificateVerification* cv) {
    void (*clear)(UA_CertificateVerification*) = nullptr;
    {
        std::lock_guard lock(registryMutex);
        const auto it = Registry().find(cv->context);
        if (it != Registry().end()) {
            clear = it->second.clear;
            Registry().erase(it);
        }
    }
    if (clear) clear(cv);
}

}  // namespace

bool PreparePki(const std::string& pki, const std::string& hostName, const std::string& applicationUri,
                const UA_Logger* logger, OwnCertificate& own, std::string& error) {
    const fs::path root(pki);
    std::error_code ec;
    for (const char* sub : {"own/private", "trusted", "rejected", "issuers"}) {
        fs::create_directories(root / sub, ec);
        if (ec) {
            error = "cannot make " + (root / sub).string() + ": " + ec.message();
            return false;
        }
    }
    chmod((root / "own/private").c_str(), 0700);
    const fs::path certPath = root / "own/cert.der", keyPath = root / "own/private/key.der";
    if (ReadBytes(certPath, own.certificate) && ReadBytes(keyPath, own.key)) return true;

    UA_String subject[3] = {UA_STRING(const_cast<char*>("O=vave8")),
                            UA_STRING(const_cast<char*>("OU=line server")), UA_STRING_NULL};
    const std::string cn = "CN=vave8gw@" + hostName;
    subject[2] = UA_STRING(const_cast<char*>(cn.c_str()));
    const std::string dns = "DNS:" + hostName, uri = "URI:" + applicationUri;
    UA_String altNames[2] = {UA_STRING(const_cast<char*>(dns.c_str())), UA_STRING(const_cast<char*>(uri.c_str()))};
    UA_KeyValueMap params = UA_KEYVALUEMAP_NULL;
    UA_UInt16 bits = 2048, days = 3650;
    UA_KeyValueMap_setScalar(&params, UA_QUALIFIEDNAME(0, const_cast<char*>("key-size-bits")), &bits,
                             &UA_TYPES[UA_TYPES_UINT16]);
    UA_KeyValueMap_setScalar(&params, UA_QUALIFIEDNAME(0, const_cast<char*>("expires-in-days")), &days,
                             &UA_TYPES[UA_TYPES_UINT16]);
    UA_ByteString_clear(&own.certificate);
    UA_ByteString_clear(&own.key);
    const UA_StatusCode status = UA_CreateCertificate(logger, subject, 3, altNames, 2, UA_CERTIFICATEFORMAT_DER,
                                                      &params, &own.key, &own.certificate);
    UA_KeyValueMap_clear(&params);
    if (status != UA_STATUSCODE_GOOD) {
        error = std::string("cannot make the server's certificate: ") + UA_StatusCode_name(status);
        return false;
    }
    if (!WriteBytes(keyPath, own.key, 0600) || !WriteBytes(certPath, own.certificate, 0644)) {
        error = "cannot write the server's certificate and key under " + (root / "own").string();
        return false;
    }
    return true;
}

bool TrustFolder(UA_CertificateVerification& cv, const std::string& pki,
                 std::function<void(const std::string&)> refused, std::string& error) {
    const fs::path root(pki);
    if (cv.clear) cv.clear(&cv);
    const std::string trusted = (root / "trusted").string(), issuers = (root / "issuers").string();
    const UA_StatusCode status = UA_CertificateVerification_CertFolders(&cv, trusted.c_str(), issuers.c_str(), "");
    if (status != UA_STATUSCODE_GOOD) {
        error = "cannot read the certificates in " + trusted + ": " + UA_StatusCode_name(status);
        return false;
    }
    std::lock_guard lock(registryMutex);
    Registry()[cv.context] = Wrapped{cv.verifyCertificate, cv.clear, root / "rejected", std::move(refused)};
    cv.verifyCertificate = VerifyAndReject;
    cv.clear = ClearWrapped;
    return true;
}

}  // namespace opcua

#include "secret.h"

#include <librouter.h>

#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <vector>

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

#include "fieldbridge/root.h"

namespace router::secret {

namespace {

constexpr size_t kMagicSize = 4;
constexpr size_t kSaltSize = 16;
constexpr size_t kTagSize = 16;
constexpr size_t kMacKeySize = 32;
constexpr int kRounds = 10000;
// Used only when the device was given no secret of its own: it keeps passwords out of plain
// sight in the configuration, nothing more.
constexpr const char *kBuiltinSecret = "fieldbridge uci built-in secret, replace via /etc/fieldbridge/uci_secret";

struct Params {
    const char *magic;
    const EVP_CIPHER *(*cipher)();
    size_t key_size;
    size_t iv_size;
};

Params params(Cipher cipher)
{
    if (cipher == Cipher::Aes256)
        return {"FBA1", EVP_aes_256_cbc, 32, 16};
    return {"FBD1", EVP_des_ede3_cbc, 24, 8};
}

std::string device_secret()
{
    std::ifstream in(fb::root_path(kSecretPath), std::ios::binary);
    std::string secret;
    if (in) {
        std::ostringstream content;
        content << in.rdbuf();
        secret = content.str();
        while (!secret.empty() && (secret.back() == '\n' || secret.back() == '\r' || secret.back() == ' ' ||
                                   secret.back() == '\t'))
            secret.pop_back();
    }
    return secret.empty() ? std::string(kBuiltinSecret) : secret;
}

// Cipher key followed by MAC key, wiped when dropped.
class DerivedKeys {
public:
    DerivedKeys(const Params &p, const unsigned char *salt) : bytes_(p.key_size + kMacKeySize), key_size_(p.key_size)
    {
        std::string secret = device_secret();
        ok_ = PKCS5_PBKDF2_HMAC(secret.data(), static_cast<int>(secret.size()), salt, kSaltSize, kRounds,
                                EVP_sha256(), static_cast<int>(bytes_.size()), bytes_.data()) == 1;
        OPENSSL_cleanse(secret.data(), secret.size());
    }
    ~DerivedKeys() { OPENSSL_cleanse(bytes_.data(), bytes_.size()); }
    DerivedKeys(const DerivedKeys &) = delete;
    DerivedKeys &operator=(const DerivedKeys &) = delete;

    bool ok() const { return ok_; }
    const unsigned char *cipher_key() const { return bytes_.data(); }
    const unsigned char *mac_key() const { return bytes_.data() + key_size_; }

private:
    std::vector<unsigned char> bytes_;
    size_t key_size_;
    bool ok_ = false;
};

struct CipherCtxDeleter {
    void operator()(EVP_CIPHER_CTX *ctx) const { EVP_CIPHER_CTX_free(ctx); }
};

bool run_cipher(const Params &p, const unsigned char *key, const unsigned char *iv, bool encrypting,
                const unsigned char *in, size_t in_size, std::vector<unsigned char> &out)
{
    std::unique_ptr<EVP_CIPHER_CTX, CipherCtxDeleter> ctx(EVP_CIPHER_CTX_new());
    if (!ctx || EVP_CipherInit_ex(ctx.get(), p.cipher(), nullptr, key, iv, encrypting ? 1 : 0) != 1)
        return false;
    out.resize(in_size + 32);
    int written = 0, final_written = 0;
    if (EVP_CipherUpdate(ctx.get(), out.data(), &written, in, static_cast<int>(in_size)) != 1 ||
        EVP_CipherFinal_ex(ctx.get(), out.data() + written, &final_written) != 1)
        return false;
    out.resize(static_cast<size_t>(written + final_written));
    return true;
}

bool tag_of(const unsigned char *mac_key, const unsigned char *data, size_t size, unsigned char *tag)
{
    unsigned char full[EVP_MAX_MD_SIZE];
    unsigned int full_size = 0;
    if (!HMAC(EVP_sha256(), mac_key, kMacKeySize, data, size, full, &full_size) || full_size < kTagSize)
        return false;
    std::memcpy(tag, full, kTagSize);
    return true;
}

std::string to_base64(const std::vector<unsigned char> &bytes)
{
    std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    int n = EVP_EncodeBlock(reinterpret_cast<unsigned char *>(out.data()), bytes.data(), static_cast<int>(bytes.size()));
    out.resize(static_cast<size_t>(n));
    return out;
}

bool from_base64(std::string_view text, std::vector<unsigned char> &out)
{
    if (text.empty() || text.size() % 4 != 0 || text.size() > 64 * 1024)
        return false;
    size_t padding = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        bool alphabet = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/';
        if (c == '=') {
            if (i + 2 < text.size())
                return false; // '=' only in the last two places
            ++padding;
        } else if (!alphabet || padding) {
            return false;
        }
    }
    out.resize(text.size() / 4 * 3);
    int n = EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char *>(text.data()), static_cast<int>(text.size()));
    if (n < 0 || static_cast<size_t>(n) < padding)
        return false;
    out.resize(static_cast<size_t>(n) - padding);
    return true;
}

} // namespace

std::optional<std::string> encrypt(Cipher cipher, std::string_view plain)
{
    const Params p = params(cipher);
    std::vector<unsigned char> blob(kMagicSize + kSaltSize + p.iv_size);
    std::memcpy(blob.data(), p.magic, kMagicSize);
    unsigned char *salt = blob.data() + kMagicSize;
    unsigned char *iv = salt + kSaltSize;
    if (RAND_bytes(salt, static_cast<int>(kSaltSize + p.iv_size)) != 1)
        return std::nullopt;
    DerivedKeys keys(p, salt);
    std::vector<unsigned char> ciphertext;
    if (!keys.ok() || !run_cipher(p, keys.cipher_key(), iv, true, reinterpret_cast<const unsigned char *>(plain.data()),
                                  plain.size(), ciphertext))
        return std::nullopt;
    blob.insert(blob.end(), ciphertext.begin(), ciphertext.end());
    unsigned char tag[kTagSize];
    if (!tag_of(keys.mac_key(), blob.data(), blob.size(), tag))
        return std::nullopt;
    blob.insert(blob.end(), tag, tag + kTagSize);
    return to_base64(blob);
}

std::optional<std::string> decrypt(Cipher cipher, std::string_view text)
{
    const Params p = params(cipher);
    std::vector<unsigned char> blob;
    if (!from_base64(text, blob))
        return std::nullopt;
    const size_t head = kMagicSize + kSaltSize + p.iv_size;
    if (blob.size() < head + kTagSize + 8 || std::memcmp(blob.data(), p.magic, kMagicSize) != 0)
        return std::nullopt;
    const unsigned char *salt = blob.data() + kMagicSize;
    const unsigned char *iv = salt + kSaltSize;
    const size_t body = blob.size() - kTagSize;
    DerivedKeys keys(p, salt);
    unsigned char tag[kTagSize];
    if (!keys.ok() || !tag_of(keys.mac_key(), blob.data(), body, tag) ||
        CRYPTO_memcmp(tag, blob.data() + body, kTagSize) != 0)
        return std::nullopt;
    std::vector<unsigned char> plain;
    if (!run_cipher(p, keys.cipher_key(), iv, false, blob.data() + head, body - head, plain))
        return std::nullopt;
    if (std::memchr(plain.data(), 0, plain.size()))
        return std::nullopt; // cannot be handed out as a C string
    std::string out(plain.begin(), plain.end());
    OPENSSL_cleanse(plain.data(), plain.size());
    return out;
}

} // namespace router::secret

extern "C" {

char *uci_des3_decrypt_from_base64(const char *text)
{
    if (!text)
        return nullptr;
    auto plain = router::secret::decrypt(router::secret::Cipher::Des3, text);
    return plain ? strdup(plain->c_str()) : nullptr;
}

char *uci_aes256_decrypt_from_base64(const char *text)
{
    if (!text)
        return nullptr;
    auto plain = router::secret::decrypt(router::secret::Cipher::Aes256, text);
    return plain ? strdup(plain->c_str()) : nullptr;
}

} // extern "C"

// Stored passwords: the format written by `uci_encrypt` and read by the uci_*_decrypt_from_base64
// calls (described for people in platform/router/README.md).
//
//   text = base64( magic[4] | salt[16] | iv | ciphertext | tag[16] )
//   magic "FBA1": AES-256-CBC, 16-byte iv;  "FBD1": DES-EDE3-CBC, 8-byte iv; PKCS#7 padding
//   PBKDF2-HMAC-SHA256(device secret, salt, 10000 rounds) gives the cipher key (32 or 24 bytes)
//   followed by a 32-byte MAC key; tag = HMAC-SHA256(MAC key, everything before the tag)[0..16).
//
// The device secret is the content of /etc/fieldbridge/uci_secret (trailing blanks dropped), or
// a fixed built-in text when that file is missing or empty.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace router::secret {

enum class Cipher { Aes256, Des3 };

inline constexpr const char *kSecretPath = "/etc/fieldbridge/uci_secret";

std::optional<std::string> encrypt(Cipher cipher, std::string_view plain);
// The plain text, or nothing when `text` is not a value of this cipher made with this device's
// secret (wrong format, wrong magic, tag mismatch).
std::optional<std::string> decrypt(Cipher cipher, std::string_view text);

} // namespace router::secret

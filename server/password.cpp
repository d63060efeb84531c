#include "server/password.h"

#include <argon2.h>
#include <sys/random.h>

#include <vector>

namespace orv::server {
namespace {

constexpr uint32_t kParallelism = 1;
constexpr std::size_t kSaltLength = 16;
constexpr std::size_t kHashLength = 32;

bool randomBytes(unsigned char* out, std::size_t n) {
    std::size_t got = 0;
    while (got < n) {
        ssize_t r = getrandom(out + got, n - got, 0);
        if (r <= 0) return false;
        got += static_cast<std::size_t>(r);
    }
    return true;
}

}  // namespace

PasswordHasher::PasswordHasher(HashCost cost) : cost_(cost) {
    // argon2 refuses less than 8 KiB per lane and zero passes.
    if (cost_.memoryKib < 8) cost_.memoryKib = 8;
    if (cost_.iterations < 1) cost_.iterations = 1;
    dummy_ = hash("unused account").value_or(std::string{});
}

std::optional<std::string> PasswordHasher::hash(std::string_view password) const {
    unsigned char salt[kSaltLength];
    if (!randomBytes(salt, sizeof salt)) return std::nullopt;
    std::size_t len = argon2_encodedlen(cost_.iterations, cost_.memoryKib, kParallelism,
                                        kSaltLength, kHashLength, Argon2_id);
    std::vector<char> encoded(len + 1);
    int rc = argon2id_hash_encoded(cost_.iterations, cost_.memoryKib, kParallelism, password.data(),
                                   password.size(), salt, sizeof salt, kHashLength, encoded.data(),
                                   encoded.size());
    if (rc != ARGON2_OK) return std::nullopt;
    return std::string(encoded.data());
}

bool PasswordHasher::verify(std::string_view encoded, std::string_view password) const {
    std::string copy(encoded);  // argon2 wants a NUL-terminated text
    return argon2id_verify(copy.c_str(), password.data(), password.size()) == ARGON2_OK;
}

void PasswordHasher::verifyNobody(std::string_view password) const {
    if (!dummy_.empty()) (void)verify(dummy_, password);
}

}  // namespace orv::server
